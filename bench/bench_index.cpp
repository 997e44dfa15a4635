// Parses and writes a 20,000-entry index and prints how long each takes.
#include "core/SecureFileIndex.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUuid>

#include <cstdio>

using namespace Kavendru::Core;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;

    SecureFileIndex index;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < count; ++i) {
        VaultFileEntry entry;
        entry.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        entry.vaultPath = QStringLiteral("Pasta %1/arquivo-%2.txt").arg(i % 100).arg(i);
        entry.sizeBytes = i * 1000;
        entry.lastModifiedUtc = now;
        entry.sha256 = QByteArray(32, char(i));
        entry.blocks.append(VaultFileBlock{8388636 + i * 1016LL, 1000, 1016, QByteArray(24, char(i))});
        index.addOrReplace(entry);
    }
    for (int i = 0; i < 100; ++i)
        index.addDirectory(VaultDirectoryEntry{QStringLiteral("Pasta %1").arg(i), now, now});

    QElapsedTimer timer;
    timer.start();
    const QByteArray json = index.toJson();
    const qint64 writeMs = timer.elapsed();

    timer.restart();
    const SecureFileIndex parsed = SecureFileIndex::fromJson(json);
    const qint64 parseMs = timer.elapsed();

    std::printf("entries            %d\n", count);
    std::printf("json size          %lld bytes\n", static_cast<long long>(json.size()));
    std::printf("toJson             %lld ms\n", static_cast<long long>(writeMs));
    std::printf("fromJson           %lld ms (goal: well under 100 ms)\n", static_cast<long long>(parseMs));
    return parsed.entries().size() == count ? 0 : 1;
}

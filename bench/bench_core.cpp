// Measures the vault core against its bounds on one folder (default: a
// temporary folder; pass a path, for instance a mounted stick, to pick one).
#include "core/ContainerManager.h"
#include "core/CryptoManager.h"
#include "core/DurableIo.h"
#include "core/VaultManager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>
#include <cstdio>

using namespace Kavendru::Core;

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kBlock = VaultManager::BlockSize;
constexpr qint64 kDataSize = 1024 * kMiB;
const QByteArray kPassword("senha-do-benchmark");

double seconds(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double mbPerSecond(qint64 bytes, double secs)
{
    return secs > 0 ? double(bytes) / double(kMiB) / secs : 0;
}

bool writeRandomFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray buffer(kBlock, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (qint64 done = 0; done < size; done += kBlock) {
        generator.fillRange(reinterpret_cast<quint32*>(buffer.data()), kBlock / 4);
        const qint64 now = std::min(kBlock, size - done);
        if (file.write(buffer.constData(), now) != now)
            return false;
    }
    return syncFileToDevice(file);
}

// The plain copy the drive could do at best: read, write, sync.
double plainCopy(const QString& from, const QString& to)
{
    QElapsedTimer timer;
    timer.start();
    QFile input(from);
    QFile output(to);
    if (!input.open(QIODevice::ReadOnly) || !output.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    QByteArray buffer(kBlock, Qt::Uninitialized);
    for (;;) {
        const qint64 read = input.read(buffer.data(), kBlock);
        if (read <= 0)
            break;
        if (output.write(buffer.constData(), read) != read)
            return -1;
    }
    if (!syncFileToDevice(output))
        return -1;
    return seconds(timer);
}

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

void resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// The 20-digit length line of a container: its header's size.
QByteArray readHeaderLength(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(28).mid(7, 20).trimmed();
}

void row(const char* what, const QString& value, const char* target)
{
    std::printf("| %-44s | %-22s | %-26s |\n", what, qPrintable(value), target);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir ownFolder;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : ownFolder.path();
    QDir dir(folder);
    std::printf("folder: %s\n", qPrintable(dir.absolutePath()));

    // Bounds: one thread of cipher and hash over 16 MiB buffers.
    CryptoManager crypto;
    const QByteArray key = crypto.generateSalt(32);
    const QByteArray nonce = crypto.generateNonce(24);
    const QByteArray ad("SECUSB|file-block|3");
    QByteArray plain(kBlock, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(plain.data()), kBlock / 4);
    QByteArray cipher;
    QByteArray back;
    const int rounds = int(kDataSize / kBlock);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(plain);
        crypto.encryptInto(plain.constData(), plain.size(), key, nonce, ad, &cipher);
    }
    const double encryptSecs = seconds(timer);
    timer.restart();
    for (int i = 0; i < rounds; ++i)
        crypto.decryptInto(cipher.constData(), cipher.size(), key, nonce, ad, &back);
    const double decryptSecs = seconds(timer);
    plain = QByteArray();
    cipher = QByteArray();
    back = QByteArray();

    const QString source = dir.filePath("bench-source.bin");
    if (!writeRandomFile(source, kDataSize)) {
        std::fprintf(stderr, "cannot write the source file\n");
        return 1;
    }
    const double copySecs = plainCopy(source, dir.filePath("bench-copy.bin"));
    QFile::remove(dir.filePath("bench-copy.bin"));

    const QString container = dir.filePath("bench.susb");
    VaultManager vault;
    if (!vault.createVault(container, kPassword) || !vault.unlockVault(container, kPassword)) {
        std::fprintf(stderr, "cannot create the vault\n");
        return 1;
    }
    resetPeakResident();

    timer.restart();
    const bool imported = vault.importFile(source, "dados/um.bin");
    const double importSecs = seconds(timer);

    const QString exported = dir.filePath("bench-export.bin");
    timer.restart();
    const bool exportedOk = vault.exportFile("dados/um.bin", exported);
    const double exportSecs = seconds(timer);
    QFile::remove(exported);
    // The same export with no disk behind it: what the core itself costs.
    timer.restart();
    const bool nullOk = vault.exportFile("dados/um.bin", "/dev/null");
    const double exportNullSecs = seconds(timer);

    const bool second = vault.importFile(source, "dados/dois.bin") && vault.deleteFile("dados/dois.bin");
    timer.restart();
    const bool compacted = second && vault.compactVault(ProgressCallback(), nullptr);
    const double compactSecs = seconds(timer);

    // A 10,000-entry index, entries only.
    SecureFileIndex index = vault.fileIndex();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < 10000; ++i) {
        VaultFileEntry entry;
        entry.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        entry.vaultPath = QStringLiteral("Pasta %1/documento-%2.pdf").arg(i % 100).arg(i);
        entry.sizeBytes = 1000;
        entry.lastModifiedUtc = now;
        entry.sha256 = QByteArray(32, char(i));
        entry.blocks.append(VaultFileBlock{ContainerManager::PayloadStart, 1000, 1016, QByteArray(24, char(i))});
        index.addOrReplace(entry);
    }
    for (int i = 0; i < 100; ++i)
        index.addDirectory(VaultDirectoryEntry{QStringLiteral("Pasta %1").arg(i), now, now});
    const bool saved = vault.saveIndex(index);
    // The median of a few, as other work on the machine shows in one run.
    bool folderOk = true;
    QList<double> folderTimes;
    for (int i = 0; i < 9; ++i) {
        timer.restart();
        folderOk = vault.createDirectory(QStringLiteral("Pasta 7/Nova %1").arg(i)) && folderOk;
        folderTimes.append(seconds(timer) * 1000);
    }
    const double folderMs = median(folderTimes);
    // A header rewrite writes and syncs the journal (the old header), syncs
    // its folder, then writes and syncs the header: what writing and
    // syncing that many bytes, and syncing the folder, cost here.
    const qint64 headerBytes = readHeaderLength(container).toLongLong();
    QList<double> syncTimes;
    QList<double> folderSyncTimes;
    for (int i = 0; i < 9; ++i) {
        const QString probe = dir.filePath("bench-sync.bin");
        QFile file(probe);
        const QByteArray bytes(headerBytes, 'h');
        timer.restart();
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && syncFileToDevice(file))
            syncTimes.append(seconds(timer) * 1000);
        file.close();
        QFile::remove(probe);
        timer.restart();
        if (syncDirectory(dir.absolutePath()))
            folderSyncTimes.append(seconds(timer) * 1000);
    }
    const double syncMs = median(syncTimes);
    const double folderSyncMs = median(folderSyncTimes);
    const qint64 peakKiB = peakResidentKiB();

    vault.lockVault();
    ContainerDocument document;
    ContainerManager().readDocument(container, &document);
    timer.restart();
    vault.deriveSessionKey(kPassword, document.crypto);
    const double deriveMs = seconds(timer) * 1000;
    timer.restart();
    const bool unlocked = vault.unlockVault(container, kPassword);
    const double unlockMs = seconds(timer) * 1000 - deriveMs;
    vault.lockVault();
    QFile::remove(container);
    QFile::remove(source);

    if (!imported || !exportedOk || !nullOk || !compacted || !saved || !folderOk || !unlocked) {
        std::fprintf(stderr, "an operation failed\n");
        return 1;
    }

    const double importBound = encryptSecs + copySecs;
    std::printf("\n| %-44s | %-22s | %-26s |\n", "measure", "value", "target");
    std::printf("|%s|%s|%s|\n", QByteArray(46, '-').constData(), QByteArray(24, '-').constData(),
                QByteArray(28, '-').constData());
    row("cipher + SHA-256, one thread", QStringLiteral("%1 MB/s").arg(mbPerSecond(kDataSize, encryptSecs), 0, 'f', 0), "");
    row("decrypt, one thread", QStringLiteral("%1 MB/s").arg(mbPerSecond(kDataSize, decryptSecs), 0, 'f', 0), "");
    row("plain copy on the folder", QStringLiteral("%1 MB/s").arg(mbPerSecond(kDataSize, copySecs), 0, 'f', 0), "");
    row("import 1 GiB", QStringLiteral("%1 MB/s").arg(mbPerSecond(kDataSize, importSecs), 0, 'f', 0), "");
    row("import / bound (cipher+hash, then copy)", QString::number(importBound / importSecs, 'f', 2), ">= 0.9");
    row("export 1 GiB to a file", QStringLiteral("%1 MB/s").arg(mbPerSecond(kDataSize, exportSecs), 0, 'f', 0), "");
    row("export to a file / decrypt bound", QString::number(decryptSecs / exportSecs, 'f', 2), ">= 0.8");
    row("export to a file / (decrypt, then copy)", QString::number((decryptSecs + copySecs) / exportSecs, 'f', 2), "");
    row("export to /dev/null / decrypt bound", QString::number(decryptSecs / exportNullSecs, 'f', 2), ">= 0.8");
    row("compaction 1 GiB live + 1 GiB deleted / copy", QString::number(copySecs / compactSecs, 'f', 2), ">= 0.7");
    row("folder operation, 10,000 entries", QStringLiteral("%1 ms").arg(folderMs, 0, 'f', 1),
        qPrintable(QStringLiteral("< 50 ms + the syncs (%1 ms)").arg(2 * syncMs + folderSyncMs, 0, 'f', 1)));
    row("  its syncs: journal and header, folder",
        QStringLiteral("2 x %1 MiB, 1 (ms)").arg(double(headerBytes) / double(kMiB), 0, 'f', 1),
        qPrintable(QStringLiteral("2 x %1 + %2").arg(syncMs, 0, 'f', 1).arg(folderSyncMs, 0, 'f', 1)));
    row("unlock minus key derivation, 10,000 entries", QStringLiteral("%1 ms").arg(unlockMs, 0, 'f', 1), "");
    row("peak resident memory outside derivation", QStringLiteral("%1 MiB").arg(double(peakKiB) / 1024, 0, 'f', 1), "< 100 MiB");
    return 0;
}

// Times the vault program's file table: refreshing a folder of 10,000 files
// (default; give another count) through the window, as a click on the
// "Nome do arquivo" header does it. Goal: under 100 ms.
#include "MainWindowTestSupport.h"

#include "core/SecureFileIndex.h"
#include "core/VaultFixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>
#include <cstdio>

using namespace Kavendru::Core;
using namespace KavendruTest;

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    UiTestEnvironment environment;
    QApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;

    // Typical names: a handful of types, badges and platform icons alike.
    const char* suffixes[] = {"pdf", "txt", "jpg", "docx", "pem", "mp3", "zip", "odt", "png", "xlsx"};
    SecureFileIndex index;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < count; ++i) {
        VaultFileEntry entry;
        entry.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        entry.vaultPath = QStringLiteral("Arquivos/documento-%1.%2").arg(i).arg(QLatin1String(suffixes[i % 10]));
        entry.sizeBytes = qint64(i) * 1337;
        entry.lastModifiedUtc = now.addSecs(-i);
        entry.sha256 = QByteArray(32, char(i));
        index.addOrReplace(entry);
    }
    index.addDirectory(VaultDirectoryEntry{QStringLiteral("Arquivos"), now, now});

    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("PEN"));
    const QString container = QDir(root).filePath(QStringLiteral("kavendru.susb"));
    if (!QDir().mkpath(root) || !writeFastVault(container, "senha-de-medida", index)) {
        std::fputs("bench_window: could not write the vault\n", stderr);
        return 1;
    }
    WindowFixture fixture({mountedDrive(root, QStringLiteral("PEN"))});
    fixture.window->show();
    ModalDriver driver;
    if (!chooseAndUnlock(fixture.window.get(), driver, container, QStringLiteral("senha-de-medida"))) {
        std::fputs("bench_window: could not unlock\n", stderr);
        return 1;
    }
    QTableWidget* table = fileTableOf(fixture.window.get());
    table->setCurrentCell(0, 1);
    table->itemDoubleClicked(table->item(0, 1)); // into "Arquivos"
    if (table->rowCount() != count + 1) {
        std::fprintf(stderr, "bench_window: %d rows, expected %d\n", table->rowCount(), count + 1);
        return 1;
    }

    QList<double> times;
    for (int run = 0; run < 9; ++run) {
        QElapsedTimer clock;
        clock.start();
        table->horizontalHeader()->sectionClicked(1);
        times.append(clock.nsecsElapsed() / 1e6);
        QCoreApplication::processEvents();
    }
    std::sort(times.begin(), times.end());
    std::printf("file table refresh, %d files in one folder (9 runs): min %.1f ms, median %.1f ms, max %.1f ms "
                "(goal: under 100 ms)\n",
                count, times.first(), times.at(4), times.last());
    return 0;
}

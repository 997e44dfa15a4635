#include "common/TestSupport.h"

#include "ui/ContainerBackup.h"
#include "ui/OperationProgressDialog.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>

#include <sys/stat.h>
#include <unistd.h>

using Kavendru::UI::BackupResult;
using Kavendru::UI::copyContainerBackup;
using Kavendru::UI::OperationProgressDialog;

namespace {

QByteArray randomBytes(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(static_cast<quint32>(size));
    for (qint64 i = 0; i < size; ++i)
        data[i] = static_cast<char>(generator.bounded(256));
    return data;
}

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestContainerBackup : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

private slots:
    void init()
    {
        dir = KavendruTest::makeTempDir();
        QVERIFY(dir->isValid());
    }

    void copiesInChunksWithProgress_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<int>>("values");
        QTest::newRow("20 MiB in three chunks") << qint64(20 * 1024 * 1024) << QList<int>{400, 800, 1000};
        QTest::newRow("exactly one chunk") << qint64(8 * 1024 * 1024) << QList<int>{1000};
        QTest::newRow("a few bytes") << qint64(100) << QList<int>{1000};
        QTest::newRow("empty container") << qint64(0) << QList<int>{};
    }

    void copiesInChunksWithProgress()
    {
        QFETCH(qint64, size);
        QFETCH(QList<int>, values);
        const QString container = dir->filePath(QStringLiteral("kavendru.susb"));
        const QByteArray bytes = randomBytes(size);
        QVERIFY(KavendruTest::writeWholeFile(container, bytes));
        const QString backup = dir->filePath(QStringLiteral("copia.susb"));

        QList<int> seen;
        QCOMPARE(copyContainerBackup(container, backup,
                                     [&](qint64 done, qint64 total) { seen.append(OperationProgressDialog::progressValue(done, total)); }),
                 BackupResult::Copied);
        QCOMPARE(seen, values);
        QCOMPARE(KavendruTest::readWholeFile(backup), bytes);
        QCOMPARE(entriesOf(dir->path()), QStringList({QStringLiteral("copia.susb"), QStringLiteral("kavendru.susb")}));
    }

    void replacesAnEarlierBackupWhole()
    {
        const QString container = dir->filePath(QStringLiteral("kavendru.susb"));
        QVERIFY(KavendruTest::writeWholeFile(container, randomBytes(1000)));
        const QString backup = dir->filePath(QStringLiteral("copia.susb"));
        QVERIFY(KavendruTest::writeWholeFile(backup, randomBytes(5000)));
        QCOMPARE(copyContainerBackup(container, backup, {}), BackupResult::Copied);
        QCOMPARE(KavendruTest::readWholeFile(backup), KavendruTest::readWholeFile(container));
    }

    // A folder, a pipe or a device is never opened for writing: opening a
    // pipe would block, and nothing of the kind is a backup to replace.
    void refusesDestinationsThatAreNoRegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("folder") << "folder";
        QTest::newRow("pipe") << "fifo";
        QTest::newRow("link to a folder") << "link";
    }

    void refusesDestinationsThatAreNoRegularFile()
    {
        QFETCH(QString, kind);
        const QString container = dir->filePath(QStringLiteral("kavendru.susb"));
        QVERIFY(KavendruTest::writeWholeFile(container, randomBytes(1000)));
        const QString destination = dir->filePath(QStringLiteral("destino"));
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(destination));
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(destination).constData(), 0600), 0);
        } else {
            QVERIFY(QDir().mkdir(dir->filePath(QStringLiteral("pasta"))));
            QVERIFY(QFile::link(dir->filePath(QStringLiteral("pasta")), destination));
        }
        QCOMPARE(copyContainerBackup(container, destination, {}), BackupResult::DestinationOpenFailed);
    }

    void refusesAMissingContainer()
    {
        QCOMPARE(copyContainerBackup(dir->filePath(QStringLiteral("nada.susb")), dir->filePath(QStringLiteral("b.susb")), {}),
                 BackupResult::SourceOpenFailed);
        QVERIFY(!QFileInfo::exists(dir->filePath(QStringLiteral("b.susb"))));
    }

    // The drive fills up halfway through: the earlier backup stays as it
    // was and no partial file is left beside it.
    void fullDriveKeepsTheEarlierBackup()
    {
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs of its own");
        const QString container = dir->filePath(QStringLiteral("kavendru.susb"));
        QVERIFY(KavendruTest::writeWholeFile(container, randomBytes(12 * 1024 * 1024)));
        const QString mountPoint = dir->filePath(QStringLiteral("pendrive"));
        KavendruTest::ScopedTmpfs tmpfs(mountPoint, 16 * 1024 * 1024);
        QVERIFY(tmpfs.isMounted());
        const QString backup = QDir(mountPoint).filePath(QStringLiteral("copia.susb"));
        const QByteArray earlier = randomBytes(6 * 1024 * 1024);
        QVERIFY(KavendruTest::writeWholeFile(backup, earlier));

        QList<qint64> progress;
        QCOMPARE(copyContainerBackup(container, backup, [&](qint64 done, qint64) { progress.append(done); }),
                 BackupResult::CopyFailed);
        QCOMPARE(KavendruTest::readWholeFile(backup), earlier);
        QCOMPARE(entriesOf(mountPoint), QStringList({QStringLiteral("copia.susb")}));
    }

    // A write cut short by the file size limit, as a torn write: the copy
    // is reported as failed and the destination is not created.
    void tornWriteIsAFailure()
    {
        const QString container = dir->filePath(QStringLiteral("kavendru.susb"));
        QVERIFY(KavendruTest::writeWholeFile(container, randomBytes(3 * 1024 * 1024)));
        const QString backup = dir->filePath(QStringLiteral("copia.susb"));
        const int code = KavendruTest::runInChild([&] {
            if (!KavendruTest::limitFileSize(1024 * 1024))
                return 10;
            return copyContainerBackup(container, backup, {}) == BackupResult::CopyFailed ? 0 : 1;
        });
        QCOMPARE(code, 0);
        QVERIFY(!QFileInfo::exists(backup));
        QCOMPARE(entriesOf(dir->path()), QStringList({QStringLiteral("kavendru.susb")}));
    }
};

KAVENDRU_TEST_MAIN(TestContainerBackup)
#include "tst_containerbackup.moc"

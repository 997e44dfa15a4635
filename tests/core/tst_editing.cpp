#include "core/VaultManager.h"

#include "VaultFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

using namespace Kavendru::Core;
using namespace KavendruTest;

namespace {

const QByteArray kPassword("senha-de-teste-longa");


// An edit as an editor makes it: new content and a later time.
void edit(const QString& path, const QByteArray& content)
{
    const QDateTime before = QFileInfo(path).fileTime(QFileDevice::FileModificationTime);
    QVERIFY(writeWholeFile(path, content));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(before.addSecs(10), QFileDevice::FileModificationTime));
}

QString idOf(const VaultManager& vault, const QString& path)
{
    for (const VaultFileEntry& entry : vault.fileIndex().entries())
        if (entry.vaultPath == path)
            return entry.id;
    return QString();
}

} // namespace

class EditingTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { baseTempPath(); }

    void init()
    {
        QVERIFY(openFreshVault(kPassword, &temp, &tmp, &containerPath, &vault));
        for (const char* path : {"docs/2024/relatorio.txt", "b.txt", "c.txt"}) {
            const QString source = temp->filePath("fonte.txt");
            QVERIFY(writeWholeFile(source, QByteArray("original de ") + path));
            QVERIFY(vault->importFile(source, path));
        }
    }

    void cleanup()
    {
        vault->lockVault();
        vault.reset();
    }

    void copyLayoutAndModes()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing(" Docs\\2024\\relatorio.txt ", &local));
        const QString workspace = workspaceFolder();
        QCOMPARE(local, QDir(workspace).filePath("Docs/2024/relatorio.txt"));
        QCOMPARE(readWholeFile(local), QByteArray("original de docs/2024/relatorio.txt"));
        QCOMPARE(fileMode(local), 0600u);
        QCOMPARE(fileMode(QDir(workspace).filePath("Docs")), 0700u);
        QCOMPARE(fileMode(QDir(workspace).filePath("Docs/2024")), 0700u);
        QCOMPARE(fileMode(workspace), 0700u);
        // Nothing but the copy and the lock file in the workspace.
        QCOMPARE(QDir(workspace).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{".kavendru-workspace.lock", "Docs"}));
        QCOMPARE(QDir(workspace).entryList(QStringList() << "*", QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 2);
        QCOMPARE(QDir(QDir(workspace).filePath("Docs/2024")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"relatorio.txt"});
    }

    void refusals()
    {
        QString local = QStringLiteral("intocado");
        QVERIFY(!vault->prepareFileForEditing("../b.txt", &local));
        QVERIFY(!vault->prepareFileForEditing("nao-existe.txt", &local));
        QVERIFY(!vault->prepareFileForEditing("b.txt", nullptr));
        QCOMPARE(local, QStringLiteral("intocado"));
        QVERIFY(QDir(workspaceFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        vault->lockVault();
        QVERIFY(!vault->prepareFileForEditing("b.txt", &local));
        QVERIFY(!QFileInfo::exists(QDir(tmp).filePath("Kavendru")) || QDir(QDir(tmp).filePath("Kavendru")).isEmpty());
    }

    void unchangedCopyWritesNothing()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("b.txt", &local));
        const QByteArray before = sha256OfFile(containerPath);
        QVERIFY(vault->lockVault());
        QCOMPARE(sha256OfFile(containerPath), before);
        QVERIFY(!QFileInfo::exists(local));
    }

    void editedCopyIsWrittenBack()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("b.txt", &local));
        const QString oldId = idOf(*vault, "b.txt");
        edit(local, "texto editado");
        QCOMPARE(vault->modifiedOpenFiles().size(), 1);
        QVERIFY(vault->lockVault());
        QCOMPARE(vault->state(), VaultManager::Locked);
        QVERIFY(!QFileInfo::exists(workspaceFolderPath));

        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QVERIFY(idOf(*vault, "b.txt") != oldId);
        QCOMPARE(exported("b.txt"), QByteArray("texto editado"));
    }

    void copyReplacedWithOlderTimeIsWrittenBack_data()
    {
        QTest::addColumn<int>("secondsEarlier");
        QTest::addColumn<QByteArray>("content");
        // cp -p of an earlier version, or a version restored from a backup.
        QTest::newRow("older time") << 86400 << QByteArray("versao de ontem: ") + QByteArray(40, 'x');
        QTest::newRow("older time, same size") << 3600 << QByteArray("original de b.txX");
        // A clock stepped back to the very time the copy was written.
        QTest::newRow("same time, other size") << 0 << QByteArray("outro tamanho");
    }

    void copyReplacedWithOlderTimeIsWrittenBack()
    {
        QFETCH(int, secondsEarlier);
        QFETCH(QByteArray, content);
        QString local;
        QVERIFY(vault->prepareFileForEditing("b.txt", &local));
        const QDateTime written = QFileInfo(local).fileTime(QFileDevice::FileModificationTime);
        QVERIFY(writeWholeFile(local, content));
        {
            QFile file(local);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(written.addSecs(-secondsEarlier), QFileDevice::FileModificationTime));
        }
        QCOMPARE(vault->modifiedOpenFiles().size(), 1);
        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QCOMPARE(exported("b.txt"), content);
    }

    void deletedCopyIsNotWrittenBack()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("b.txt", &local));
        edit(local, "editado e depois apagado");
        QVERIFY(QFile::remove(local));
        const QByteArray before = sha256OfFile(containerPath);
        QVERIFY(vault->lockVault());
        QCOMPARE(sha256OfFile(containerPath), before);
    }

    // Deleting an open file drops its copy: the lock must not bring the
    // file back, and a file imported later under that path is not
    // overwritten by the old copy.
    void fileDeletedFromVaultStaysDeleted_data()
    {
        QTest::addColumn<bool>("edited");
        QTest::addColumn<QString>("deletedAs");
        QTest::newRow("edited copy") << true << "docs/2024/relatorio.txt";
        QTest::newRow("untouched copy") << false << "docs/2024/relatorio.txt";
        QTest::newRow("another letter case") << true << "Docs/2024/RELATORIO.txt";
    }

    void fileDeletedFromVaultStaysDeleted()
    {
        QFETCH(bool, edited);
        QFETCH(QString, deletedAs);
        QString local;
        QVERIFY(vault->prepareFileForEditing("docs/2024/relatorio.txt", &local));
        if (edited)
            edit(local, "ainda editando");
        QVERIFY(vault->deleteFile(deletedAs));
        QVERIFY(!vault->isOpenForEditing("docs/2024/relatorio.txt"));
        QVERIFY(vault->modifiedOpenFiles().isEmpty());
        QVERIFY(!QFileInfo::exists(local));
        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QVERIFY(idOf(*vault, "docs/2024/relatorio.txt").isEmpty());

        QVERIFY(vault->prepareFileForEditing("b.txt", &local));
        edit(local, "b editado");
        QVERIFY(vault->deleteFile("b.txt"));
        const QString source = temp->filePath("novo.txt");
        QVERIFY(writeWholeFile(source, "b importado depois"));
        QVERIFY(vault->importFile(source, "b.txt"));
        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QCOMPARE(exported("b.txt"), QByteArray("b importado depois"));
    }

    // An import over an open file would be overwritten at lock by the older
    // copy: refused, and the lock writes the copy back as the user left it.
    void importOverAnOpenFileIsRefused_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("same path") << "b.txt";
        QTest::newRow("another letter case") << " B.TXT";
    }

    void importOverAnOpenFileIsRefused()
    {
        QFETCH(QString, target);
        QString local;
        QVERIFY(vault->prepareFileForEditing("b.txt", &local));
        edit(local, "editado antes da importacao");
        const QString source = temp->filePath("novo.txt");
        QVERIFY(writeWholeFile(source, "importado por cima"));
        const QByteArray before = readWholeFile(containerPath);
        QVERIFY(!vault->importFile(source, target));
        QCOMPARE(readWholeFile(containerPath), before);
        QVERIFY(vault->importFile(source, "b-novo.txt"));

        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QCOMPARE(exported("b.txt"), QByteArray("editado antes da importacao"));
        // Locked and unlocked again, nothing is open: the import goes ahead.
        QVERIFY(vault->importFile(source, target));
        QCOMPARE(exported("b.txt"), QByteArray("importado por cima"));
    }

    // Bytes overwritten in place at once, the size unchanged: on a file
    // system with a coarse clock the time may not move from the one the
    // copy was written with. Repeated, since a single run can pass by luck.
    void sameSizeEditAtOnceIsWrittenBack_data()
    {
        QTest::addColumn<int>("run");
        for (int run = 1; run <= 20; ++run)
            QTest::addRow("run %d", run) << run;
    }

    void sameSizeEditAtOnceIsWrittenBack()
    {
        QFETCH(int, run);
        QString local;
        QVERIFY(vault->prepareFileForEditing("c.txt", &local));
        const QByteArray original = readWholeFile(local);
        QByteArray changed = original;
        changed[0] = 'O';
        {
            QFile copy(local);
            QVERIFY(copy.open(QIODevice::ReadWrite));
            QCOMPARE(copy.write(changed), qint64(changed.size()));
            QVERIFY(copy.flush());
        }
        QCOMPARE(fileSize(local), qint64(original.size()));
        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QVERIFY2(exported("c.txt") == changed, qPrintable(QStringLiteral("run %1").arg(run)));
    }

    // The copy carries the file's own time when that lies well in the past,
    // else a time a minute back; in whole even seconds either way.
    void copyIsDatedInThePast_data()
    {
        QTest::addColumn<QDateTime>("sourceTime");
        QTest::addColumn<QDateTime>("expected");
        const QDateTime old(QDate(2019, 5, 1), QTime(12, 0, 1, 500), Qt::UTC);
        QTest::newRow("old file") << old << QDateTime(QDate(2019, 5, 1), QTime(12, 0, 0), Qt::UTC);
        QTest::newRow("fresh file") << QDateTime() << QDateTime();
        QTest::newRow("file from the future")
            << QDateTime::currentDateTimeUtc().addYears(5) << QDateTime();
    }

    void copyIsDatedInThePast()
    {
        QFETCH(QDateTime, sourceTime);
        QFETCH(QDateTime, expected);
        const QString source = temp->filePath("datado.txt");
        QVERIFY(writeWholeFile(source, "datado"));
        if (sourceTime.isValid()) {
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(sourceTime, QFileDevice::FileModificationTime));
        }
        QVERIFY(vault->importFile(source, "datado.txt"));
        const QDateTime before = QDateTime::currentDateTimeUtc();
        QString local;
        QVERIFY(vault->prepareFileForEditing("datado.txt", &local));
        const QDateTime after = QDateTime::currentDateTimeUtc();
        const QDateTime copyTime = QFileInfo(local).fileTime(QFileDevice::FileModificationTime).toUTC();
        QCOMPARE(copyTime.time().msec(), 0);
        QCOMPARE(copyTime.toSecsSinceEpoch() % 2, 0);
        if (expected.isValid()) {
            QCOMPARE(copyTime, expected);
        } else {
            QVERIFY(copyTime <= after.addSecs(-60));
            QVERIFY(copyTime > before.addSecs(-63));
        }
        QVERIFY(vault->modifiedOpenFiles().isEmpty());
    }

    void reopeningKeepsEdits()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("c.txt", &local));
        edit(local, "edicao nao salva no cofre");
        QString again;
        QVERIFY(vault->prepareFileForEditing("C.TXT", &again));
        QCOMPARE(again, local);
        QCOMPARE(readWholeFile(local), QByteArray("edicao nao salva no cofre"));
        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QCOMPARE(exported("c.txt"), QByteArray("edicao nao salva no cofre"));
    }

    // A copy that does not count as edited is decrypted anew on reopening.
    // (The vault's own file cannot change meanwhile: an import over an open
    // file is refused.)
    void unmodifiedCopyIsRefreshed_data()
    {
        QTest::addColumn<bool>("removed");
        QTest::newRow("copy removed from the workspace") << true;
        QTest::newRow("copy changed with its recorded time and size") << false;
    }

    void unmodifiedCopyIsRefreshed()
    {
        QFETCH(bool, removed);
        QString local;
        QVERIFY(vault->prepareFileForEditing("c.txt", &local));
        const QDateTime recorded = QFileInfo(local).fileTime(QFileDevice::FileModificationTime);
        if (removed) {
            QVERIFY(QFile::remove(local));
        } else {
            QVERIFY(writeWholeFile(local, "alterado de c.txt"));
            QFile file(local);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(recorded, QFileDevice::FileModificationTime));
        }
        QVERIFY(vault->modifiedOpenFiles().isEmpty());
        const QString source = temp->filePath("nova.txt");
        QVERIFY(writeWholeFile(source, "versao nova"));
        QVERIFY(!vault->importFile(source, "c.txt"));
        QString again;
        QVERIFY(vault->prepareFileForEditing("c.txt", &again));
        QCOMPARE(again, local);
        QCOMPARE(readWholeFile(again), QByteArray("original de c.txt"));
    }

    void failedReopenLeavesNothingToWriteBack()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("c.txt", &local));
        const QByteArray copyBefore = readWholeFile(local);
        tamperFirstBlockOf("c.txt");
        QString again = QStringLiteral("intocado");
        QVERIFY(!vault->prepareFileForEditing("c.txt", &again));
        QCOMPARE(again, QStringLiteral("intocado"));
        QCOMPARE(readWholeFile(local), copyBefore);
        QVERIFY(vault->modifiedOpenFiles().isEmpty());
        // No half-decrypted file lies beside the copy.
        QCOMPARE(QDir(workspaceFolder()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{".kavendru-workspace.lock", "c.txt"}));
        const QByteArray before = sha256OfFile(containerPath);
        QVERIFY(vault->lockVault());
        QCOMPARE(sha256OfFile(containerPath), before);
    }

    void failedFirstOpenTracksNothing()
    {
        tamperFirstBlockOf("b.txt");
        QString local;
        QVERIFY(!vault->prepareFileForEditing("b.txt", &local));
        QVERIFY(!QFileInfo::exists(QDir(workspaceFolder()).filePath("b.txt")));
        const QByteArray before = sha256OfFile(containerPath);
        QVERIFY(vault->lockVault());
        QCOMPARE(sha256OfFile(containerPath), before);
    }

    void secondOfThreeFails()
    {
        QStringList copies;
        for (const char* path : {"docs/2024/relatorio.txt", "b.txt", "c.txt"}) {
            QString local;
            QVERIFY(vault->prepareFileForEditing(path, &local));
            edit(local, QByteArray("editado: ") + path);
        }
        // The write-back goes in the record table's order; break the second.
        const QList<TrackedTempFile> order = vault->modifiedOpenFiles();
        QCOMPARE(order.size(), 3);
        const TrackedTempFile broken = order.at(1);
        QVERIFY(QFile::rename(broken.tempPath, broken.tempPath + ".guardado"));
        QVERIFY(QDir().mkdir(broken.tempPath));
        // Still counted as modified, but no longer a file to import.
        struct timespec times[2] = {{0, UTIME_OMIT}, {QDateTime::currentSecsSinceEpoch() + 60, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(broken.tempPath).constData(), times, 0), 0);

        const QString firstOld = idOf(*vault, order.at(0).vaultPath);
        const QString thirdOld = idOf(*vault, order.at(2).vaultPath);
        const QString brokenOld = idOf(*vault, broken.vaultPath);
        QVERIFY(!vault->lockVault());
        QCOMPARE(vault->state(), VaultManager::Unlocked);
        const QString firstNew = idOf(*vault, order.at(0).vaultPath);
        QVERIFY(firstNew != firstOld);
        QCOMPARE(idOf(*vault, broken.vaultPath), brokenOld);
        QCOMPARE(idOf(*vault, order.at(2).vaultPath), thirdOld);
        for (const TrackedTempFile& tracked : order)
            QVERIFY(QFileInfo::exists(tracked.tempPath));

        // Repaired, the retry writes every modified copy, the first again.
        QVERIFY(QDir().rmdir(broken.tempPath));
        QVERIFY(QFile::rename(broken.tempPath + ".guardado", broken.tempPath));
        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QVERIFY(idOf(*vault, order.at(0).vaultPath) != firstNew);
        for (const TrackedTempFile& tracked : order) {
            QCOMPARE(exported(tracked.vaultPath), QByteArray("editado: ") + tracked.vaultPath.toUtf8());
        }
    }

    void lockedButWorkspaceLeft()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("b.txt", &local));
        if (QProcess::execute("chattr", {"+i", local}) != 0)
            QSKIP("file system without the immutable attribute");
        // Locked, but the folder could not be removed: false with Locked.
        QVERIFY(!vault->lockVault());
        QCOMPARE(vault->state(), VaultManager::Locked);
        QVERIFY(QFileInfo::exists(local));
        QVERIFY(QProcess::execute("chattr", {"-i", local}) == 0);
        // Locking again retries the removal.
        QVERIFY(vault->lockVault());
        QVERIFY(!QFileInfo::exists(workspaceFolderPath));
    }

private:
    // The file's content as the open vault exports it; empty when it cannot.
    QByteArray exported(const QString& vaultPath)
    {
        const QString out = temp->filePath("saida.txt");
        return vault->exportFile(vaultPath, out) ? readWholeFile(out) : QByteArray();
    }

    QString workspaceFolder()
    {
        const QStringList folders =
            QDir(QDir(tmp).filePath("Kavendru")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        workspaceFolderPath = folders.size() == 1 ? QDir(QDir(tmp).filePath("Kavendru")).filePath(folders.first()) : QString();
        return workspaceFolderPath;
    }

    void tamperFirstBlockOf(const QString& path)
    {
        for (const VaultFileEntry& entry : vault->fileIndex().entries()) {
            if (entry.vaultPath != path)
                continue;
            QFile file(containerPath);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(entry.blocks.first().offset + 2));
            QVERIFY(file.write("Z") == 1);
        }
    }

    std::unique_ptr<QTemporaryDir> temp;
    QString tmp;
    QString containerPath;
    QString workspaceFolderPath;
    std::unique_ptr<VaultManager> vault;
};

KAVENDRU_TEST_MAIN(EditingTest)
#include "tst_editing.moc"

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
        const QString out = temp->filePath("saida.txt");
        QVERIFY(vault->exportFile("b.txt", out));
        QCOMPARE(readWholeFile(out), QByteArray("texto editado"));
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
        const QString out = temp->filePath("saida.txt");
        QVERIFY(vault->exportFile("b.txt", out));
        QCOMPARE(readWholeFile(out), content);
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

    void fileDeletedFromVaultComesBack()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("docs/2024/relatorio.txt", &local));
        edit(local, "ainda editando");
        QVERIFY(vault->deleteFile("docs/2024/relatorio.txt"));
        QVERIFY(vault->lockVault());
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QVERIFY(!idOf(*vault, "docs/2024/relatorio.txt").isEmpty());
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
        const QString out = temp->filePath("saida.txt");
        QVERIFY(vault->exportFile("c.txt", out));
        QCOMPARE(readWholeFile(out), QByteArray("edicao nao salva no cofre"));
    }

    void unmodifiedCopyIsRefreshed()
    {
        QString local;
        QVERIFY(vault->prepareFileForEditing("c.txt", &local));
        // The vault's file changed since (imported anew).
        const QString source = temp->filePath("nova.txt");
        QVERIFY(writeWholeFile(source, "versao nova"));
        QVERIFY(vault->importFile(source, "c.txt"));
        QString again;
        QVERIFY(vault->prepareFileForEditing("c.txt", &again));
        QCOMPARE(readWholeFile(again), QByteArray("versao nova"));
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
            const QString out = temp->filePath("saida.txt");
            QVERIFY(vault->exportFile(tracked.vaultPath, out));
            QCOMPARE(readWholeFile(out), QByteArray("editado: ") + tracked.vaultPath.toUtf8());
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

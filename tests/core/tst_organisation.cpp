#include "core/VaultManager.h"

#include "VaultFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Kavendru::Core;
using namespace KavendruTest;

namespace {

const QByteArray kPassword("senha-de-teste-longa");
const QDateTime kOld(QDate(2020, 1, 1), QTime(10, 0), Qt::UTC);

QStringList filePaths(const SecureFileIndex& index)
{
    QStringList paths;
    for (const VaultFileEntry& entry : index.entries())
        paths << entry.vaultPath;
    return paths;
}

QStringList folderPaths(const SecureFileIndex& index)
{
    QStringList paths;
    for (const VaultDirectoryEntry& entry : index.directories())
        paths << entry.path;
    return paths;
}

VaultDirectoryEntry folderOf(const SecureFileIndex& index, const QString& path)
{
    for (const VaultDirectoryEntry& entry : index.directories())
        if (entry.path == path)
            return entry;
    return VaultDirectoryEntry();
}

} // namespace

class OrganisationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { baseTempPath(); }

    void init()
    {
        QVERIFY(openFreshVault(kPassword, &temp, &tmp, &containerPath, &vault));

        // Entries only: organisation never looks at the blocks.
        SecureFileIndex index;
        for (const char* folder : {"Docs", "Fotos", "Fotos/2024", "Vazia", "Vazia/Sub", "Orfa/Filha"})
            index.addDirectory(VaultDirectoryEntry{folder, kOld, kOld});
        for (const char* file : {"a.txt", "Docs/b.txt", "Docs/A.TXT", "Fotos/2024/a.jpg", "Fotos/capa.png", "solto/x.txt", "solto/vazia", "solto/capa.png"}) {
            VaultFileEntry entry;
            entry.id = QStringLiteral("id-%1").arg(file);
            entry.vaultPath = file;
            entry.sizeBytes = 1;
            entry.lastModifiedUtc = kOld;
            index.addOrReplace(entry);
        }
        QVERIFY(vault->saveIndex(index));
    }

    void cleanup()
    {
        vault->lockVault();
        vault.reset();
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("move: empty source") << "move" << " " << "";
        QTest::newRow("move: not a file") << "move" << "Docs" << "";
        QTest::newRow("move: already in root") << "move" << "a.txt" << "";
        QTest::newRow("move: already there, other case") << "move" << "docs/b.txt" << "DOCS";
        QTest::newRow("move: folder missing") << "move" << "a.txt" << "Nenhuma";
        QTest::newRow("move: clash other case") << "move" << "a.txt" << "Docs";
        QTest::newRow("move: onto a folder") << "move" << "solto/vazia" << "";
        QTest::newRow("rename: case only") << "rename" << "a.txt" << "A.txt";
        QTest::newRow("rename: empty target") << "rename" << "a.txt" << "/";
        QTest::newRow("rename: not a file") << "rename" << "b.txt" << "c.txt";
        QTest::newRow("rename: onto a file") << "rename" << "a.txt" << "docs/b.TXT";
        QTest::newRow("rename: onto a folder") << "rename" << "a.txt" << "fotos";
        QTest::newRow("delete: not a file") << "delete" << "Docs" << "";
        QTest::newRow("delete: dot dot") << "delete" << "../a.txt" << "";
        QTest::newRow("mkdir: exists other case") << "mkdir" << "docs" << "";
        QTest::newRow("mkdir: held by a file") << "mkdir" << "A.TXT" << "";
        QTest::newRow("mkdir: empty") << "mkdir" << "./" << "";
        QTest::newRow("rendir: case only") << "rendir" << "Fotos" << "fotos";
        QTest::newRow("rendir: into itself") << "rendir" << "Fotos" << "Fotos/Velhas";
        QTest::newRow("rendir: not a folder") << "rendir" << "solto" << "outro";
        QTest::newRow("rendir: onto a folder") << "rendir" << "Fotos" << "DOCS";
        QTest::newRow("rendir: onto a file") << "rendir" << "Vazia" << "a.txt";
        QTest::newRow("rendir: a file would be replaced") << "rendir" << "Fotos" << "SOLTO";
        QTest::newRow("rendir: files already under target") << "rendir" << "Vazia" << "solto";
        QTest::newRow("rendir: folder already under target") << "rendir" << "Vazia" << "orfa";
        QTest::newRow("rmdir: not a folder") << "rmdir" << "a.txt" << "";
        QTest::newRow("rmdir: holds a folder") << "rmdir" << "Vazia" << "";
        QTest::newRow("rmdir: holds a file") << "rmdir" << "docs" << "";
    }

    void refusals()
    {
        QFETCH(QString, operation);
        QFETCH(QString, first);
        QFETCH(QString, second);
        const QByteArray before = sha256OfFile(containerPath);
        const QByteArray indexBefore = vault->fileIndex().toJson();
        bool result = true;
        if (operation == "move")
            result = vault->moveFile(first, second);
        else if (operation == "rename")
            result = vault->renameFile(first, second);
        else if (operation == "delete")
            result = vault->deleteFile(first);
        else if (operation == "mkdir")
            result = vault->createDirectory(first);
        else if (operation == "rendir")
            result = vault->renameDirectory(first, second);
        else
            result = vault->deleteDirectory(first);
        QVERIFY(!result);
        QCOMPARE(sha256OfFile(containerPath), before);
        QCOMPARE(vault->fileIndex().toJson(), indexBefore);
    }

    void everythingRefusedWhileLocked()
    {
        vault->lockVault();
        const QByteArray before = sha256OfFile(containerPath);
        QVERIFY(!vault->moveFile("a.txt", "Docs"));
        QVERIFY(!vault->renameFile("a.txt", "z.txt"));
        QVERIFY(!vault->deleteFile("a.txt"));
        QVERIFY(!vault->createDirectory("Nova"));
        QVERIFY(!vault->renameDirectory("Vazia", "Cheia"));
        QVERIFY(!vault->deleteDirectory("Vazia/Sub"));
        QCOMPARE(sha256OfFile(containerPath), before);
    }

    void moves()
    {
        QVERIFY(vault->moveFile("Docs/b.txt", ""));
        QVERIFY(vault->moveFile("a.txt", "fotos"));
        const SecureFileIndex index = vault->fileIndex();
        QVERIFY(filePaths(index).contains("b.txt"));
        // The folder as the caller wrote it, position kept.
        QCOMPARE(filePaths(index).first(), QStringLiteral("fotos/a.txt"));
        QCOMPARE(index.entries().first().lastModifiedUtc, kOld);
        QCOMPARE(index.entries().first().id, QStringLiteral("id-a.txt"));
        QCOMPARE(folderOf(index, "Fotos").modifiedUtc, kOld);
    }

    void renames()
    {
        QVERIFY(vault->renameFile("A.txt", "Nova Pasta/relatorio.pdf"));
        const SecureFileIndex index = vault->fileIndex();
        QCOMPARE(filePaths(index).first(), QStringLiteral("Nova Pasta/relatorio.pdf"));
        // No folder entry is made for the new parent.
        QVERIFY(!folderPaths(index).contains("Nova Pasta"));
    }

    void deleteKeepsBlocksAndReachesTheDrive()
    {
        const qint64 size = fileSize(containerPath);
        QVERIFY(vault->deleteFile("DOCS/B.TXT"));
        QVERIFY(!filePaths(vault->fileIndex()).contains("Docs/b.txt"));
        QCOMPARE(fileSize(containerPath), size);
        vault->lockVault();
        VaultManager again;
        QVERIFY(again.unlockVault(containerPath, kPassword));
        QVERIFY(!filePaths(again.fileIndex()).contains("Docs/b.txt"));
        QCOMPARE(again.fileIndex().entries().size(), 7);
        again.lockVault();
    }

    void createWithAncestors()
    {
        const QDateTime start = QDateTime::currentDateTimeUtc();
        QVERIFY(vault->createDirectory("Musica/2024/Natal"));
        const SecureFileIndex index = vault->fileIndex();
        const QStringList folders = folderPaths(index);
        QCOMPARE(folders.mid(6), (QStringList{"Musica", "Musica/2024", "Musica/2024/Natal"}));
        const VaultDirectoryEntry top = folderOf(index, "Musica");
        const VaultDirectoryEntry middle = folderOf(index, "Musica/2024");
        const VaultDirectoryEntry leaf = folderOf(index, "Musica/2024/Natal");
        QCOMPARE(top.createdUtc, middle.createdUtc);
        QVERIFY(top.createdUtc >= start);
        QVERIFY(leaf.createdUtc >= middle.createdUtc);
        QCOMPARE(leaf.modifiedUtc, leaf.createdUtc);
        // An ancestor present in another case is not added again.
        QVERIFY(vault->createDirectory("fotos/2025"));
        QCOMPARE(folderPaths(vault->fileIndex()).last(), QStringLiteral("fotos/2025"));
        QCOMPARE(folderPaths(vault->fileIndex()).size(), 10);
    }

    void renameFolderTree()
    {
        const QDateTime start = QDateTime::currentDateTimeUtc();
        QVERIFY(vault->renameDirectory("fotos", "Imagens"));
        const SecureFileIndex index = vault->fileIndex();
        QVERIFY(folderPaths(index).contains("Imagens"));
        QVERIFY(folderPaths(index).contains("Imagens/2024"));
        QVERIFY(!folderPaths(index).contains("Fotos"));
        QVERIFY(filePaths(index).contains("Imagens/2024/a.jpg"));
        QVERIFY(filePaths(index).contains("Imagens/capa.png"));
        for (const char* path : {"Imagens", "Imagens/2024"}) {
            const VaultDirectoryEntry folder = folderOf(index, path);
            QCOMPARE(folder.createdUtc, kOld);
            QVERIFY(folder.modifiedUtc >= start);
        }
        QCOMPARE(folderOf(index, "Docs").modifiedUtc, kOld);
    }

    void renameFolderElsewhere()
    {
        // Moving a folder under another whose stored name differs in case
        // keeps that folder's own entry: no two folders differ by case.
        QVERIFY(vault->renameDirectory("Vazia", "docs/Arquivo/Vazia"));
        const QStringList folders = folderPaths(vault->fileIndex());
        QCOMPARE(folders.filter(QRegularExpression("^docs$", QRegularExpression::CaseInsensitiveOption)).size(), 1);
        QVERIFY(folders.contains("Docs"));
        QVERIFY(folders.contains("docs/Arquivo"));
        QVERIFY(folders.contains("docs/Arquivo/Vazia"));
        QVERIFY(folders.contains("docs/Arquivo/Vazia/Sub"));
        QCOMPARE(folderOf(vault->fileIndex(), "Docs").modifiedUtc, kOld);
    }

    void deleteFolders()
    {
        QVERIFY(vault->deleteDirectory("vazia/sub"));
        QVERIFY(!folderPaths(vault->fileIndex()).contains("Vazia/Sub"));
        QVERIFY(vault->deleteDirectory("VAZIA"));
        QCOMPARE(folderPaths(vault->fileIndex()), (QStringList{"Docs", "Fotos", "Fotos/2024", "Orfa/Filha"}));
    }

    void openFilesCannotMoveButCanBeDeleted()
    {
        const QString source = temp->filePath("real.txt");
        QVERIFY(writeWholeFile(source, "conteudo real"));
        QVERIFY(vault->importFile(source, "Fotos/real.txt"));
        QString local;
        QVERIFY(vault->prepareFileForEditing("fotos/REAL.txt", &local));
        QVERIFY(!vault->moveFile("Fotos/real.txt", ""));
        QVERIFY(!vault->renameFile("Fotos/real.txt", "Fotos/outro.txt"));
        QVERIFY(!vault->renameDirectory("Fotos", "Imagens"));
        QVERIFY(vault->deleteFile("Fotos/real.txt"));
        QVERIFY(!filePaths(vault->fileIndex()).contains("Fotos/real.txt"));
        // Its copy went with it: nothing under the folder is open any more.
        QVERIFY(!vault->isOpenForEditing("Fotos/real.txt"));
        QVERIFY(vault->renameDirectory("Fotos", "Imagens"));
    }

private:
    std::unique_ptr<QTemporaryDir> temp;
    QString tmp;
    QString containerPath;
    std::unique_ptr<VaultManager> vault;
};

KAVENDRU_TEST_MAIN(OrganisationTest)
#include "tst_organisation.moc"

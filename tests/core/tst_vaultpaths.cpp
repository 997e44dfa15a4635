#include "core/VaultPaths.h"

#include <QTest>

using namespace Kavendru::Core;
using namespace Kavendru::Core::VaultPaths;

class VaultPathsTest : public QObject {
    Q_OBJECT

private slots:
    void normalization_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << "" << "";
        QTest::newRow("blanks") << "   " << "";
        QTest::newRow("slash") << "/" << "";
        QTest::newRow("two slashes") << "//" << "";
        QTest::newRow("backslash") << "\\" << "";
        QTest::newRow("mixed separators") << " \\Docs\\Notas / a.txt " << "Docs/Notas/a.txt";
        QTest::newRow("trailing and doubled") << "a//b/" << "a/b";
        QTest::newRow("spaces around parts") << "  /a\\b/ c /" << "a/b/c";
        QTest::newRow("dot part") << "a/./b" << "";
        QTest::newRow("dot dot first") << "../a" << "";
        QTest::newRow("dot dot inside") << "a/../b" << "";
        QTest::newRow("blank part") << "a/ /b" << "";
        QTest::newRow("dot with blanks") << "a/ ./b" << "";
        QTest::newRow("three dots") << "..." << "...";
        QTest::newRow("dot space dot") << ". ." << ". .";
        QTest::newRow("hidden name") << ".hidden" << ".hidden";
        QTest::newRow("case and inner spaces") << "Meus Documentos/Foto 1.JPG" << "Meus Documentos/Foto 1.JPG";
    }

    void normalization()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(normalizedVaultPath(input), expected);
    }

    void caseInsensitiveLookups()
    {
        SecureFileIndex index;
        VaultFileEntry file;
        file.vaultPath = QStringLiteral("Docs/Relatorio.pdf");
        index.addOrReplace(file);
        QVERIFY(indexContainsFilePath(index, QStringLiteral("docs/relatorio.PDF")));
        QVERIFY(!indexContainsFilePath(index, QStringLiteral("Docs/Relatorio.pdf.bak")));
        QVERIFY(!indexContainsDirectoryPath(index, QStringLiteral("Docs")));
        index.addDirectory(VaultDirectoryEntry{QStringLiteral("DOCS"), {}, {}});
        QVERIFY(indexContainsDirectoryPath(index, QStringLiteral("Docs")));
        QVERIFY(!indexContainsFilePath(SecureFileIndex(), QStringLiteral("a")));
    }

    void insideDirectory_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<bool>("inside");
        QTest::newRow("below, other case") << "Fotos/2024/a.jpg" << "fotos" << true;
        QTest::newRow("itself") << "Fotos" << "Fotos" << false;
        QTest::newRow("name prefix") << "Fotos2/a.jpg" << "Fotos" << false;
        QTest::newRow("ab/c in a") << "ab/c" << "a" << false;
        QTest::newRow("A/b in a") << "A/b" << "a" << true;
        QTest::newRow("root") << "a" << "" << false;
    }

    void insideDirectory()
    {
        QFETCH(QString, path);
        QFETCH(QString, directory);
        QFETCH(bool, inside);
        QCOMPARE(pathIsInsideDirectory(path, directory), inside);
    }

    void ancestorsAddedTopDown()
    {
        SecureFileIndex index;
        index.addDirectory(VaultDirectoryEntry{QStringLiteral("A"), {}, {}});
        ensureParentDirectories(&index, QStringLiteral("a/b/c/d.txt"));
        const QList<VaultDirectoryEntry> folders = index.directories();
        QCOMPARE(folders.size(), 3);
        QCOMPARE(folders.at(0).path, QStringLiteral("A"));
        QCOMPARE(folders.at(1).path, QStringLiteral("a/b"));
        QCOMPARE(folders.at(2).path, QStringLiteral("a/b/c"));
        QVERIFY(folders.at(1).createdUtc.isValid());
        QCOMPARE(folders.at(1).createdUtc, folders.at(2).createdUtc);
        QCOMPARE(folders.at(1).modifiedUtc, folders.at(1).createdUtc);
        QCOMPARE(folders.at(1).createdUtc.timeSpec(), Qt::UTC);
    }

    void topLevelPathHasNoAncestors()
    {
        SecureFileIndex index;
        ensureParentDirectories(&index, QStringLiteral("d.txt"));
        QVERIFY(index.directories().isEmpty());
    }
};

QTEST_GUILESS_MAIN(VaultPathsTest)
#include "tst_vaultpaths.moc"

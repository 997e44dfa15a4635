// As a user would do it: a folder standing for a drive, prepared by the
// tool with a program of this build; an update package made from this
// build on a local HTTPS server; "Verificar atualizações" confirmed. The
// drive then holds the package's bundles and its state file names the new
// version and the package's SHA-256.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QTest>

using namespace ConfigTest;
using namespace UpdateTest;

namespace {

bool makeFile(const QString& path, const QByteArray& data)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && KavendruTest::writeWholeFile(path, data);
}

bool copyTree(const QString& from, const QString& to)
{
    return QDir().mkpath(QFileInfo(to).absolutePath()) && QProcess::execute("cp", {"-a", from, to}) == 0;
}

} // namespace

class UpdateEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The sources the tool deploys, beside it: this build's program as
        // the Linux one, a stand-in Windows bundle.
        const QDir tool(QCoreApplication::applicationDirPath());
        QDir(tool.filePath("bundles")).removeRecursively();
        const QString program = tool.filePath("bundles/linux-x64/Kavendru");
        QVERIFY(QDir().mkpath(QFileInfo(program).absolutePath()));
        QVERIFY(QFile::copy(QStringLiteral(KAVENDRU_E2E_PROGRAM), program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
        for (const char* name : {"Kavendru.exe", "Qt6Core.dll", "platforms/qwindows.dll", "vcruntime140.dll",
                                 "vcruntime140_1.dll", "msvcp140.dll"})
            QVERIFY(makeFile(tool.filePath(QStringLiteral("bundles/windows-x64/") + QLatin1String(name)), "PE"));
    }

    void cleanupTestCase() { QDir(QDir(QCoreApplication::applicationDirPath()).filePath("bundles")).removeRecursively(); }

    void updatesAPreparedDrive()
    {
        HttpsServer server;
        QVERIFY2(server.isRunning(), qPrintable(server.failure()));
        const auto dir = KavendruTest::makeTempDir();
        const QString drive = dir->filePath("PENDRIVE");
        const QString source = dir->filePath("NOVA");
        QVERIFY(QDir().mkpath(drive));
        QVERIFY(QDir().mkpath(source));
        auto drives = std::make_shared<QList<UsbDevice>>(QList<UsbDevice>{mountedDrive(source)});
        ConfigWindow window(std::make_unique<FakeDeviceManager>(drives));
        QCOMPARE(window.linuxSource.executablePath,
                 QDir(QCoreApplication::applicationDirPath()).filePath("bundles/linux-x64/Kavendru"));

        // The new version: what preparation lays out, with the launcher in
        // the Linux bundle and a file telling the version.
        ModalDriver driver;
        driver.answerBox("Sim");
        driver.answerBox("OK");
        window.prepareButton->click();
        QCOMPARE(driver.boxes().size(), 2);
        QCOMPARE(driver.boxes().at(1).text, QStringLiteral("USB preparado com estrutura portatil Kavendru."));
        const QString packageTree = dir->filePath("pacote");
        QVERIFY(copyTree(QDir(source).filePath("Kavendru/windows"), packageTree + "/Kavendru/windows"));
        QVERIFY(copyTree(QDir(source).filePath("Kavendru/linux"), packageTree + "/Kavendru/linux"));
        QVERIFY(QFile::copy(QDir(source).filePath("Kavendru-Linux.sh"), packageTree + "/Kavendru/linux/Kavendru-Linux.sh"));
        // An assembled bundle has no qt.conf; a release package carries one.
        if (!QFileInfo::exists(packageTree + "/Kavendru/linux/qt.conf"))
            QVERIFY(makeFile(packageTree + "/Kavendru/linux/qt.conf", "[Paths]\nPrefix=.\nLibraries=lib\nPlugins=plugins\n"));
        QVERIFY(makeFile(packageTree + "/Kavendru/windows/VERSAO.txt", "1.0.6"));
        QVERIFY(makeFile(packageTree + "/Kavendru/linux/VERSAO.txt", "1.0.6"));
        const QString packagePath = QDir(server.folder()).filePath("kavendru-1.0.6.zip");
        QString error;
        QVERIFY2(zipFolder(packageTree, packagePath, &error), qPrintable(error));
        const QByteArray package = KavendruTest::readWholeFile(packagePath);
        const QString sha = QString::fromLatin1(sha256Hex(package));
        const QJsonObject manifest{{"schemaVersion", 1},
                                   {"app", "Kavendru"},
                                   {"version", "1.0.6"},
                                   {"packageUrl", server.url("kavendru-1.0.6.zip").toString()},
                                   {"sha256", sha.toUpper()},
                                   {"size", double(package.size())},
                                   {"publishedAt", "2026-12-01T00:00:00Z"},
                                   {"releaseNotes", "Correções de segurança."}};
        QVERIFY(makeFile(QDir(server.folder()).filePath("000Updates/kavendru/manifest.json"),
                         QJsonDocument(manifest).toJson()));

        // The drive, prepared by the tool with this build.
        *drives = {mountedDrive(drive, "PENDRIVE")};
        window.refreshButton->click();
        driver.answerBox("Sim");
        driver.answerBox("OK");
        window.prepareButton->click();
        QCOMPARE(driver.boxes().size(), 4);
        QCOMPARE(installedBundleVersion(drive), QStringLiteral("1.0.5"));
        const QByteArray launcher = KavendruTest::readWholeFile(QDir(drive).filePath("Kavendru-Linux.sh"));

        window.manifestUrl = server.url("000Updates/kavendru/manifest.json");
        driver.answerBox("Sim");
        driver.answerBox("OK");
        window.checkUpdatesButton->click();
        QTRY_COMPARE_WITH_TIMEOUT(driver.boxes().size(), 6, 120000);
        QCOMPARE(driver.boxes().at(4).title, QStringLiteral("Atualização disponível"));
        QCOMPARE(driver.boxes().at(4).text,
                 QStringLiteral("Atualizar Kavendru na unidade %1?\n\nVersão instalada: 1.0.5\nVersão disponível: "
                                "1.0.6\n\nCorreções de segurança.")
                     .arg(drive));
        QVERIFY2(driver.boxes().at(5).icon == QMessageBox::Information, qPrintable(driver.boxes().at(5).text));
        QCOMPARE(driver.boxes().at(5).text, QStringLiteral("Atualização concluída.\n\nVersão instalada: 1.0.6"));
        QCOMPARE(lines(window.log->toPlainText()).last(), QStringLiteral("Unidade atualizada para Kavendru 1.0.6."));
        QTRY_VERIFY(!window.findChild<QProgressDialog*>());
        QVERIFY(window.checkUpdatesButton->isEnabled());

        const QDir product(QDir(drive).filePath("Kavendru"));
        QCOMPARE(KavendruTest::readWholeFile(product.filePath("windows/VERSAO.txt")), QByteArray("1.0.6"));
        QCOMPARE(KavendruTest::readWholeFile(product.filePath("linux/VERSAO.txt")), QByteArray("1.0.6"));
        QCOMPARE(KavendruTest::sha256OfFile(product.filePath("linux/Kavendru")),
                 KavendruTest::sha256OfFile(QStringLiteral(KAVENDRU_E2E_PROGRAM)));
        QVERIFY(QFileInfo(product.filePath("linux/Kavendru")).isExecutable());
        QCOMPARE(treeOf(product.filePath("linux")), treeOf(packageTree + "/Kavendru/linux"));
        const QJsonObject state = QJsonDocument::fromJson(KavendruTest::readWholeFile(updateStatePath(drive))).object();
        QCOMPARE(state.value("installedVersion").toString(), QStringLiteral("1.0.6"));
        QCOMPARE(state.value("lastPackageSha256").toString(), sha);
        QCOMPARE(product.entryList({"*.backup-*", ".update-*", "update-journal.json"},
                                   QDir::AllEntries | QDir::Hidden),
                 QStringList());
        QCOMPARE(KavendruTest::readWholeFile(QDir(drive).filePath("Kavendru-Linux.sh")), launcher);
        QVERIFY(server.requests().contains("/000Updates/kavendru/manifest.json | KavendruConfig/1.0.5 | */*"));
    }
};

KAVENDRU_UPDATE_TEST_MAIN(UpdateEndToEndTest)

#include "tst_update_e2e.moc"

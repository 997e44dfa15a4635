// The update check: the manifest fetched from a real HTTPS server on this
// machine and validated, the network's failures, the process check, and
// "Verificar atualizações" in the window with its refusals and questions.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QTest>

#include <sys/mount.h>

using namespace ConfigTest;
using namespace UpdateTest;

namespace {

const QByteArray kSha = QByteArrayLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");

QByteArray manifestJson(const QString& version, const QString& packageUrl = QStringLiteral("https://pacotes.example/k.zip"))
{
    return QJsonDocument(QJsonObject{{"schemaVersion", 1},
                                     {"app", "Kavendru"},
                                     {"version", version},
                                     {"packageUrl", packageUrl},
                                     {"sha256", QString::fromLatin1(kSha)},
                                     {"size", 1234},
                                     {"releaseNotes", "Correções."}})
        .toJson();
}

} // namespace

class UpdateCheckTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        server = std::make_unique<HttpsServer>();
        QVERIFY2(server->isRunning(), qPrintable(server->failure()));
    }

    void init()
    {
        dir = KavendruTest::makeTempDir();
        root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(makePreparedDrive(root, "old", QStringLiteral("1.0.5")));
        drives = std::make_shared<QList<UsbDevice>>(QList<UsbDevice>{mountedDrive(root)});
    }

    void manifestUrlOnTheUpdateHost()
    {
        QCOMPARE(defaultManifestUrl().toString(),
                 QStringLiteral("https://%1/000Updates/kavendru/manifest.json").arg(QStringLiteral(KAVENDRU_UPDATE_HOST)));
        const auto window = makeWindow();
        QCOMPARE(window->manifestUrl, defaultManifestUrl());
    }

    void manifests_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<bool>("success");
        QTest::addColumn<bool>("available");
        QTest::addColumn<QString>("error");
        QTest::addColumn<qint64>("size");

        const QString schema = QStringLiteral("Manifesto não pertence ao Kavendru ou usa schema não suportado.");
        const QString missing = QStringLiteral("Manifesto sem version, packageUrl ou sha256.");
        const auto with = [](std::function<void(QJsonObject&)> change) {
            QJsonObject object = QJsonDocument::fromJson(manifestJson(QStringLiteral("1.0.6"))).object();
            change(object);
            return QJsonDocument(object).toJson();
        };
        QTest::newRow("newer") << manifestJson("1.0.6") << "1.0.5" << true << true << "" << qint64(1234);
        QTest::newRow("same") << manifestJson("1.0.5") << "1.0.5" << true << false << "" << qint64(1234);
        QTest::newRow("trailing zero is newer") << manifestJson("1.0.5.0") << "1.0.5" << true << true << "" << qint64(1234);
        QTest::newRow("1.0.10 after 1.0.9") << manifestJson("1.0.10") << "1.0.9" << true << true << "" << qint64(1234);
        // The journal and the state file carry the version: it must read
        // whole and fit them.
        const QString longest = QStringLiteral("2") + QString(QStringLiteral(".0")).repeated(31) + QStringLiteral("1");
        QTest::newRow("unreadable version") << manifestJson("v2") << "1.0.5" << false << false
                                            << unusableVersionRefusal() << qint64(1234);
        QTest::newRow("version with a suffix") << manifestJson("1.0.6-beta") << "1.0.5" << false << false
                                               << unusableVersionRefusal() << qint64(1234);
        QTest::newRow("version of 64 characters") << manifestJson(longest) << "1.0.5" << true << true << ""
                                                  << qint64(1234);
        QTest::newRow("version of 65 characters") << manifestJson(longest + "0") << "1.0.5" << false << false
                                                  << unusableVersionRefusal() << qint64(1234);
        QTest::newRow("no state file") << manifestJson("0.0.1") << "" << true << true << "" << qint64(1234);
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF") + manifestJson("1.0.6") << "1.0.5" << true
                                         << true << "" << qint64(1234);
        QTest::newRow("array") << QByteArray("[1]") << "1.0.5" << false << false
                               << "Manifesto inválido: " + QJsonParseError().errorString() << qint64(-1);
        QTest::newRow("schema 2") << with([](QJsonObject& o) { o["schemaVersion"] = 2; }) << "1.0.5" << false << false
                                  << schema << qint64(-1);
        QTest::newRow("schema as text") << with([](QJsonObject& o) { o["schemaVersion"] = "1"; }) << "1.0.5" << false
                                        << false << schema << qint64(-1);
        QTest::newRow("app in another case") << with([](QJsonObject& o) { o["app"] = "kavendru"; }) << "1.0.5" << false
                                             << false << schema << qint64(-1);
        QTest::newRow("no sha256") << with([](QJsonObject& o) { o.remove("sha256"); }) << "1.0.5" << false << false
                                   << missing << qint64(1234);
        QTest::newRow("version as number") << with([](QJsonObject& o) { o["version"] = 106; }) << "1.0.5" << false
                                           << false << missing << qint64(1234);
        QTest::newRow("size as text is absent") << with([](QJsonObject& o) { o["size"] = "1234"; }) << "1.0.5" << true
                                                << true << "" << qint64(-1);
        QTest::newRow("fraction truncated") << with([](QJsonObject& o) { o["size"] = 12.7; }) << "1.0.5" << true << true
                                            << "" << qint64(12);
        QTest::newRow("size 2^63 is no size") << with([](QJsonObject& o) { o["size"] = 9223372036854775808.0; })
                                              << "1.0.5" << true << true << "" << kInvalidPackageSize;
        // A negative size tells none.
        QTest::newRow("size -1 is unknown") << with([](QJsonObject& o) { o["size"] = -1; }) << "1.0.5" << true << true
                                            << "" << qint64(-1);
        QTest::newRow("negative size is unknown") << with([](QJsonObject& o) { o["size"] = -5.5; }) << "1.0.5" << true
                                                  << true << "" << qint64(-1);
        QTest::newRow("size 2^62") << with([](QJsonObject& o) { o["size"] = 4611686018427387904.0; }) << "1.0.5"
                                   << true << true << "" << qint64(4611686018427387904);
        QTest::newRow("http package") << manifestJson("1.0.6", "http://pacotes.example/k.zip") << "1.0.5" << false
                                      << false << "O pacote de atualização precisa ser baixado por HTTPS: "
                                                  "http://pacotes.example/k.zip"
                                      << qint64(1234);
        QTest::newRow("https without host") << manifestJson("1.0.6", "https:///k.zip") << "1.0.5" << false << false
                                            << "O pacote de atualização precisa ser baixado por HTTPS: https:///k.zip"
                                            << qint64(1234);
    }

    void manifests()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, installed);
        QFETCH(bool, success);
        QFETCH(bool, available);
        QFETCH(QString, error);
        QFETCH(qint64, size);
        QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath("manifest.json"), body));
        if (installed.isEmpty())
            QVERIFY(QFile::remove(updateStatePath(root)));
        else
            QVERIFY(writeUpdateState(root, installed, QString(), &error));

        const UpdateCheckResult result = checkForUpdate(root, server->url("manifest.json"));
        QCOMPARE(result.error, error);
        QCOMPARE(result.success, success);
        QCOMPARE(result.updateAvailable, available);
        QCOMPARE(result.manifest.size, size);
        if (success) {
            QCOMPARE(result.installedVersion, installed);
            QCOMPARE(result.manifest.sha256, QString::fromLatin1(kSha));
            QCOMPARE(result.manifest.releaseNotes, QStringLiteral("Correções."));
        }
    }

    void upperCaseHashIsKeptInLowerCase()
    {
        QByteArray body = manifestJson("1.0.6");
        body.replace(kSha, kSha.toUpper());
        QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath("manifest.json"), body));
        const UpdateCheckResult result = checkForUpdate(root, server->url("manifest.json"));
        QVERIFY(result.success);
        QCOMPARE(result.manifest.sha256, QString::fromLatin1(kSha));
    }

    void requestHeaders()
    {
        QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath("headers.json"), manifestJson("1.0.6")));
        QVERIFY(checkForUpdate(root, server->url("headers.json")).success);
        QVERIFY(server->requests().contains(QStringLiteral("/headers.json | KavendruConfig/1.0.5 | */*")));
    }

    void networkFailures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("404") << "missing.json" << "File not found";
        QTest::newRow("redirect to http") << "redirect-http" << "Insecure redirect";
        QTest::newRow("empty body") << "empty.json" << "";
        QTest::newRow("body over 1 MiB") << "big.json" << "Resposta acima de 1048576 bytes ao acessar: ";
    }

    void networkFailures()
    {
        QFETCH(QString, path);
        QFETCH(QString, errorPart);
        QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath("empty.json"), QByteArray()));
        QByteArray big = manifestJson("1.0.6");
        big.append(QByteArray((1 << 20) - big.size() + 1, ' '));
        QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath("big.json"), big));

        const UpdateCheckResult result = checkForUpdate(root, server->url(path));
        QVERIFY(!result.success);
        if (errorPart.isEmpty())
            QCOMPARE(result.error, QString());
        else
            QVERIFY2(result.error.contains(errorPart), qPrintable(result.error));
    }

    void bodyOfExactlyTheLimitIsRead()
    {
        QByteArray body = manifestJson("1.0.6");
        body.append(QByteArray((1 << 20) - body.size(), ' '));
        QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath("limit.json"), body));
        QVERIFY(checkForUpdate(root, server->url("limit.json")).success);
    }

    void untrustedCertificate()
    {
        HttpsServer stranger(false);
        QVERIFY2(stranger.isRunning(), qPrintable(stranger.failure()));
        QVERIFY(KavendruTest::writeWholeFile(QDir(stranger.folder()).filePath("manifest.json"), manifestJson("1.0.6")));
        const UpdateCheckResult result = checkForUpdate(root, stranger.url("manifest.json"));
        QVERIFY(!result.success);
        QVERIFY2(result.error.contains(QStringLiteral("SSL")), qPrintable(result.error));
        // Nothing was asked over the connection it refused.
        QVERIFY(stranger.requests().isEmpty());
    }

    void timeOut()
    {
        QString error;
        QElapsedTimer clock;
        clock.start();
        const QByteArray body = httpGet(server->url("slow"), 500, &error, kMaxManifestSize);
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(body.isEmpty());
        QCOMPARE(error, QStringLiteral("Tempo limite excedido ao acessar: %1").arg(server->url("slow").toString()));
    }

    void processCheck()
    {
        QVERIFY2(!vaultProgramRunning(), "a process named Kavendru runs in the test's namespace");
        {
            NamedProcess tool(dir->path(), QStringLiteral("KavendruConfig"));
            QVERIFY(tool.running());
            QVERIFY(!vaultProgramRunning());
        }
        NamedProcess vault(dir->path(), QStringLiteral("Kavendru"));
        QVERIFY(vault.running());
        QVERIFY(vaultProgramRunning());
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QMessageBox::Icon>("icon");
        QTest::addColumn<QString>("text");
        QTest::newRow("no drive chosen") << "no selection" << QMessageBox::Information
                                         << "Selecione uma unidade USB primeiro.";
        QTest::newRow("not mounted") << "unmounted" << QMessageBox::Information
                                     << "Monte a unidade USB e atualize a lista antes de verificar atualizações.";
        QTest::newRow("not prepared") << "no product folder" << QMessageBox::Information
                                      << "A unidade selecionada ainda não possui uma estrutura Kavendru preparada.";
        QTest::newRow("product folder is a link")
            << "linked product folder" << QMessageBox::Information
            << "A unidade selecionada ainda não possui uma estrutura Kavendru preparada.";
        QTest::newRow("read-only") << "read-only" << QMessageBox::Warning
                                   << "A unidade USB não está disponível para gravação. Monte-a com leitura e "
                                      "gravação antes de atualizar.";
        QTest::newRow("a recovery runs elsewhere") << "recovery" << QMessageBox::Information
                                                   << "Aguarde a recuperação automática de atualização pendente "
                                                      "terminar antes de iniciar outra atualização.";
        QTest::newRow("recovery failed here") << "failed" << QMessageBox::Warning
                                              << "Há uma atualização pendente que não pôde ser recuperada com "
                                                 "segurança. Nenhuma nova atualização será iniciada para esta "
                                                 "unidade.";
        QTest::newRow("pending journal") << "pending" << QMessageBox::Information << pendingUpdateRefusal();
        QTest::newRow("unreadable journal") << "unreadable journal" << QMessageBox::Information
                                            << pendingUpdateRefusal();
        QTest::newRow("vault program runs") << "vault runs" << QMessageBox::Warning
                                            << "Feche o Kavendru antes de atualizar os bundles da unidade USB.";
    }

    void refusals()
    {
        QFETCH(QString, situation);
        QFETCH(QMessageBox::Icon, icon);
        QFETCH(QString, text);
        const QString product = QDir(root).filePath(QStringLiteral("Kavendru"));
        std::unique_ptr<KavendruTest::ScopedTmpfs> readOnly;
        if (situation == QLatin1String("no selection"))
            *drives = {mountedDrive(root), mountedDrive(dir->filePath("OUTRA"))};
        if (situation == QLatin1String("unmounted"))
            *drives = {unmountedDrive(QStringLiteral("/dev/sdc1"))};
        if (situation == QLatin1String("no product folder"))
            QVERIFY(QDir(product).removeRecursively());
        if (situation == QLatin1String("linked product folder")) {
            QVERIFY(QDir().rename(product, dir->filePath("elsewhere")));
            QVERIFY(QFile::link(dir->filePath("elsewhere"), product));
        }
        if (situation == QLatin1String("read-only")) {
            if (!KavendruTest::inPrivateMountNamespace())
                QSKIP("needs root for a read-only mount");
            const QString mounted = dir->filePath("RO");
            readOnly = std::make_unique<KavendruTest::ScopedTmpfs>(mounted, 1 << 20);
            QVERIFY(readOnly->isMounted());
            QVERIFY(QDir().mkpath(QDir(mounted).filePath("Kavendru")));
            QVERIFY(::mount(nullptr, QFile::encodeName(mounted).constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                            nullptr) == 0);
            *drives = {mountedDrive(mounted)};
        }
        std::unique_ptr<NamedProcess> vault;
        if (situation == QLatin1String("vault runs"))
            vault = std::make_unique<NamedProcess>(dir->path(), QStringLiteral("Kavendru"));

        const auto window = makeWindow();
        if (situation == QLatin1String("unmounted"))
            window->deviceCombo->setCurrentIndex(0);
        if (situation == QLatin1String("recovery"))
            window->pendingRecoveryCount = 1;
        if (situation == QLatin1String("failed"))
            window->failedRecoveryRoots.insert(root);
        window->manifestUrl = server->url("manifest.json");
        // A journal that came after the drive list was filled, so no
        // recovery took it up.
        if (situation == QLatin1String("pending"))
            QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root),
                                                 R"({"schemaVersion":1,"app":"Kavendru","phase":"staged"})"));
        if (situation == QLatin1String("unreadable journal"))
            QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root), "{nao"));
        const QString logBefore = window->log->toPlainText();

        ModalDriver driver;
        driver.answerBox(QStringLiteral("OK"));
        window->checkUpdatesButton->click();
        QCOMPARE(driver.boxes().size(), 1);
        QCOMPARE(driver.boxes().first().icon, icon);
        QCOMPARE(driver.boxes().first().title, QStringLiteral("Kavendru - Gerenciador"));
        QCOMPARE(driver.boxes().first().text, text);
        QCOMPARE(window->log->toPlainText(), logBefore);
        QVERIFY(window->checkUpdatesButton->isEnabled());
    }

    void questions_data()
    {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<bool>("stateFile");
        QTest::addColumn<QString>("boxText");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("newer, answered Não")
            << "1.0.6" << true
            << "Atualizar Kavendru na unidade %1?\n\nVersão instalada: 1.0.5\nVersão disponível: 1.0.6\n\nCorreções."
            << "Atualização cancelada pelo usuário.";
        QTest::newRow("unknown installed version")
            << "1.0.6" << false
            << "Atualizar Kavendru na unidade %1?\n\nVersão instalada: desconhecida\nVersão disponível: 1.0.6\n\n"
               "Correções."
            << "Atualização cancelada pelo usuário.";
        QTest::newRow("up to date") << "1.0.5" << true
                                    << "A unidade já está atualizada.\n\nVersão instalada: 1.0.5\nVersão disponível: 1.0.5"
                                    << "Nenhuma atualização disponível. Instalado: 1.0.5 | Remoto: 1.0.5";
        QTest::newRow("server fails") << "" << true << "%2" << "Falha ao consultar manifesto: %2";
    }

    void questions()
    {
        QFETCH(QString, remote);
        QFETCH(bool, stateFile);
        QFETCH(QString, boxText);
        QFETCH(QString, logLine);
        if (!stateFile)
            QVERIFY(QFile::remove(updateStatePath(root)));
        const QString name = QStringLiteral("q-%1.json").arg(QTest::currentDataTag()).replace(' ', '-');
        if (!remote.isEmpty())
            QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath(name), manifestJson(remote)));
        const auto window = makeWindow();
        // A journal of an update that was rolled back is done with.
        QVERIFY(KavendruTest::writeWholeFile(updateJournalPath(root),
                                             R"({"schemaVersion":1,"app":"Kavendru","phase":"rolled-back"})"));
        window->manifestUrl = server->url(name);
        const QString serverError = checkForUpdate(root, window->manifestUrl).error;

        ModalDriver driver;
        driver.answerBox(QStringLiteral("Não"));
        ProgressWatcher progress(window.get());
        bool disabledMeanwhile = true;
        bool stayed = true;
        progress.whileVisible([&](QProgressDialog* dialog) {
            disabledMeanwhile = disabledMeanwhile && !window->checkUpdatesButton->isEnabled()
                                && !window->checkUpdatesAction->isEnabled() && window->driveTaskRunning(root);
            // Neither Escape nor its close button hands the window back.
            QTest::keyClick(dialog, Qt::Key_Escape);
            dialog->close();
            stayed = stayed && dialog->isVisible();
        });
        window->checkUpdatesAction->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(driver.boxes().size(), 1, 30000);
        const SeenBox& box = driver.boxes().first();
        const auto filled = [&](QString text) {
            return text.replace(QLatin1String("%1"), root).replace(QLatin1String("%2"), serverError);
        };
        QCOMPARE(box.text, filled(boxText));
        QCOMPARE(box.shown, box.text);
        QCOMPARE(lines(window->log->toPlainText()).last(), filled(logLine));
        QCOMPARE(progress.states().first().label, QStringLiteral("Consultando manifesto de atualização..."));
        QVERIFY(disabledMeanwhile);
        QVERIFY(stayed);
        QTRY_VERIFY(!window->findChild<QProgressDialog*>());
        QVERIFY(window->checkUpdatesButton->isEnabled());
        QVERIFY(window->checkUpdatesAction->isEnabled());
        QVERIFY(!window->driveTaskRunning(root));
        if (remote == QLatin1String("1.0.6")) {
            QCOMPARE(box.title, QStringLiteral("Atualização disponível"));
            QCOMPARE(box.defaultButton, QStringLiteral("Não"));
        } else {
            QCOMPARE(box.title, QStringLiteral("Kavendru - Gerenciador"));
            QCOMPARE(box.icon, remote.isEmpty() ? QMessageBox::Warning : QMessageBox::Information);
        }
        QCOMPARE(bundleMarker(QDir(root).filePath("Kavendru/windows")), QByteArray("old"));
    }

private:
    std::unique_ptr<ConfigWindow> makeWindow()
    {
        return std::make_unique<ConfigWindow>(std::make_unique<FakeDeviceManager>(drives));
    }

    std::unique_ptr<HttpsServer> server;
    std::unique_ptr<QTemporaryDir> dir;
    QString root;
    std::shared_ptr<QList<UsbDevice>> drives;
};

KAVENDRU_UPDATE_TEST_MAIN(UpdateCheckTest)

#include "tst_updatecheck.moc"

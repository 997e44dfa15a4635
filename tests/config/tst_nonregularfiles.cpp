// A fifo where the drive should hold the transaction log, the journal or
// the update state file: the recovery, the log writer and the update check
// each come back with their usual answer instead of waiting for a writer or
// a reader that never comes. Each runs in a child of its own, so a fault
// that blocks it fails the test instead of hanging it.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QTest>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

using namespace ConfigTest;
using namespace UpdateTest;

namespace {

const QString kId = QStringLiteral("20240501123456");

// The child: one of the three on the drive, its outcome as JSON on stdout.
int runOnDrive(char* argv[])
{
    const QString operation = QString::fromLatin1(argv[2]);
    const QString usbRoot = QString::fromLocal8Bit(argv[3]);
    QJsonObject outcome;
    if (operation == QLatin1String("recover")) {
        QString message;
        QString error;
        outcome.insert("success", recoverInterruptedUpdate(usbRoot, &message, &error));
        outcome.insert("text", error.isEmpty() ? message : error);
    } else if (operation == QLatin1String("log")) {
        QString error;
        outcome.insert("success", appendUpdateTransactionLog(usbRoot, kId, QStringLiteral("staged"),
                                                             QStringLiteral("Pacote validado e pronto para promoção."),
                                                             &error));
        outcome.insert("text", error);
    } else {
        if (!trustCertificateAuthority(QString::fromLocal8Bit(argv[5])))
            return 3;
        const UpdateCheckResult result = checkForUpdate(usbRoot, QUrl(QString::fromLocal8Bit(argv[4])));
        outcome.insert("success", result.success);
        outcome.insert("text", result.installedVersion);
        // What the window asks before it starts the check.
        outcome.insert("pending", pendingUpdateOnDrive(usbRoot));
    }
    std::fputs(QJsonDocument(outcome).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}

} // namespace

class NonRegularFilesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        server = std::make_unique<HttpsServer>();
        QVERIFY2(server->isRunning(), qPrintable(server->failure()));
        const QJsonObject manifest{{"schemaVersion", 1},
                                   {"app", "Kavendru"},
                                   {"version", "1.0.6"},
                                   {"packageUrl", "https://pacotes.example/k.zip"},
                                   {"sha256", QString(64, QLatin1Char('a'))}};
        QVERIFY(KavendruTest::writeWholeFile(QDir(server->folder()).filePath("manifest.json"),
                                             QJsonDocument(manifest).toJson()));
    }

    void fifoOnTheDrive_data()
    {
        QTest::addColumn<QString>("place");
        // Held open by another process: opening it no longer waits, but
        // reading it would, for data that never comes.
        QTest::addColumn<bool>("heldOpen");
        QTest::addColumn<QString>("installed"); // as the check reads it
        QTest::addColumn<bool>("logWritten");
        QTest::addColumn<bool>("recovered");
        QTest::addColumn<QString>("recoveryText");

        const QString rolledBack = QStringLiteral("Uma atualização interrompida foi revertida com segurança; os "
                                                  "arquivos de diagnóstico foram preservados.");
        const QString unreadable = QStringLiteral("Não foi possível ler o journal de atualização pendente.");
        for (const bool held : {false, true}) {
            const char* suffix = held ? ", held open" : "";
            QTest::addRow("log%s", suffix) << "log" << held << "1.0.5" << false << true << rolledBack;
            QTest::addRow("journal%s", suffix) << "journal" << held << "1.0.5" << true << false << unreadable;
            QTest::addRow("state file%s", suffix) << "state" << held << "" << true << true << rolledBack;
        }
    }

    void fifoOnTheDrive()
    {
        QFETCH(QString, place);
        QFETCH(bool, heldOpen);
        QFETCH(QString, installed);
        QFETCH(bool, logWritten);
        QFETCH(bool, recovered);
        QFETCH(QString, recoveryText);

        // An update stopped after its Windows promotion.
        const auto dir = KavendruTest::makeTempDir();
        const QString root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(makePreparedDrive(root, "old", QStringLiteral("1.0.5")));
        const QDir product(productOf(root));
        QVERIFY(QDir().rename(product.filePath("windows"), product.filePath("windows.backup-" + kId)));
        QVERIFY(QDir().mkpath(product.filePath("windows")));
        QVERIFY(KavendruTest::writeWholeFile(product.filePath("windows/marker.txt"), "new"));
        const QJsonObject journal{{"schemaVersion", 1},
                                  {"app", "Kavendru"},
                                  {"id", kId},
                                  {"startedAt", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                                  {"phase", "windows-promoted"},
                                  {"version", "1.0.6"},
                                  {"windowsPath", product.filePath("windows")},
                                  {"linuxPath", product.filePath("linux")},
                                  {"windowsBackup", product.filePath("windows.backup-" + kId)},
                                  {"linuxBackup", product.filePath("linux.backup-" + kId)}};
        QVERIFY(writeUpdateJournal(root, journal, nullptr));

        const QString logPath = product.filePath(QStringLiteral("update-log-%1.jsonl").arg(kId));
        QString fifo = logPath;
        if (place == QLatin1String("journal"))
            fifo = updateJournalPath(root);
        if (place == QLatin1String("state"))
            fifo = updateStatePath(root);
        QFile::remove(fifo);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        QProcess holder;
        if (heldOpen) {
            holder.start(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exec 3<>\"$0\"; exec sleep 60"),
                                                fifo});
            QVERIFY(holder.waitForStarted());
            QTRY_VERIFY(QFileInfo::exists(QStringLiteral("/proc/%1/fd/3").arg(holder.processId())));
        }

        const QJsonObject check = runChild("check", root);
        QVERIFY(check.value("success").toBool());
        QCOMPARE(check.value("text").toString(), installed);
        QVERIFY(check.value("pending").toBool());

        const QJsonObject log = runChild("log", root);
        QCOMPARE(log.value("success").toBool(), logWritten);
        QCOMPARE(log.value("text").toString(),
                 logWritten ? QString() : QStringLiteral("Não foi possível registrar o log da transação: %1").arg(logPath));
        if (logWritten)
            QCOMPARE(logPhases(logPath), QStringList({QStringLiteral("staged")}));

        const QJsonObject recovery = runChild("recover", root);
        QCOMPARE(recovery.value("success").toBool(), recovered);
        QCOMPARE(recovery.value("text").toString(), recoveryText);
        QCOMPARE(bundleMarker(product.filePath("windows")), QByteArray(recovered ? "old" : "new"));

        // Whatever waited on it is still there, a fifo as planted.
        struct stat info;
        QCOMPARE(::lstat(QFile::encodeName(fifo).constData(), &info), 0);
        QVERIFY(S_ISFIFO(info.st_mode));
        if (heldOpen) {
            holder.kill();
            holder.waitForFinished();
        }
    }

private:
    // The child's outcome; an empty object, and a failure, when it did not
    // come back.
    QJsonObject runChild(const char* operation, const QString& usbRoot)
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--on-drive"), QString::fromLatin1(operation), usbRoot,
                     server->url(QStringLiteral("manifest.json")).toString(), server->caPath()});
        if (!child.waitForStarted()) {
            qWarning("%s: not started", operation);
            return {};
        }
        // Far above what any of them takes; only a wait that never ends
        // reaches it.
        if (!child.waitForFinished(30000)) {
            child.kill();
            child.waitForFinished();
            qWarning("%s: still waiting after 30 s", operation);
            return {};
        }
        return QJsonDocument::fromJson(child.readAllStandardOutput()).object();
    }

    std::unique_ptr<HttpsServer> server;
};

int main(int argc, char* argv[])
{
    if (argc == 6 && std::strcmp(argv[1], "--on-drive") == 0) {
        QApplication app(argc, argv);
        applyApplicationIdentity();
        return runOnDrive(argv);
    }
    KAVENDRU_UPDATE_TEST_RUN(NonRegularFilesTest)
}

#include "tst_nonregularfiles.moc"

// An update killed at chosen moments, then recovered: whatever moment the
// kill hit, the drive ends with both bundles and the state file all old or
// all new, and no backup is left once the recovery is done.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QElapsedTimer>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>

using namespace ConfigTest;
using namespace UpdateTest;

namespace {

// The number of lines in the drive's transaction log, 0 while it has none.
int logLineCount(const QString& usbRoot)
{
    const QStringList logs = QDir(productOf(usbRoot)).entryList({QStringLiteral("update-log-*.jsonl")}, QDir::Files);
    if (logs.isEmpty())
        return 0;
    return int(KavendruTest::readWholeFile(QDir(productOf(usbRoot)).filePath(logs.first())).count('\n'));
}

// The child: one update of the drive, as the tool's update task runs it.
int applyInChild(char* argv[])
{
    const QString usbRoot = QString::fromLocal8Bit(argv[2]);
    if (!trustCertificateAuthority(QString::fromLocal8Bit(argv[6])))
        return 3;
    UpdateManifest manifest;
    manifest.version = QStringLiteral("1.0.6");
    manifest.packageUrl = QString::fromLocal8Bit(argv[3]);
    manifest.sha256 = QString::fromLatin1(argv[4]);
    manifest.size = QByteArray(argv[5]).toLongLong();
    const UpdateApplyResult result = applyUpdatePackage(usbRoot, manifest);
    std::fprintf(stderr, "%s\n", qPrintable(result.error));
    return result.success ? 0 : 1;
}

} // namespace

class UpdateKillTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        server = std::make_unique<HttpsServer>();
        QVERIFY2(server->isRunning(), qPrintable(server->failure()));
        // Big enough that the bundles' files take a while to move and sync.
        QList<ZipEntry> entries = packageEntries("new");
        for (int i = 0; i < 40; ++i) {
            entries.append({QStringLiteral("Kavendru/windows/data/%1.bin").arg(i), "new", false});
            entries.append({QStringLiteral("Kavendru/linux/lib/data-%1.so").arg(i), "new", false});
        }
        const QString path = QDir(server->folder()).filePath(QStringLiteral("package.zip"));
        QString error;
        QVERIFY2(writeZip(path, entries, &error), qPrintable(error));
        package = KavendruTest::readWholeFile(path);
    }

    void killedThenRecovered_data()
    {
        QTest::addColumn<int>("afterLines");
        const char* const events[] = {"staged", "promoting-windows", "windows-promoted", "promoting-linux",
                                      "bundles-promoted", "state-written", "completed"};
        for (int lines = 1; lines <= 7; ++lines)
            QTest::addRow("after %s", events[lines - 1]) << lines;
    }

    void killedThenRecovered()
    {
        QFETCH(int, afterLines);
        const auto dir = KavendruTest::makeTempDir();
        const QString root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(makePreparedDrive(root, "old", QStringLiteral("1.0.5")));

        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--apply"), root, server->url(QStringLiteral("package.zip")).toString(),
                     QString::fromLatin1(sha256Hex(package)), QString::number(package.size()), server->caPath()});
        QVERIFY(child.waitForStarted());
        QElapsedTimer clock;
        clock.start();
        int seen = 0;
        while (child.state() == QProcess::Running && clock.elapsed() < 60000) {
            seen = logLineCount(root);
            if (seen >= afterLines) {
                ::kill(pid_t(child.processId()), SIGKILL);
                break;
            }
        }
        QVERIFY(child.waitForFinished(30000));
        QVERIFY2(seen >= afterLines || child.exitCode() == 0, "the update ended before the moment chosen");

        QString message;
        QString error;
        QVERIFY2(recoverInterruptedUpdate(root, &message, &error), qPrintable(error));
        // A second run of the tool finds nothing more to do.
        QVERIFY2(recoverInterruptedUpdate(root, &message, &error), qPrintable(error));

        const QByteArray windows = bundleMarker(QDir(productOf(root)).filePath(QStringLiteral("windows")));
        const QByteArray linux = bundleMarker(QDir(productOf(root)).filePath(QStringLiteral("linux")));
        QCOMPARE(windows, linux);
        QVERIFY2(windows == "old" || windows == "new", windows.constData());
        QCOMPARE(installedBundleVersion(root), QString::fromLatin1(windows == "new" ? "1.0.6" : "1.0.5"));
        if (windows == "new") {
            const QJsonObject state =
                QJsonDocument::fromJson(KavendruTest::readWholeFile(updateStatePath(root))).object();
            QCOMPARE(state.value(QStringLiteral("lastPackageSha256")).toString(),
                     QString::fromLatin1(sha256Hex(package)));
            QVERIFY(!QFileInfo::exists(updateJournalPath(root)));
        } else if (QFileInfo::exists(updateJournalPath(root))) {
            const QJsonObject journal =
                QJsonDocument::fromJson(KavendruTest::readWholeFile(updateJournalPath(root))).object();
            QCOMPARE(journal.value(QStringLiteral("phase")).toString(), QStringLiteral("rolled-back"));
        }
        QCOMPARE(QDir(productOf(root)).entryList({QStringLiteral("*.backup-*")}, QDir::AllEntries), QStringList());
        // The old bundles come back whole, the new ones arrive whole.
        QCOMPARE(treeOf(QDir(productOf(root)).filePath(QStringLiteral("windows"))).size(), windows == "new" ? 45 : 4);
    }

private:
    std::unique_ptr<HttpsServer> server;
    QByteArray package;
};

int main(int argc, char* argv[])
{
    if (argc == 7 && std::strcmp(argv[1], "--apply") == 0) {
        QApplication app(argc, argv);
        applyApplicationIdentity();
        return applyInChild(argv);
    }
    KavendruTest::enterPrivateMountNamespace();
    UpdateTest::enterPrivatePidNamespace();
    ConfigTest::PrivateEnvironment environment;
    QApplication app(argc, argv);
    applyApplicationIdentity();
    UpdateKillTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_updatekill.moc"

// An update killed at chosen moments, then recovered: whatever moment the
// kill hit, the drive ends with both bundles and the state file all old or
// all new, and no backup is left once the recovery is done. On an exFAT
// stick the stick is pulled at that moment too. And the system calls of an
// update and of a recovery: the drive is synced between every change to
// the bundles or the state file and the journal write after it.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>

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

// The child: the recovery the tool runs when the drive list is filled.
int recoverInChild(char* argv[])
{
    QString message;
    QString error;
    const bool recovered = recoverInterruptedUpdate(QString::fromLocal8Bit(argv[2]), &message, &error);
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return recovered ? 0 : 1;
}

// One system call of a trace that strace wrote with -f -y: its name, the
// paths it names (a descriptor as the path strace gives for it, joined
// with a path relative to it) and whether it succeeded.
struct SystemCall {
    QString name;
    QStringList paths;
    bool succeeded = false;
};

QList<SystemCall> systemCalls(const QString& tracePath)
{
    static const QRegularExpression call(QStringLiteral("^\\d+\\s+(\\w+)\\((.*)\\)\\s+=\\s+(-?\\d+)"));
    static const QRegularExpression argument(QStringLiteral("(\\d+<([^>]*)>)|\"((?:[^\"\\\\]|\\\\.)*)\""));
    static const QRegularExpression unfinished(QStringLiteral("^(\\d+)\\s+(.*)<unfinished \\.\\.\\.>$"));
    static const QRegularExpression resumed(QStringLiteral("^(\\d+)\\s+<\\.\\.\\. \\w+ resumed>(.*)$"));
    QHash<QString, QString> started;
    QList<SystemCall> calls;
    for (const QByteArray& raw : KavendruTest::readWholeFile(tracePath).split('\n')) {
        QString line = QString::fromLocal8Bit(raw);
        const QRegularExpressionMatch begun = unfinished.match(line);
        if (begun.hasMatch()) {
            started.insert(begun.captured(1), begun.captured(2));
            continue;
        }
        const QRegularExpressionMatch rest = resumed.match(line);
        if (rest.hasMatch())
            line = rest.captured(1) + QLatin1Char(' ') + started.take(rest.captured(1)) + rest.captured(2);
        const QRegularExpressionMatch match = call.match(line);
        if (!match.hasMatch())
            continue;
        SystemCall entry;
        entry.name = match.captured(1);
        entry.succeeded = match.captured(3) == QLatin1String("0");
        QString base;
        QRegularExpressionMatchIterator it = argument.globalMatch(match.captured(2));
        while (it.hasNext()) {
            const QRegularExpressionMatch part = it.next();
            if (!part.captured(2).isEmpty()) {
                base = part.captured(2);
                if (entry.name.contains(QLatin1String("sync")))
                    entry.paths.append(base);
                continue;
            }
            const QString path = part.captured(3);
            entry.paths.append(path.startsWith(QLatin1Char('/')) || base.isEmpty() ? path : base + QLatin1Char('/') + path);
            base.clear();
        }
        calls.append(entry);
    }
    return calls;
}

// Runs the test program under strace with the arguments; its trace.
QList<SystemCall> tracedRun(const QString& tracePath, const QStringList& arguments, QString* failure)
{
    QProcess strace;
    strace.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A sanitizer build's leak check cannot run under ptrace.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString sanitizer = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       sanitizer.isEmpty() ? QStringLiteral("detect_leaks=0") : sanitizer + QStringLiteral(":detect_leaks=0"));
    strace.setProcessEnvironment(environment);
    strace.start(QStringLiteral("strace"),
                 QStringList{QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-qq"), QStringLiteral("-o"),
                             tracePath, QStringLiteral("-e"),
                             QStringLiteral("trace=rename,renameat,renameat2,link,linkat,unlink,unlinkat,rmdir,"
                                            "sync,syncfs,fsync,fdatasync,sync_file_range"),
                             QCoreApplication::applicationFilePath()}
                     + arguments);
    if (!strace.waitForFinished(180000) || strace.exitStatus() != QProcess::NormalExit || strace.exitCode() != 0) {
        strace.kill();
        strace.waitForFinished();
        *failure = QStringLiteral("the traced run failed");
        return {};
    }
    return systemCalls(tracePath);
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
        QTest::addColumn<bool>("exfat");
        const char* const events[] = {"staged", "promoting-windows", "windows-promoted", "promoting-linux",
                                      "bundles-promoted", "state-written", "completed"};
        for (const bool exfat : {false, true}) {
            for (int lines = 1; lines <= 7; ++lines)
                QTest::addRow("after %s%s", events[lines - 1], exfat ? ", exFAT stick pulled" : "") << lines << exfat;
        }
    }

    void killedThenRecovered()
    {
        QFETCH(int, afterLines);
        QFETCH(bool, exfat);
        const auto dir = KavendruTest::makeTempDir();
        QString root = dir->filePath(QStringLiteral("PENDRIVE"));
        std::unique_ptr<ExfatStick> stick;
        if (exfat) {
            stick = std::make_unique<ExfatStick>(dir->path(), 64 << 20);
            if (!stick->unavailable().isEmpty())
                QSKIP(qPrintable(stick->unavailable()));
            root = stick->path();
        }
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
        // Whatever the stick's file system had not written yet is lost.
        if (stick)
            QVERIFY(stick->pull());
        QVERIFY(child.waitForFinished(30000));
        QVERIFY2(seen >= afterLines || child.exitCode() == 0, "the update ended before the moment chosen");
        if (stick)
            QVERIFY2(stick->plugIn(), qPrintable(stick->unavailable()));

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

    // FAT and exFAT do not keep their metadata writes in order: whatever
    // the journal records must be on the device before the journal is.
    // Between any change to the bundle folders or the state file and the
    // next journal write or removal, the drive is synced.
    void driveSyncedBeforeEachJournalWrite_data()
    {
        QTest::addColumn<QString>("run");
        QTest::addColumn<int>("journalChanges");
        QTest::newRow("update") << "update" << 7;
        QTest::newRow("recovery that rolls back") << "rollback" << 1;
        QTest::newRow("recovery that finishes") << "finish" << 1;
    }

    void driveSyncedBeforeEachJournalWrite()
    {
        QFETCH(QString, run);
        QFETCH(int, journalChanges);
        if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
            QSKIP("needs strace");
        const auto dir = KavendruTest::makeTempDir();
        const QString root = dir->filePath(QStringLiteral("PENDRIVE"));
        const QString product = productOf(root);
        QVERIFY(makePreparedDrive(root, "old", QStringLiteral("1.0.5")));
        QStringList arguments;
        if (run == QLatin1String("update")) {
            arguments = QStringList{QStringLiteral("--apply"), root, server->url(QStringLiteral("package.zip")).toString(),
                                    QString::fromLatin1(sha256Hex(package)), QString::number(package.size()),
                                    server->caPath()};
        } else {
            // An update stopped with both bundles promoted, the state file
            // old or new.
            const QString id = QStringLiteral("20240501123456");
            for (const char* bundle : {"windows", "linux"}) {
                const QString folder = QDir(product).filePath(QLatin1String(bundle));
                QVERIFY(QDir().rename(folder, folder + ".backup-" + id));
                QVERIFY(QDir().mkpath(folder));
                QVERIFY(KavendruTest::writeWholeFile(QDir(folder).filePath("marker.txt"), "new"));
            }
            const bool finish = run == QLatin1String("finish");
            QString error;
            QVERIFY(writeUpdateState(root, finish ? "1.0.6" : "1.0.5", QString(), &error));
            const QDir folder(product);
            QVERIFY(writeUpdateJournal(root,
                                       QJsonObject{{"id", id},
                                                   {"phase", finish ? "state-written" : "bundles-promoted"},
                                                   {"version", "1.0.6"},
                                                   {"windowsPath", folder.filePath("windows")},
                                                   {"linuxPath", folder.filePath("linux")},
                                                   {"windowsBackup", folder.filePath("windows.backup-" + id)},
                                                   {"linuxBackup", folder.filePath("linux.backup-" + id)}},
                                       nullptr));
            arguments = QStringList{QStringLiteral("--recover"), root};
        }

        QString failure;
        const QList<SystemCall> calls = tracedRun(dir->filePath(QStringLiteral("trace.txt")), arguments, &failure);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const QString journal = updateJournalPath(root);
        const auto onTheDrive = [&root](const QString& path) { return path.startsWith(root + QLatin1Char('/')); };
        QString unsynced; // the last change the device may not hold yet
        int changes = 0;
        int journalSeen = 0;
        for (const SystemCall& call : calls) {
            if (!call.succeeded)
                continue;
            if (call.name == QLatin1String("syncfs")) {
                if (!call.paths.isEmpty() && (onTheDrive(call.paths.first()) || call.paths.first() == root))
                    unsynced.clear();
                continue;
            }
            // A save file that replaces nothing is linked in under its name.
            const bool renames = call.name.startsWith(QLatin1String("rename")) || call.name.startsWith(QLatin1String("link"));
            const bool removes = call.name.startsWith(QLatin1String("unlink")) || call.name == QLatin1String("rmdir");
            if (!renames && !removes)
                continue;
            const QString target = renames ? call.paths.value(1) : call.paths.value(0);
            if (target == journal) {
                ++journalSeen;
                QVERIFY2(unsynced.isEmpty(),
                         qPrintable(QStringLiteral("the journal changed before the device held: ") + unsynced));
                continue;
            }
            // The journal's own save file is part of its write.
            const bool journalSaveFile = std::any_of(call.paths.cbegin(), call.paths.cend(), [&journal](const QString& path) {
                return path.startsWith(journal + QLatin1Char('.'));
            });
            if (std::any_of(call.paths.cbegin(), call.paths.cend(), onTheDrive) && !journalSaveFile) {
                unsynced = call.name + QLatin1Char(' ') + call.paths.join(QLatin1String(" -> "));
                ++changes;
            }
        }
        QCOMPARE(journalSeen, journalChanges);
        QVERIFY(changes >= 2);
        QCOMPARE(bundleMarker(QDir(product).filePath(QStringLiteral("linux"))),
                 QByteArray(run == QLatin1String("rollback") ? "old" : "new"));
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
    if (argc == 3 && std::strcmp(argv[1], "--recover") == 0) {
        QApplication app(argc, argv);
        applyApplicationIdentity();
        return recoverInChild(argv);
    }
    KAVENDRU_UPDATE_TEST_RUN(UpdateKillTest)
}

#include "tst_updatekill.moc"

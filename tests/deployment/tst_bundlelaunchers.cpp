// The launchers and the README: their exact bytes, and the Linux launcher
// run for real by dash against a stand-in program.
#include "deployment/PortableBundleManager.h"

#include "DeploymentTestSupport.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Kavendru::Deployment;
using namespace DeploymentTest;

namespace {

// Writes what it was started with, one item a line, and ends with
// $STAND_IN_EXIT.
const QByteArray kStandIn = "#!/bin/sh\n"
                            "{\n"
                            "    printf 'cwd=%s\\n' \"$(pwd)\"\n"
                            "    printf 'LD_LIBRARY_PATH=%s\\n' \"${LD_LIBRARY_PATH-<unset>}\"\n"
                            "    printf 'QT_PLUGIN_PATH=%s\\n' \"${QT_PLUGIN_PATH-<unset>}\"\n"
                            "    for argument in \"$@\"; do printf 'arg=%s\\n' \"$argument\"; done\n"
                            "} > \"$STAND_IN_REPORT\"\n"
                            "exit \"${STAND_IN_EXIT:-0}\"\n";

const QByteArray kRecorder = "#!/bin/sh\n"
                             "for argument in \"$@\"; do printf '%s\\n' \"$argument\"; done > \"$DIALOG_REPORT\"\n";

struct LauncherRun {
    int exitCode = -1;
    QByteArray standardError;
};

} // namespace

class BundleLaunchersTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        dash = QStandardPaths::findExecutable(QStringLiteral("dash"));
        if (dash.isEmpty())
            QSKIP("dash is not installed");
    }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        drive = dir->filePath(QStringLiteral("Pen Drive da Ana"));
        bundle = drive + QStringLiteral("/Kavendru/linux");
        QVERIFY(QDir().mkpath(bundle));
        launcher = drive + QStringLiteral("/Kavendru-Linux.sh");
        const PortableBundleManager manager;
        PortableBundleResult result;
        QVERIFY(manager.writeTextFile(launcher, PortableBundleManager::linuxLauncherText(), &result));

        // Only what the launcher needs besides shell built-ins, so no real
        // zenity or xmessage of this machine is found.
        tools = dir->filePath(QStringLiteral("tools"));
        QVERIFY(QDir().mkpath(tools));
        for (const char* tool : {"dirname", "chmod"}) {
            const QString real = QStandardPaths::findExecutable(QString::fromLatin1(tool));
            QVERIFY(!real.isEmpty());
            QVERIFY(QFile::link(real, QDir(tools).filePath(QString::fromLatin1(tool))));
        }
    }

    void textsAreExact_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("characters");
        QTest::addColumn<int>("bytes");
        QTest::newRow("windows launcher") << "Kavendru-Windows.bat" << PortableBundleManager::windowsLauncherText() << 14
                                          << 796 << 807;
        QTest::newRow("linux launcher") << "Kavendru-Linux.sh" << PortableBundleManager::linuxLauncherText() << 33
                                        << 911 << 911;
        QTest::newRow("readme") << "README.txt" << PortableBundleManager::readmeText() << 14 << 711 << 736;
    }

    void textsAreExact()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(int, lines);
        QFETCH(int, characters);
        QFETCH(int, bytes);
        const QByteArray expected = KavendruTest::readWholeFile(fixturePath(name));
        QCOMPARE(expected.size(), qsizetype(bytes));
        QCOMPARE(text.toUtf8(), expected);
        QCOMPARE(text.size(), qsizetype(characters));
        const QString lineEnd = name.endsWith(QLatin1String(".bat")) ? QStringLiteral("\r\n") : QStringLiteral("\n");
        QCOMPARE(text.count(lineEnd), qsizetype(lines));
        QVERIFY(text.endsWith(lineEnd));
        QCOMPARE(text.count(QLatin1Char('\n')), qsizetype(lines));
    }

    void runsTheProgram_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("libraryPath");   // "<unset>" leaves it out
        QTest::addColumn<QString>("pluginPath");
        QTest::addColumn<QString>("expectedLibrary");
        QTest::addColumn<QString>("expectedPlugins");
        QTest::newRow("no variables")
            << QStringList() << "<unset>" << "<unset>" << "$B/lib" << "$B/plugins";
        QTest::newRow("empty variables")
            << QStringList{QString()} << "" << "" << "$B/lib" << "$B/plugins";
        QTest::newRow("variables kept behind")
            << QStringList{QStringLiteral("um argumento"), QStringLiteral("--x=\"y\""), QStringLiteral("$HOME")}
            << "/opt/a:/opt/b" << "/opt/plugins" << "$B/lib:/opt/a:/opt/b" << "$B/plugins:/opt/plugins";
    }

    void runsTheProgram()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, libraryPath);
        QFETCH(QString, pluginPath);
        QFETCH(QString, expectedLibrary);
        QFETCH(QString, expectedPlugins);
        QVERIFY(makeScript(bundle + QStringLiteral("/Kavendru"), kStandIn));
        QProcessEnvironment environment = baseEnvironment();
        if (libraryPath != QLatin1String("<unset>"))
            environment.insert(QStringLiteral("LD_LIBRARY_PATH"), libraryPath);
        if (pluginPath != QLatin1String("<unset>"))
            environment.insert(QStringLiteral("QT_PLUGIN_PATH"), pluginPath);

        const LauncherRun run = runLauncher(environment, arguments);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.standardError, QByteArray());
        QStringList expected{QStringLiteral("cwd=") + bundle,
                             QStringLiteral("LD_LIBRARY_PATH=") + QString(expectedLibrary).replace("$B", bundle),
                             QStringLiteral("QT_PLUGIN_PATH=") + QString(expectedPlugins).replace("$B", bundle)};
        for (const QString& argument : arguments)
            expected.append(QStringLiteral("arg=") + argument);
        QCOMPARE(report(), expected);
    }

    void makesTheProgramExecutable()
    {
        const QString program = bundle + QStringLiteral("/Kavendru");
        QVERIFY(makeFile(program, kStandIn));
        QVERIFY(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const LauncherRun run = runLauncher(baseEnvironment(), {});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(QFile::permissions(program) & QFileDevice::ExeOwner);
        QCOMPARE(report().value(0), QStringLiteral("cwd=") + bundle);
    }

    void reportsFailures_data()
    {
        QTest::addColumn<QString>("dialog"); // "", "zenity" or "xmessage"
        QTest::addColumn<bool>("programPresent");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("exit code, standard error") << "" << true << 3;
        QTest::newRow("exit code, zenity") << "zenity" << true << 42;
        QTest::newRow("exit code, xmessage") << "xmessage" << true << 1;
        QTest::newRow("missing program, standard error") << "" << false << 1;
        QTest::newRow("missing program, zenity") << "zenity" << false << 1;
        QTest::newRow("missing program, xmessage") << "xmessage" << false << 1;
    }

    void reportsFailures()
    {
        QFETCH(QString, dialog);
        QFETCH(bool, programPresent);
        QFETCH(int, exitCode);
        QProcessEnvironment environment = baseEnvironment();
        if (programPresent) {
            QVERIFY(makeScript(bundle + QStringLiteral("/Kavendru"), kStandIn));
            environment.insert(QStringLiteral("STAND_IN_EXIT"), QString::number(exitCode));
        }
        if (!dialog.isEmpty()) {
            const QString fakes = dir->filePath(QStringLiteral("fakes"));
            QVERIFY(makeScript(QDir(fakes).filePath(dialog), kRecorder));
            // Both present: zenity is preferred.
            if (dialog == QLatin1String("zenity"))
                QVERIFY(makeScript(QDir(fakes).filePath(QStringLiteral("xmessage")), "#!/bin/sh\nexit 9\n"));
            environment.insert(QStringLiteral("PATH"), fakes + QLatin1Char(':') + tools);
        }
        const QString message = programPresent
                                    ? QStringLiteral("Nao foi possivel iniciar o Kavendru. Codigo de saida: %1").arg(exitCode)
                                    : QStringLiteral("Executavel Linux nao encontrado em: %1/Kavendru").arg(bundle);

        const LauncherRun run = runLauncher(environment, {QStringLiteral("a")});
        QCOMPARE(run.exitCode, exitCode);
        QStringList dialogArguments;
        for (const QByteArray& line : KavendruTest::readWholeFile(dialogReport()).split('\n'))
            if (!line.isEmpty())
                dialogArguments.append(QString::fromUtf8(line));
        if (dialog.isEmpty()) {
            QCOMPARE(QString::fromUtf8(run.standardError), QStringLiteral("Kavendru: ") + message + QLatin1Char('\n'));
            QVERIFY(dialogArguments.isEmpty());
        } else if (dialog == QLatin1String("zenity")) {
            QCOMPARE(run.standardError, QByteArray());
            QCOMPARE(dialogArguments, QStringList({QStringLiteral("--error"), QStringLiteral("--title=Kavendru"),
                                                   QStringLiteral("--text=") + message}));
        } else {
            QCOMPARE(run.standardError, QByteArray());
            QCOMPARE(dialogArguments, QStringList({QStringLiteral("-center"), QStringLiteral("Kavendru: ") + message}));
        }
        if (programPresent)
            QCOMPARE(report(), QStringList({QStringLiteral("cwd=") + bundle,
                                            QStringLiteral("LD_LIBRARY_PATH=") + bundle + QStringLiteral("/lib"),
                                            QStringLiteral("QT_PLUGIN_PATH=") + bundle + QStringLiteral("/plugins"),
                                            QStringLiteral("arg=a")}));
        else
            QVERIFY(!QFile::exists(reportPath()));
    }

private:
    QProcessEnvironment baseEnvironment() const
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), tools);
        environment.insert(QStringLiteral("STAND_IN_REPORT"), reportPath());
        environment.insert(QStringLiteral("DIALOG_REPORT"), dialogReport());
        return environment;
    }

    // Started by its full path from an unrelated folder.
    LauncherRun runLauncher(const QProcessEnvironment& environment, const QStringList& arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir->path());
        process.start(dash, QStringList{launcher} + arguments);
        LauncherRun run;
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return run;
        run.exitCode = process.exitCode();
        run.standardError = process.readAllStandardError();
        return run;
    }

    QString reportPath() const { return dir->filePath(QStringLiteral("report.txt")); }
    QString dialogReport() const { return dir->filePath(QStringLiteral("dialog.txt")); }

    QStringList report() const
    {
        return QString::fromUtf8(KavendruTest::readWholeFile(reportPath())).split('\n', Qt::SkipEmptyParts);
    }

    std::unique_ptr<QTemporaryDir> dir;
    QString dash;
    QString drive;
    QString bundle;
    QString launcher;
    QString tools;
};

KAVENDRU_TEST_MAIN(BundleLaunchersTest)
#include "tst_bundlelaunchers.moc"

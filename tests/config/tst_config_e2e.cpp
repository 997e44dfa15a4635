// As a user would do it: the tool prepares a folder standing for a drive
// with the vault program this build made, then the drive's Linux launcher
// starts that program, which must come up with the Qt of the drive's
// bundle, not the system's.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "UpdateTestSupport.h"
#include "common/TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <csignal>
#include <sys/types.h>

using namespace ConfigTest;

namespace {

// The child of the launcher that runs the program, 0 while none does: the
// launcher's own short-lived helpers (its command substitutions) come first.
qint64 childRunning(qint64 pid, const QString& executable)
{
    const QByteArray children =
        KavendruTest::readWholeFile(QStringLiteral("/proc/%1/task/%1/children").arg(pid)).trimmed();
    for (const QByteArray& child : children.split(' ')) {
        const qint64 id = child.toLongLong();
        if (id > 0 && QFileInfo(QStringLiteral("/proc/%1/exe").arg(id)).symLinkTarget() == executable)
            return id;
    }
    return 0;
}

// The mapped files of a process whose names contain the text.
QStringList mappedFiles(qint64 pid, const QString& text)
{
    QStringList files;
    const QList<QByteArray> maps = KavendruTest::readWholeFile(QStringLiteral("/proc/%1/maps").arg(pid)).split('\n');
    for (const QByteArray& line : maps) {
        const int start = line.indexOf('/');
        if (start < 0)
            continue;
        const QString file = QFile::decodeName(line.mid(start));
        if (file.contains(text) && !files.contains(file))
            files.append(file);
    }
    return files;
}

} // namespace

class ConfigEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void preparedDriveStartsTheVaultProgram()
    {
        const auto dir = KavendruTest::makeTempDir();
        const QString root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(QDir().mkpath(root));
        auto drives = std::make_shared<QList<UsbDevice>>(QList<UsbDevice>{mountedDrive(root, QStringLiteral("PENDRIVE"))});
        ConfigWindow window(std::make_unique<FakeDeviceManager>(drives));
        QVERIFY(window.linuxSource.fromBuildTree);
        QCOMPARE(QFileInfo(window.linuxSource.executablePath).canonicalFilePath(),
                 QFileInfo(QDir(developerBuildDirectory()).filePath(QStringLiteral("bundles/linux-x64/Kavendru")))
                     .canonicalFilePath());
        QCOMPARE(lines(window.log->toPlainText()).value(1), QStringLiteral("Fonte Linux para preparação encontrada."));

        ModalDriver driver;
        driver.answerBox(QStringLiteral("Sim"));
        driver.answerBox(QStringLiteral("OK"));
        window.prepareButton->click();
        QCOMPARE(driver.boxes().size(), 2);
        QCOMPARE(driver.boxes().at(1).text, QStringLiteral("USB preparado com estrutura portatil Kavendru."));
        QCOMPARE(installedBundleVersion(root), QStringLiteral("1.0.5"));

        QProcess launcher;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"LD_LIBRARY_PATH", "QT_PLUGIN_PATH", "DISPLAY", "WAYLAND_DISPLAY"})
            environment.remove(QLatin1String(name));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        launcher.setProcessEnvironment(environment);
        launcher.setWorkingDirectory(dir->path());
        launcher.start(QDir(root).filePath(QStringLiteral("Kavendru-Linux.sh")), {});
        QVERIFY2(launcher.waitForStarted(30000), qPrintable(launcher.errorString()));

        // The program is up once the drive's platform plug-in is loaded:
        // its application object exists.
        const QString bundle = QDir(QFileInfo(root).canonicalFilePath()).filePath(QStringLiteral("Kavendru/linux"));
        qint64 program = 0;
        QStringList core;
        QStringList platform;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 60000 && launcher.state() == QProcess::Running) {
            if (!program)
                program = childRunning(launcher.processId(), QDir(bundle).filePath(QStringLiteral("Kavendru")));
            if (program) {
                core = mappedFiles(program, QStringLiteral("libQt6Core.so"));
                platform = mappedFiles(program, QStringLiteral("libqoffscreen.so"));
                if (!core.isEmpty() && !platform.isEmpty())
                    break;
            }
            QTest::qWait(50);
        }
        const QString exe = program ? QFileInfo(QStringLiteral("/proc/%1/exe").arg(program)).symLinkTarget() : QString();
        if (program)
            ::kill(pid_t(program), SIGKILL);
        launcher.waitForFinished(30000);

        QVERIFY2(program, qPrintable(QString::fromLocal8Bit(launcher.readAllStandardError())));
        QCOMPARE(exe, QDir(bundle).filePath(QStringLiteral("Kavendru")));
        QVERIFY2(!platform.isEmpty(), "the vault program did not come up");
        QCOMPARE(core, QStringList({QDir(bundle).filePath(QStringLiteral("lib/libQt6Core.so.6"))}));
        QCOMPARE(platform, QStringList({QDir(bundle).filePath(QStringLiteral("plugins/platforms/libqoffscreen.so"))}));
    }
};

KAVENDRU_UPDATE_TEST_MAIN(ConfigEndToEndTest)

#include "tst_config_e2e.moc"

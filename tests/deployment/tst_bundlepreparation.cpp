// Drive preparation from end to end: steps, layout, the ready-made and the
// assembled bundles, repeated runs, and refusals.
#include "deployment/PortableBundleManager.h"

#include "DeploymentTestSupport.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace Kavendru::Deployment;
using namespace DeploymentTest;

namespace {

struct Step {
    int step;
    int total;
    QString label;
    bool operator==(const Step& other) const
    {
        return step == other.step && total == other.total && label == other.label;
    }
};

char* toString(const Step& step)
{
    return qstrdup(qPrintable(QStringLiteral("(%1, %2, %3)").arg(step.step).arg(step.total).arg(step.label)));
}

const QList<Step> kAllSteps{{0, 7, QStringLiteral("Validando unidade USB...")},
                            {1, 7, QStringLiteral("Criando estrutura de pastas...")},
                            {2, 7, QStringLiteral("Copiando bundle Windows...")},
                            {3, 7, QStringLiteral("Copiando bundle Linux...")},
                            {5, 7, QStringLiteral("Criando inicializador Windows...")},
                            {6, 7, QStringLiteral("Criando arquivos auxiliares...")},
                            {7, 7, QStringLiteral("Preparacao concluida.")}};

QSet<QString> asSet(const QStringList& list)
{
    return QSet<QString>(list.cbegin(), list.cend());
}

QHash<QString, quint64> inodesBelow(const QString& root)
{
    QHash<QString, quint64> inodes;
    for (const QString& entry : tree(root))
        inodes.insert(entry, inodeOf(QDir(root).filePath(entry)));
    return inodes;
}

// The libssl file names the system's library cache offers for x86-64.
QSet<QString> systemLibsslNames()
{
    QProcess ldconfig;
    ldconfig.start(QStringLiteral("/sbin/ldconfig"), {QStringLiteral("-p")});
    if (!ldconfig.waitForFinished(60000))
        return {};
    QSet<QString> names;
    const QRegularExpression entry(QStringLiteral("^\\s+(libssl\\.so\\.[0-9]\\S*)\\s+\\(([^)]*)\\)\\s+=>\\s+(\\S+)"));
    for (const QString& line : QString::fromLocal8Bit(ldconfig.readAllStandardOutput()).split('\n')) {
        const QRegularExpressionMatch match = entry.match(line);
        if (match.hasMatch() && match.captured(2).contains(QLatin1String("x86-64"))
            && QFileInfo(match.captured(3)).isFile())
            names.insert(QFileInfo(match.captured(3)).fileName());
    }
    return names;
}

} // namespace

class BundlePreparationTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        root = dir->filePath(QStringLiteral("USB Ana"));
        QVERIFY(QDir().mkpath(root));
        steps.clear();
    }

    void invalidRoot_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("a file") << "file";
        QTest::newRow("empty") << "empty";
    }

    void invalidRoot()
    {
        QFETCH(QString, kind);
        QString usbRoot = dir->filePath(QStringLiteral("sumiu"));
        if (kind == QLatin1String("file")) {
            usbRoot = dir->filePath(QStringLiteral("arquivo"));
            QVERIFY(makeFile(usbRoot, "x"));
        } else if (kind == QLatin1String("empty")) {
            usbRoot.clear();
        }
        // An empty root must not become the current folder.
        const QString cwd = dir->filePath(QStringLiteral("cwd"));
        QVERIFY(QDir().mkpath(cwd));
        const QString former = QDir::currentPath();
        QVERIFY(QDir::setCurrent(cwd));
        const PortableBundleResult result = manager().preparePortableBundle(usbRoot, windowsOnly(), recorder());
        QVERIFY(QDir::setCurrent(former));

        QVERIFY(!result.success);
        QCOMPARE(result.message, QStringLiteral("Unidade USB invalida."));
        QVERIFY(result.writtenPaths.isEmpty());
        QCOMPARE(steps, kAllSteps.mid(0, 1));
        QVERIFY(namesIn(cwd).isEmpty());
        QVERIFY(namesIn(root).isEmpty());
    }

    void nothingToDeploy()
    {
        const PortableBundleResult result = manager().preparePortableBundle(root, PortableBundleOptions(), recorder());
        QVERIFY(!result.success);
        QCOMPARE(result.message, QStringLiteral("Nenhum bundle valido foi encontrado para preparar a unidade USB."));
        QCOMPARE(steps, kAllSteps.mid(0, 2));
        const QString product = QDir(root).filePath(QStringLiteral("Kavendru"));
        QCOMPARE(result.writtenPaths, QStringList({product, product + QStringLiteral("/windows"),
                                                   product + QStringLiteral("/linux")}));
        QCOMPARE(tree(root), QStringList({"Kavendru/", "Kavendru/linux/", "Kavendru/windows/"}));
    }

    void windowsBundles_data()
    {
        QTest::addColumn<QStringList>("runtimeFiles");
        QTest::addColumn<QString>("executableName");
        QTest::addColumn<QStringList>("expectedBundle");
        const QStringList assembledFrom{"Qt6Core.dll", "platforms/qwindows.dll", "vcruntime140.dll",
                                        "vcruntime140_1.dll", "Extra.DLL", "leia.txt", ".oculta.dll"};
        QTest::newRow("lacks only msvcp140.dll: assembled")
            << assembledFrom << "kavendru-win64.exe"
            << QStringList({"Extra.DLL", "Kavendru.exe", "Qt6Core.dll", "vcruntime140.dll", "vcruntime140_1.dll"});
        QTest::newRow("complete: copied whole")
            << (assembledFrom + QStringList{"msvcp140.dll", "styles/qmodernwindowsstyle.dll"}) << "kavendru-win64.exe"
            << QStringList({"Extra.DLL", "Qt6Core.dll", "kavendru-win64.exe", "leia.txt", "msvcp140.dll",
                            "platforms/", "platforms/qwindows.dll", "styles/", "styles/qmodernwindowsstyle.dll",
                            "vcruntime140.dll", "vcruntime140_1.dll"});
    }

    void windowsBundles()
    {
        QFETCH(QStringList, runtimeFiles);
        QFETCH(QString, executableName);
        QFETCH(QStringList, expectedBundle);
        const QString runtime = dir->filePath(QStringLiteral("windows-build"));
        for (const QString& name : runtimeFiles)
            QVERIFY(makeFile(QDir(runtime).filePath(name), name.toUtf8()));
        PortableBundleOptions options;
        options.windowsExecutablePath = QDir(runtime).filePath(executableName);
        QVERIFY(makeFile(options.windowsExecutablePath, "MZ programa"));

        const PortableBundleResult result = manager().preparePortableBundle(root, options, recorder());
        QVERIFY2(result.success, qPrintable(result.message));
        QCOMPARE(result.message, QStringLiteral("USB preparado com estrutura portatil Kavendru."));
        QCOMPARE(steps, kAllSteps);
        QCOMPARE(tree(QDir(root).filePath(QStringLiteral("Kavendru/windows"))), expectedBundle);
        // No Linux bundle was asked for: its folder stays empty, both
        // launchers are written all the same.
        QStringList expectedDrive = QStringList({"Kavendru-Linux.sh", "Kavendru-Windows.bat", "Kavendru/",
                                                 "Kavendru/README.txt", "Kavendru/linux/", "Kavendru/windows/"})
                                    + prefixed(QStringLiteral("Kavendru/windows/"), expectedBundle);
        expectedDrive.sort();
        QCOMPARE(tree(root), expectedDrive);
    }

    void linuxReadyMadeKeepsItsNames()
    {
        const QString runtime = dir->filePath(QStringLiteral("linux-build"));
        PortableBundleOptions options;
        options.linuxExecutablePath = QDir(runtime).filePath(QStringLiteral("kavendru-bin"));
        QVERIFY(makeScript(options.linuxExecutablePath, "#!/bin/sh\nexit 0\n"));
        QVERIFY(makeFile(QDir(runtime).filePath(QStringLiteral("qt.conf")), "[Paths]\nPrefix=.\n"));
        QVERIFY(makeFile(QDir(runtime).filePath(QStringLiteral("translations/qt_pt_BR.qm")), "qm"));

        const PortableBundleResult result = manager().preparePortableBundle(root, options, recorder());
        QVERIFY2(result.success, qPrintable(result.message));
        QCOMPARE(steps, kAllSteps);
        QCOMPARE(tree(QDir(root).filePath(QStringLiteral("Kavendru"))),
                 QStringList({"README.txt", "linux/", "linux/kavendru-bin", "linux/qt.conf", "linux/translations/",
                              "linux/translations/qt_pt_BR.qm", "windows/"}));
        QVERIFY(QFileInfo(QDir(root).filePath(QStringLiteral("Kavendru/linux/kavendru-bin"))).isExecutable());
    }

    void fullPreparationWithRealRuntime()
    {
        // A Windows build without the Qt libraries, and a real Linux
        // executable alone in its folder: both bundles are assembled.
        const QString windowsBuild = dir->filePath(QStringLiteral("windows-build"));
        PortableBundleOptions options;
        options.windowsExecutablePath = QDir(windowsBuild).filePath(QStringLiteral("Kavendru.exe"));
        QVERIFY(makeFileOfSize(options.windowsExecutablePath, 300000, 'w'));
        for (const char* name : {"vcruntime140.dll", "vcruntime140_1.dll", "msvcp140.dll"})
            QVERIFY(makeFileOfSize(QDir(windowsBuild).filePath(QString::fromLatin1(name)), 4000, 'd'));
        options.linuxExecutablePath = dir->filePath(QStringLiteral("linux-build/kavendru"));
        QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("linux-build"))));
        QVERIFY(QFile::copy(fixtureApp(), options.linuxExecutablePath));

        const PortableBundleResult result = manager().preparePortableBundle(root, options, recorder());
        QVERIFY2(result.success, qPrintable(result.message));
        QCOMPARE(result.message, QStringLiteral("USB preparado com estrutura portatil Kavendru."));
        QCOMPARE(steps, kAllSteps);

        const QString product = QDir(root).filePath(QStringLiteral("Kavendru"));
        const QString bundle = product + QStringLiteral("/linux");
        QCOMPARE(namesIn(root), QStringList({"Kavendru", "Kavendru-Linux.sh", "Kavendru-Windows.bat"}));
        QCOMPARE(namesIn(product), QStringList({"README.txt", "linux", "windows"}));
        QCOMPARE(tree(product + QStringLiteral("/windows")),
                 QStringList({"Kavendru.exe", "msvcp140.dll", "vcruntime140.dll", "vcruntime140_1.dll"}));
        QCOMPARE(namesIn(bundle), QStringList({"Kavendru", "lib", "plugins"}));
        QVERIFY(QFileInfo(bundle + QStringLiteral("/Kavendru")).isExecutable());
        for (const QString name : {"Kavendru-Windows.bat", "Kavendru-Linux.sh"})
            QCOMPARE(KavendruTest::readWholeFile(QDir(root).filePath(name)),
                     KavendruTest::readWholeFile(fixturePath(name)));
        QCOMPARE(KavendruTest::readWholeFile(product + QStringLiteral("/README.txt")),
                 KavendruTest::readWholeFile(fixturePath(QStringLiteral("README.txt"))));
        const QFile::Permissions execute =
            QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;
        QCOMPARE(QFile::permissions(QDir(root).filePath(QStringLiteral("Kavendru-Linux.sh"))) & execute, execute);

        // The Qt plug-in folders, as the running Qt has them.
        const QString qtPlugins = PortableBundleSystem::running().qtPluginFolder;
        QStringList expectedPlugins;
        for (const char* name : {"platforms", "imageformats", "xcbglintegrations", "tls"}) {
            const QString folder = QDir(qtPlugins).filePath(QString::fromLatin1(name));
            if (QFileInfo(folder).isDir())
                expectedPlugins.append(QString::fromLatin1(name));
        }
        expectedPlugins.sort();
        QVERIFY(!expectedPlugins.isEmpty());
        QCOMPARE(namesIn(bundle + QStringLiteral("/plugins")), expectedPlugins);
        QStringList pluginFiles;
        for (const QString& name : expectedPlugins) {
            QStringList visible = QDir(QDir(qtPlugins).filePath(name)).entryList(QDir::Files);
            visible.sort();
            QCOMPARE(namesIn(bundle + QStringLiteral("/plugins/") + name), visible);
            for (const QString& file : visible)
                pluginFiles.append(bundle + QStringLiteral("/plugins/") + name + QLatin1Char('/') + file);
        }

        // Every library ldd resolves, for the program and each plug-in, and
        // the system's libssl; never the C library and its loader.
        QSet<QString> expectedLibraries = systemLibsslNames();
        QVERIFY(!expectedLibraries.isEmpty());
        for (const QString& file : QStringList{options.linuxExecutablePath} + pluginFiles) {
            if (!file.endsWith(QLatin1String(".so")) && file != options.linuxExecutablePath)
                continue;
            const QStringList paths = realLddPaths(file);
            QVERIFY2(!paths.isEmpty(), qPrintable(file));
            for (const QString& path : paths) {
                const QString name = QFileInfo(path).fileName();
                if (QFileInfo(path).isFile() && !isGlibcName(name))
                    expectedLibraries.insert(name);
            }
        }
        const QStringList libraries = namesIn(bundle + QStringLiteral("/lib"));
        QCOMPARE(asSet(libraries), expectedLibraries);
        for (const char* glibc : {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"})
            QVERIFY(!libraries.contains(QString::fromLatin1(glibc)));

        // The bundle's own Qt is what the program loads.
        QProcess ldd;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_LIBRARY_PATH"), bundle + QStringLiteral("/lib"));
        ldd.setProcessEnvironment(environment);
        ldd.start(QStringLiteral("ldd"), {bundle + QStringLiteral("/Kavendru")});
        QVERIFY(ldd.waitForFinished(60000));
        const QString listing = QString::fromLocal8Bit(ldd.readAllStandardOutput());
        QVERIFY(!listing.contains(QLatin1String("not found")));
        int qtLibraries = 0;
        for (const QString& line : listing.split('\n')) {
            if (!line.contains(QLatin1String("libQt6")))
                continue;
            ++qtLibraries;
            QVERIFY2(line.contains(QLatin1String("=> ") + bundle + QStringLiteral("/lib/")), qPrintable(line));
        }
        QVERIFY(qtLibraries > 0);

        const QString dash = QStandardPaths::findExecutable(QStringLiteral("dash"));
        if (!dash.isEmpty()) {
            QProcess launcher;
            launcher.start(dash, {QDir(root).filePath(QStringLiteral("Kavendru-Linux.sh"))});
            QVERIFY(launcher.waitForFinished(60000));
            QCOMPARE(launcher.exitCode(), 0);
            QVERIFY(QString::fromLocal8Bit(launcher.readAllStandardOutput())
                        .startsWith(bundle + QStringLiteral("/lib/libQt6Core.so")));
        }

        // A second run writes nothing that is unchanged.
        const QHash<QString, quint64> before = inodesBelow(root);
        steps.clear();
        const PortableBundleResult again = manager().preparePortableBundle(root, options, recorder());
        QVERIFY2(again.success, qPrintable(again.message));
        QCOMPARE(steps, kAllSteps);
        QCOMPARE(inodesBelow(root), before);

        // A library damaged without changing its size is replaced.
        const QString core = bundle + QStringLiteral("/lib/") + libraries.filter(QStringLiteral("libQt6Core")).first();
        QByteArray damaged = KavendruTest::readWholeFile(core);
        damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x55);
        QVERIFY(makeFile(core, damaged));
        QVERIFY(manager().preparePortableBundle(root, options, BundleProgressCallback()).success);
        QCOMPARE(KavendruTest::sha256OfFile(core),
                 KavendruTest::sha256OfFile(realLibrary(options.linuxExecutablePath, QFileInfo(core).fileName())));
        QHash<QString, quint64> after = inodesBelow(root);
        const QString coreEntry = QDir(root).relativeFilePath(core);
        QVERIFY(after.value(coreEntry) != before.value(coreEntry));
        after.remove(coreEntry);
        QHash<QString, quint64> unchanged = before;
        unchanged.remove(coreEntry);
        QCOMPARE(after, unchanged);
    }

    void linkedTargetsAreRefused()
    {
        const QString victim = dir->filePath(QStringLiteral("home/.bashrc"));
        QVERIFY(makeFile(victim, "export PS1='$ '\n"));
        QVERIFY(QFile::link(victim, QDir(root).filePath(QStringLiteral("Kavendru-Linux.sh"))));
        const PortableBundleResult result = manager().preparePortableBundle(root, windowsOnly(), recorder());
        QVERIFY(!result.success);
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel criar o arquivo: %1")
                                     .arg(QDir(root).filePath(QStringLiteral("Kavendru-Linux.sh"))));
        QCOMPARE(steps, kAllSteps.mid(0, 6));
        QCOMPARE(KavendruTest::readWholeFile(victim), QByteArray("export PS1='$ '\n"));

        // The product folder leading elsewhere.
        const QString other = dir->filePath(QStringLiteral("other drive"));
        QVERIFY(QDir().mkpath(other + QStringLiteral("/usb")));
        QVERIFY(QFile::link(dir->filePath(QStringLiteral("home")), other + QStringLiteral("/usb/Kavendru")));
        steps.clear();
        const PortableBundleResult linked =
            manager().preparePortableBundle(other + QStringLiteral("/usb"), windowsOnly(), recorder());
        QVERIFY(!linked.success);
        QCOMPARE(linked.message,
                 QStringLiteral("Nao foi possivel criar a pasta: %1").arg(other + QStringLiteral("/usb/Kavendru")));
        QCOMPARE(steps, kAllSteps.mid(0, 2));
        QCOMPARE(namesIn(dir->filePath(QStringLiteral("home"))), QStringList{QStringLiteral(".bashrc")});
    }

    void fullDriveFailsWithoutPartialFiles()
    {
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs");
        // The bundle takes every page left: it passes the space rule, and
        // the launcher finds the drive full.
        KavendruTest::ScopedTmpfs drive(dir->filePath(QStringLiteral("drive")), 1024 * 1024);
        QVERIFY(drive.isMounted());
        QVERIFY(makeFileOfSize(QDir(drive.path()).filePath(QStringLiteral("kavendru.susb")), 768 * 1024));
        const qint64 left = QStorageInfo(drive.path()).bytesAvailable();
        QCOMPARE(left, qint64(256 * 1024));
        PortableBundleOptions options;
        options.windowsExecutablePath = dir->filePath(QStringLiteral("build/Kavendru.exe"));
        QVERIFY(makeFileOfSize(options.windowsExecutablePath, left));

        const PortableBundleResult result = manager().preparePortableBundle(drive.path(), options, recorder());
        QVERIFY(!result.success);
        const QString launcher = QDir(drive.path()).filePath(QStringLiteral("Kavendru-Windows.bat"));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel salvar o arquivo: %1").arg(launcher));
        QCOMPARE(steps, kAllSteps.mid(0, 5));
        QCOMPARE(tree(drive.path()), QStringList({"Kavendru/", "Kavendru/linux/", "Kavendru/windows/",
                                                  "Kavendru/windows/Kavendru.exe", "kavendru.susb"}));
        QCOMPARE(KavendruTest::fileSize(QDir(drive.path()).filePath(QStringLiteral("Kavendru/windows/Kavendru.exe"))),
                 left);
    }

    void runsWithoutCallback()
    {
        const PortableBundleResult result =
            manager().preparePortableBundle(root, windowsOnly(), BundleProgressCallback());
        QVERIFY2(result.success, qPrintable(result.message));
        QVERIFY(QFile::exists(QDir(root).filePath(QStringLiteral("Kavendru/windows/Kavendru.exe"))));
        QVERIFY(result.writtenPaths.contains(QDir(root).filePath(QStringLiteral("Kavendru/README.txt"))));
    }

private:
    PortableBundleManager manager() const { return PortableBundleManager(); }

    BundleProgressCallback recorder()
    {
        return [this](int step, int total, const QString& label) { steps.append(Step{step, total, label}); };
    }

    PortableBundleOptions windowsOnly()
    {
        PortableBundleOptions options;
        options.windowsExecutablePath = dir->filePath(QStringLiteral("windows-build/Kavendru.exe"));
        if (!QFile::exists(options.windowsExecutablePath))
            makeFile(options.windowsExecutablePath, "MZ programa");
        return options;
    }

    static QStringList prefixed(const QString& prefix, const QStringList& names)
    {
        QStringList result;
        for (const QString& name : names)
            result.append(prefix + name);
        return result;
    }

    // The system file that ldd lists for the executable under this name.
    static QString realLibrary(const QString& executable, const QString& name)
    {
        for (const QString& path : realLddPaths(executable))
            if (QFileInfo(path).fileName() == name)
                return path;
        return QString();
    }

    std::unique_ptr<QTemporaryDir> dir;
    QString root;
    QList<Step> steps;
};

KAVENDRU_TEST_MAIN(BundlePreparationTest)
#include "tst_bundlepreparation.moc"

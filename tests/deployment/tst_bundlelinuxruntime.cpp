// Collecting the Linux runtime: ldd, ldconfig and the Qt plug-ins, with the
// real programs and with stand-ins on the search path.
#include "deployment/PortableBundleManager.h"

#include "DeploymentTestSupport.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace Kavendru::Deployment;
using namespace DeploymentTest;

namespace {

QByteArray printing(const QByteArray& output, int exitCode = 0)
{
    return "#!/bin/sh\ncat <<'EOF'\n" + output + "EOF\nexit " + QByteArray::number(exitCode) + "\n";
}

QSet<QString> asSet(const QStringList& list)
{
    return QSet<QString>(list.cbegin(), list.cend());
}

} // namespace

class BundleLinuxRuntimeTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        libs = dir->filePath(QStringLiteral("system-libs"));
        target = dir->filePath(QStringLiteral("bundle/lib"));
        QVERIFY(QDir().mkpath(target));
    }

    void realLddListsTheLibraries()
    {
        const PortableBundleManager manager;
        const QStringList libraries = manager.linuxLibraryDependencies(fixtureApp());
        QCOMPARE(asSet(libraries), asSet(realLddPaths(fixtureApp())));
        QCOMPARE(asSet(libraries).size(), libraries.size());
        bool hasQtCore = false;
        for (const QString& library : libraries) {
            QVERIFY2(QFileInfo(library).isAbsolute(), qPrintable(library));
            QVERIFY(!library.contains(QLatin1String("linux-vdso")));
            hasQtCore = hasQtCore || QFileInfo(library).fileName().startsWith(QLatin1String("libQt6Core.so"));
        }
        QVERIFY(hasQtCore);
    }

    void lddOutputIsParsed()
    {
        const QByteArray output = "\tlinux-vdso.so.1 (0x00007ffd)\n"
                                  "\tlibQt6Core.so.6 => /opt/qt/lib/libQt6Core.so.6 (0x00007f01)\n"
                                  "\tlibgone.so.2 => not found\n"
                                  "\n"
                                  "\tlibQt6Core.so.6 => /opt/qt/lib/libQt6Core.so.6 (0x00007f01)\n"
                                  "\t/lib64/ld-linux-x86-64.so.2 (0x00007f02)\n"
                                  "\tstatically linked\n"
                                  "\tlibodd.so => /usr/lib/linux-vdso-shim.so (0x1)\n";
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldd"), printing(output))};
        const PortableBundleManager manager(system);
        QCOMPARE(manager.linuxLibraryDependencies(QStringLiteral("/x/Kavendru")),
                 QStringList({QStringLiteral("/opt/qt/lib/libQt6Core.so.6"),
                              QStringLiteral("/lib64/ld-linux-x86-64.so.2")}));
    }

    void sameNameTakesTheFirstListed_data()
    {
        QTest::addColumn<bool>("otherFirst");
        QTest::newRow("system first") << false;
        QTest::newRow("other folder first") << true;
    }

    void sameNameTakesTheFirstListed()
    {
        QFETCH(bool, otherFirst);
        const QString system = libs + QStringLiteral("/system/libdup.so.1");
        const QString other = libs + QStringLiteral("/other/libdup.so.1");
        QVERIFY(makeFile(system, "the system's libdup"));
        QVERIFY(makeFile(other, "another libdup, longer than the first"));
        QVERIFY(makeFile(libs + QStringLiteral("/libz.so.1"), "z"));
        const QByteArray first = (otherFirst ? other : system).toUtf8();
        const QByteArray second = (otherFirst ? system : other).toUtf8();
        const QByteArray output = "\tlibdup.so.1 => " + first + " (0x1)\n\tlibz.so.1 => " + libs.toUtf8()
            + "/libz.so.1 (0x2)\n\tlibdup.so.1 => " + second + " (0x3)\n";
        PortableBundleSystem fake;
        fake.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldd"), printing(output))};
        const PortableBundleManager manager(fake);
        // The same bundle on every run, the first listed library in it.
        for (int run = 0; run < 2; ++run) {
            PortableBundleResult result;
            QVERIFY(manager.copyLinuxLibraryDependencies(QStringLiteral("/x/Kavendru"), target, &result));
            QCOMPARE(namesIn(target), QStringList({"libdup.so.1", "libz.so.1"}));
            QCOMPARE(KavendruTest::readWholeFile(target + QStringLiteral("/libdup.so.1")),
                     KavendruTest::readWholeFile(QString::fromUtf8(first)));
            QCOMPARE(result.writtenPaths,
                     QStringList({target + QStringLiteral("/libdup.so.1"), target + QStringLiteral("/libz.so.1")}));
        }
    }

    void copiesLibrariesButNotTheCLibrary()
    {
        const QStringList names{"libQt6Core.so.6", "libicuuc.so.72", "libstdc++.so.6", "libgcc_s.so.1",
                                "libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "libpthread.so.0",
                                "libdl.so.2", "librt.so.1", "libresolv.so.2", "libutil.so.1", "libanl.so.1",
                                "libmvec.so.1", "libnss_files.so.2", "libcap.so.2", "libcrypt.so.1"};
        QByteArray output;
        for (const QString& name : names) {
            QVERIFY(makeFile(libs + QLatin1Char('/') + name, name.toUtf8()));
            output += "\t" + name.toUtf8() + " => " + libs.toUtf8() + "/" + name.toUtf8() + " (0x1)\n";
        }
        output += "\tlibmissing.so.3 => " + libs.toUtf8() + "/libmissing.so.3 (0x2)\n";
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldd"), printing(output))};
        const PortableBundleManager manager(system);
        PortableBundleResult result;
        QVERIFY(manager.copyLinuxLibraryDependencies(QStringLiteral("/x/Kavendru"), target, &result));
        QCOMPARE(namesIn(target), QStringList({"libQt6Core.so.6", "libcap.so.2", "libcrypt.so.1", "libgcc_s.so.1",
                                               "libicuuc.so.72", "libstdc++.so.6"}));
        QCOMPARE(KavendruTest::readWholeFile(target + QStringLiteral("/libQt6Core.so.6")), QByteArray("libQt6Core.so.6"));
        QCOMPARE(result.writtenPaths.size(), 6);
    }

    void dependencyListingFails_data()
    {
        QTest::addColumn<QByteArray>("script"); // empty: no ldd at all
        QTest::newRow("statically linked") << printing("\tnot a dynamic executable\n", 1);
        QTest::newRow("crashes") << QByteArray("#!/bin/sh\nkill -SEGV $$\n");
        QTest::newRow("lists nothing") << printing("\tstatically linked\n");
        QTest::newRow("not installed") << QByteArray();
    }

    void dependencyListingFails()
    {
        QFETCH(QByteArray, script);
        PortableBundleSystem system;
        system.searchPath = {script.isEmpty() ? dir->filePath(QStringLiteral("empty-bin"))
                                              : fakeProgramFolder(dir->path(), QStringLiteral("ldd"), script)};
        const PortableBundleManager manager(system);
        QVERIFY(manager.linuxLibraryDependencies(QStringLiteral("/x/Kavendru")).isEmpty());
        PortableBundleResult result;
        QVERIFY(!manager.copyLinuxLibraryDependencies(QStringLiteral("/x/Kavendru"), target, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel identificar dependencias Linux para: /x/Kavendru"));
        QVERIFY(namesIn(target).isEmpty());
    }

    void tlsLibrariesOfOurArchitecture()
    {
        QVERIFY(makeFile(libs + QStringLiteral("/i386/libssl.so.3"), "i386 libssl"));
        QVERIFY(makeFile(libs + QStringLiteral("/x86_64/libssl.so.3"), "x86-64 libssl"));
        QVERIFY(makeFile(libs + QStringLiteral("/x86_64/libssl.so.1.1"), "old libssl"));
        QVERIFY(makeFile(libs + QStringLiteral("/x86_64/libssl3.so"), "nss"));
        QVERIFY(makeFile(libs + QStringLiteral("/x86_64/libssl.so"), "dev link"));
        QVERIFY(makeFile(libs + QStringLiteral("/x32/libssl.so.3"), "x32 libssl"));
        const QByteArray l = libs.toUtf8();
        const QByteArray listing = "1234 libs found in cache `/etc/ld.so.cache'\n"
                                   "\tlibssl3.so (libc6,x86-64) => " + l + "/x86_64/libssl3.so\n"
                                   "\tlibssl.so.3 (libc6,x86-64) => " + l + "/x86_64/libssl.so.3\n"
                                   "\tlibssl.so.3 (libc6) => " + l + "/i386/libssl.so.3\n"
                                   "\tlibssl.so.3 (libc6,x32) => " + l + "/x32/libssl.so.3\n"
                                   "\tlibssl.so.3 (libc6,x86-64) => " + l + "/x86_64/libssl.so.3\n"
                                   "\tlibssl.so.1.1 (libc6,x86-64, OS ABI: Linux 3.2.0) => " + l + "/x86_64/libssl.so.1.1\n"
                                   "\tlibssl.so.9 (libc6,x86-64) => " + l + "/gone/libssl.so.9\n"
                                   "\tlibssl.so (libc6,x86-64) => " + l + "/x86_64/libssl.so\n"
                                   "Cache generated by: ldconfig (GNU libc) stable release version 2.36\n";
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldconfig"), printing(listing))};
        const PortableBundleManager manager(system);
        PortableBundleResult result;
        QVERIFY(manager.copyLinuxTlsLibraries(target, &result));
        QCOMPARE(namesIn(target), QStringList({"libssl.so.1.1", "libssl.so.3"}));
        QCOMPARE(KavendruTest::readWholeFile(target + QStringLiteral("/libssl.so.3")), QByteArray("x86-64 libssl"));
        QCOMPARE(result.writtenPaths, QStringList({target + QStringLiteral("/libssl.so.3"),
                                                   target + QStringLiteral("/libssl.so.1.1")}));
    }

    void tlsLibrariesFail_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("message");
        const QString noListing = QStringLiteral("Nao foi possivel localizar bibliotecas TLS do Linux.");
        const QString noLibssl = QStringLiteral("Biblioteca libssl.so nao encontrada no ambiente Linux.");
        QTest::newRow("fails") << printing("", 1) << noListing;
        QTest::newRow("crashes") << QByteArray("#!/bin/sh\nkill -ABRT $$\n") << noListing;
        QTest::newRow("no libssl") << printing("\tlibcrypto.so.3 (libc6,x86-64) => /usr/lib/libcrypto.so.3\n")
                                   << noLibssl;
        QTest::newRow("only another architecture")
            << printing("\tlibssl.so.3 (libc6) => " + QFile::encodeName(QStringLiteral(KAVENDRU_FIXTURE_APP)) + "\n")
            << noLibssl;
    }

    void tlsLibrariesFail()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, message);
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldconfig"), script)};
        system.administratorFolders = {QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")};
        const PortableBundleManager manager(system);
        PortableBundleResult result;
        QVERIFY(!manager.copyLinuxTlsLibraries(target, &result));
        QCOMPARE(result.message, message);
        QVERIFY(namesIn(target).isEmpty());
    }

    void ldconfigOffTheSearchPath()
    {
        const QByteArray listing = "\tlibssl.so.3 (libc6,x86-64) => " + libs.toUtf8() + "/libssl.so.3\n";
        QVERIFY(makeFile(libs + QStringLiteral("/libssl.so.3"), "libssl"));
        const QString sbin = fakeProgramFolder(dir->path(), QStringLiteral("ldconfig"), printing(listing));
        const QString emptyBin = dir->filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(emptyBin));

        PortableBundleSystem system;
        system.searchPath = {emptyBin};
        system.administratorFolders = {dir->filePath(QStringLiteral("nothing")), sbin};
        PortableBundleResult result;
        QVERIFY(PortableBundleManager(system).copyLinuxTlsLibraries(target, &result));
        QCOMPARE(namesIn(target), QStringList{QStringLiteral("libssl.so.3")});

        // Nowhere to be found.
        system.administratorFolders.clear();
        QVERIFY(!PortableBundleManager(system).copyLinuxTlsLibraries(target, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel localizar bibliotecas TLS do Linux."));

        // The shipped lookup with an ordinary user's PATH finds /sbin/ldconfig.
        system = PortableBundleSystem::running();
        system.searchPath = {QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin"), QStringLiteral("/bin")};
        for (const QString& folder : system.searchPath)
            if (QFileInfo::exists(folder + QStringLiteral("/ldconfig")))
                QSKIP("ldconfig is on the ordinary PATH here");
        result = PortableBundleResult();
        QVERIFY(QDir(target).removeRecursively() && QDir().mkpath(target));
        QVERIFY2(PortableBundleManager(system).copyLinuxTlsLibraries(target, &result), qPrintable(result.message));
        QVERIFY(namesIn(target).contains(QStringLiteral("libssl.so.3")));
    }

    void pluginsAndTheirLibraries()
    {
        QVERIFY(makeFile(libs + QStringLiteral("/libQt6Gui.so.6"), "gui"));
        QVERIFY(makeFile(libs + QStringLiteral("/libQt6Core.so.6"), "core"));
        QVERIFY(makeFile(libs + QStringLiteral("/libc.so.6"), "libc"));
        const QByteArray l = libs.toUtf8();
        const QByteArray ldd = printing("\tlibQt6Gui.so.6 => " + l + "/libQt6Gui.so.6 (0x1)\n"
                                        "\tlibQt6Core.so.6 => " + l + "/libQt6Core.so.6 (0x2)\n"
                                        "\tlibc.so.6 => " + l + "/libc.so.6 (0x3)\n");
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldd"), ldd)};
        system.qtPluginFolder = dir->filePath(QStringLiteral("qt-plugins"));
        const QString qt = system.qtPluginFolder;
        QVERIFY(makeFile(qt + QStringLiteral("/platforms/libqxcb.so"), "xcb"));
        QVERIFY(makeFile(qt + QStringLiteral("/platforms/libqoffscreen.so"), "offscreen"));
        QVERIFY(makeFile(qt + QStringLiteral("/imageformats/libqjpeg.so"), "jpeg"));
        QVERIFY(makeFile(qt + QStringLiteral("/tls/libqopensslbackend.so"), "openssl"));
        QVERIFY(makeFile(qt + QStringLiteral("/generic/libqevdev.so"), "evdev"));
        QVERIFY(makeFile(qt + QStringLiteral("/sqldrivers/libqsqlite.so"), "sqlite"));

        const QString plugins = dir->filePath(QStringLiteral("bundle/plugins"));
        QVERIFY(QDir().mkpath(plugins));
        PortableBundleResult result;
        QVERIFY(PortableBundleManager(system).copyQtLinuxPlugins(plugins, &result));
        QCOMPARE(tree(plugins), QStringList({"imageformats/", "imageformats/libqjpeg.so", "platforms/",
                                             "platforms/libqoffscreen.so", "platforms/libqxcb.so", "tls/",
                                             "tls/libqopensslbackend.so"}));
        QCOMPARE(namesIn(target), QStringList({"libQt6Core.so.6", "libQt6Gui.so.6"}));
        // Each plug-in asks again; the copies already in place are recorded.
        QCOMPARE(result.writtenPaths.count(target + QStringLiteral("/libQt6Gui.so.6")), 4);
    }

    void pluginsAskInNameOrder()
    {
        // Each plug-in's ldd names its own libdup; the plug-in last by name
        // decides what the bundle holds, however the folder lists them.
        const QByteArray l = libs.toUtf8();
        for (const char* name : {"a", "b", "c"})
            QVERIFY(makeFile(libs + QStringLiteral("/%1/libdup.so.1").arg(QLatin1String(name)),
                             QByteArray("libdup of ") + name));
        const QByteArray ldd = "#!/bin/sh\nname=$(basename \"$1\" .so)\n"
                               "echo \"\tlibdup.so.1 => " + l + "/${name#libq}/libdup.so.1 (0x1)\"\n";
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldd"), ldd)};
        system.qtPluginFolder = dir->filePath(QStringLiteral("qt-plugins"));
        for (const char* name : {"c", "a", "b"})
            QVERIFY(makeFile(system.qtPluginFolder + QStringLiteral("/platforms/libq%1.so").arg(QLatin1String(name)),
                             name));
        const QString plugins = dir->filePath(QStringLiteral("bundle/plugins"));
        QVERIFY(QDir().mkpath(plugins));
        PortableBundleResult result;
        QVERIFY2(PortableBundleManager(system).copyQtLinuxPlugins(plugins, &result), qPrintable(result.message));
        QCOMPARE(KavendruTest::readWholeFile(target + QStringLiteral("/libdup.so.1")), QByteArray("libdup of c"));
    }

    void pluginWithoutListingFails()
    {
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldd"), printing("", 1))};
        system.qtPluginFolder = dir->filePath(QStringLiteral("qt-plugins"));
        QVERIFY(makeFile(system.qtPluginFolder + QStringLiteral("/platforms/libqxcb.so"), "xcb"));
        const QString plugins = dir->filePath(QStringLiteral("bundle/plugins"));
        PortableBundleResult result;
        QVERIFY(!PortableBundleManager(system).copyQtLinuxPlugins(plugins, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel identificar dependencias Linux para: %1")
                                     .arg(QDir(plugins).absoluteFilePath(QStringLiteral("platforms/libqxcb.so"))));
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString libs;
    QString target;
};

KAVENDRU_TEST_MAIN(BundleLinuxRuntimeTest)
#include "tst_bundlelinuxruntime.moc"

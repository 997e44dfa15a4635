// Sizes, the two bundle estimates and the space rule.
#include "deployment/PortableBundleManager.h"

#include "DeploymentTestSupport.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace Kavendru::Deployment;
using namespace DeploymentTest;

namespace {

QString insufficient(qint64 needed, qint64 available)
{
    return QStringLiteral("Espaco insuficiente na unidade USB.\n\nNecessario: %1 bytes\nDisponivel: %2 bytes")
        .arg(needed)
        .arg(available);
}

QString notRecommended(qint64 capacity, qint64 needed)
{
    return QStringLiteral("A unidade USB nao e recomendada para Kavendru.\n\nCapacidade: %1 bytes\nBundle estimado: "
                          "%2 bytes\n\nO bundle ocuparia mais de 25% da unidade.")
        .arg(capacity)
        .arg(needed);
}

} // namespace

class BundleSpaceTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void fileAndDirectorySizes()
    {
        const PortableBundleManager manager;
        const QString root = dir->filePath(QStringLiteral("runtime"));
        QVERIFY(makeFileOfSize(root + QStringLiteral("/a.bin"), 1000));
        QVERIFY(makeFileOfSize(root + QStringLiteral("/sub/b.bin"), 200));
        QVERIFY(makeFileOfSize(root + QStringLiteral("/sub/deeper/c.bin"), 30));
        QVERIFY(makeFileOfSize(root + QStringLiteral("/.hidden"), 5000));
        QVERIFY(makeFileOfSize(root + QStringLiteral("/.hiddendir/d.bin"), 5000));
        QVERIFY(makeFileOfSize(dir->filePath(QStringLiteral("outside/e.bin")), 4));
        QVERIFY(QFile::link(dir->filePath(QStringLiteral("outside/e.bin")), root + QStringLiteral("/link.bin")));
        QVERIFY(QFile::link(dir->filePath(QStringLiteral("outside")), root + QStringLiteral("/linkdir")));
        QVERIFY(QFile::link(root, root + QStringLiteral("/sub/loop")));
        QVERIFY(QFile::link(QStringLiteral(".."), root + QStringLiteral("/sub/deeper/up")));

        QCOMPARE(manager.fileSize(root + QStringLiteral("/a.bin")), qint64(1000));
        QCOMPARE(manager.fileSize(root + QStringLiteral("/link.bin")), qint64(4));
        QCOMPARE(manager.fileSize(root), qint64(0));
        QCOMPARE(manager.fileSize(root + QStringLiteral("/none")), qint64(0));
        QCOMPARE(manager.directorySize(root + QStringLiteral("/a.bin")), qint64(1000));
        QCOMPARE(manager.directorySize(root + QStringLiteral("/none")), qint64(0));
        // Links lead on (the file and the linked folder); loops are cut off.
        QCOMPARE(manager.directorySize(root), qint64(1000 + 200 + 30 + 4 + 4));
    }

    void windowsEstimate()
    {
        const PortableBundleManager manager;
        PortableBundleOptions options;
        QCOMPARE(manager.estimateWindowsBundleSize(options), qint64(0));

        const QString runtime = dir->filePath(QStringLiteral("windows"));
        options.windowsExecutablePath = runtime + QStringLiteral("/Kavendru.exe");
        QVERIFY(makeFileOfSize(options.windowsExecutablePath, 100000));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/Qt6Core.dll"), 20000));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/MSVCP140.DLL"), 3000));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/.hidden.dll"), 777));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/notes.txt"), 888));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/platforms/qwindows.dll"), 400));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/imageformats/qjpeg.dll"), 50));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/styles/extra/qmodern.dll"), 6));
        QVERIFY(makeFileOfSize(runtime + QStringLiteral("/translations/qt_pt.qm"), 999));
        QCOMPARE(manager.estimateWindowsBundleSize(options), qint64(100000 + 20000 + 3000 + 400 + 50 + 6));

        // A runtime folder of its own replaces the executable's folder.
        const QString elsewhere = dir->filePath(QStringLiteral("runtime"));
        QVERIFY(makeFileOfSize(elsewhere + QStringLiteral("/vcruntime140.dll"), 11));
        options.windowsRuntimeDirectory = elsewhere;
        QCOMPARE(manager.estimateWindowsBundleSize(options), qint64(100000 + 11));
    }

    void linuxEstimate()
    {
        // Controlled ldd output and plug-in folder.
        const QString libs = dir->filePath(QStringLiteral("system-libs"));
        QVERIFY(makeFileOfSize(libs + QStringLiteral("/libQt6Core.so.6"), 7000));
        QVERIFY(makeFileOfSize(libs + QStringLiteral("/libQt6Gui.so.6"), 600));
        QVERIFY(makeFileOfSize(libs + QStringLiteral("/libxcb.so.1"), 50));
        QVERIFY(makeFileOfSize(libs + QStringLiteral("/libc.so.6"), 100000));
        QVERIFY(makeFileOfSize(libs + QStringLiteral("/ld-linux-x86-64.so.2"), 100000));
        const QByteArray ldd = "#!/bin/sh\n"
                               "case \"$1\" in\n"
                               "*Kavendru) printf '\\tlinux-vdso.so.1 (0x1)\\n\\tlibQt6Core.so.6 => " + libs.toUtf8()
                               + "/libQt6Core.so.6 (0x2)\\n\\tlibc.so.6 => " + libs.toUtf8()
                               + "/libc.so.6 (0x3)\\n\\t" + libs.toUtf8()
                               + "/ld-linux-x86-64.so.2 (0x4)\\n\\tlibmissing.so.1 => not found\\n' ;;\n"
                                 "*) printf '\\tlibQt6Gui.so.6 => " + libs.toUtf8()
                               + "/libQt6Gui.so.6 (0x5)\\n\\tlibQt6Core.so.6 => " + libs.toUtf8()
                               + "/libQt6Core.so.6 (0x6)\\n\\tlibxcb.so.1 => " + libs.toUtf8()
                               + "/libxcb.so.1 (0x7)\\n' ;;\n"
                                 "esac\n";
        PortableBundleSystem system;
        system.searchPath = {fakeProgramFolder(dir->path(), QStringLiteral("ldd"), ldd)};
        system.qtPluginFolder = dir->filePath(QStringLiteral("qt-plugins"));
        QVERIFY(makeFileOfSize(system.qtPluginFolder + QStringLiteral("/platforms/libqxcb.so"), 300));
        QVERIFY(makeFileOfSize(system.qtPluginFolder + QStringLiteral("/platforms/README"), 2));
        QVERIFY(makeFileOfSize(system.qtPluginFolder + QStringLiteral("/tls/libqopensslbackend.SO"), 40));
        QVERIFY(makeFileOfSize(system.qtPluginFolder + QStringLiteral("/generic/libqevdev.so"), 9999));
        const PortableBundleManager manager(system);

        PortableBundleOptions options;
        QCOMPARE(manager.estimateLinuxBundleSize(options), qint64(0));
        const QString build = dir->filePath(QStringLiteral("build"));
        options.linuxExecutablePath = build + QStringLiteral("/Kavendru");
        QVERIFY(makeFileOfSize(options.linuxExecutablePath, 5000));
        QVERIFY(makeFileOfSize(build + QStringLiteral("/.hidden"), 123456));
        QVERIFY(makeFile(build + QStringLiteral("/empty"), QByteArray()));
        // Alone in its folder: the executable, its libraries without the C
        // library and loader, the plug-ins and their libraries, each once.
        QCOMPARE(manager.estimateLinuxBundleSize(options), qint64(5000 + 7000 + 300 + 2 + 40 + 600 + 50));

        // Beside any other visible file, the folder is the estimate.
        QVERIFY(makeFileOfSize(build + QStringLiteral("/libextra.so"), 1));
        QCOMPARE(manager.estimateLinuxBundleSize(options), qint64(5001));
    }

    void spaceRule_data()
    {
        QTest::addColumn<qint64>("driveSize");
        QTest::addColumn<qint64>("filler");
        QTest::addColumn<qint64>("productContent");
        // needed = neededBase + neededOffset; base 0: absolute, 1: the
        // available room, 2: a quarter of the capacity
        QTest::addColumn<int>("neededBase");
        QTest::addColumn<qint64>("neededOffset");
        QTest::addColumn<int>("verdict"); // 0 passes, 1 too little room, 2 too small a drive

        const qint64 mib = 1024 * 1024;
        QTest::newRow("a quarter of the capacity passes") << mib << qint64(0) << qint64(0) << 2 << qint64(0) << 0;
        QTest::newRow("one byte above a quarter") << mib << qint64(0) << qint64(0) << 2 << qint64(1) << 2;
        QTest::newRow("exactly the room left passes") << 4 * mib << 3 * mib << qint64(0) << 1 << qint64(0) << 0;
        QTest::newRow("one byte more than the room") << 4 * mib << 3 * mib << qint64(0) << 1 << qint64(1) << 1;
        QTest::newRow("the product folder counts as room")
            << 4 * mib << 3 * mib << qint64(300000) << 1 << qint64(0) << 0;
        QTest::newRow("beyond room and product folder")
            << 4 * mib << 3 * mib << qint64(300000) << 1 << qint64(1) << 1;
        QTest::newRow("too full and too small: room is told")
            << 4 * mib << 3 * mib + mib / 2 << qint64(0) << 2 << qint64(1) << 1;
        QTest::newRow("tiny bundle") << mib << qint64(0) << qint64(0) << 0 << qint64(100) << 0;
    }

    void spaceRule()
    {
        QFETCH(qint64, driveSize);
        QFETCH(qint64, filler);
        QFETCH(qint64, productContent);
        QFETCH(int, neededBase);
        QFETCH(qint64, neededOffset);
        QFETCH(int, verdict);
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs");
        KavendruTest::ScopedTmpfs drive(dir->filePath(QStringLiteral("drive")), driveSize);
        QVERIFY(drive.isMounted());
        const QString product = QDir(drive.path()).filePath(QStringLiteral("Kavendru"));
        QVERIFY(QDir().mkpath(product + QStringLiteral("/windows")));
        QVERIFY(QDir().mkpath(product + QStringLiteral("/linux")));
        if (filler > 0)
            QVERIFY(makeFileOfSize(QDir(drive.path()).filePath(QStringLiteral("kavendru.susb")), filler));
        if (productContent > 0)
            QVERIFY(makeFileOfSize(product + QStringLiteral("/windows/Kavendru.exe"), productContent));

        const QStorageInfo storage(drive.path());
        const qint64 capacity = storage.bytesTotal();
        const qint64 available = storage.bytesAvailable() + productContent;
        QCOMPARE(capacity, driveSize);
        const qint64 base = neededBase == 0 ? 0 : neededBase == 1 ? available : capacity / 4;
        const qint64 needed = base + neededOffset;

        // The estimate is the executable plus the DLL beside it.
        PortableBundleOptions options;
        options.windowsExecutablePath = dir->filePath(QStringLiteral("source/Kavendru.exe"));
        QVERIFY(makeFileOfSize(options.windowsExecutablePath, needed - 10));
        QVERIFY(makeFileOfSize(dir->filePath(QStringLiteral("source/vcruntime140.dll")), 10));

        const PortableBundleManager manager;
        QCOMPARE(manager.estimateWindowsBundleSize(options), needed);
        PortableBundleResult result;
        const bool fits = manager.validateBundleFitsUsb(drive.path(), product, options, &result);
        QCOMPARE(fits, verdict == 0);
        if (verdict == 0)
            QVERIFY(result.message.isEmpty());
        else if (verdict == 1)
            QCOMPARE(result.message, insufficient(needed, available));
        else
            QCOMPARE(result.message, notRecommended(capacity, needed));
        QVERIFY(result.writtenPaths.isEmpty());
    }

    void spaceRuleRefusals()
    {
        const PortableBundleManager manager;
        PortableBundleResult result;
        PortableBundleOptions options;
        QVERIFY(!manager.validateBundleFitsUsb(dir->path(), dir->filePath(QStringLiteral("Kavendru")), options,
                                               &result));
        QCOMPARE(result.message, QStringLiteral("Nenhum bundle valido foi encontrado para preparar a unidade USB."));

        // Executables that do not exist estimate 0 too.
        options.windowsExecutablePath = dir->filePath(QStringLiteral("none/Kavendru.exe"));
        QVERIFY(!manager.validateBundleFitsUsb(dir->path(), dir->filePath(QStringLiteral("Kavendru")), options,
                                               &result));
        QCOMPARE(result.message, QStringLiteral("Nenhum bundle valido foi encontrado para preparar a unidade USB."));

        for (const QString& root : {dir->filePath(QStringLiteral("no-such-drive")), QString()}) {
            result = PortableBundleResult();
            QVERIFY(!manager.validateBundleFitsUsb(root, root + QStringLiteral("/Kavendru"), options, &result));
            QCOMPARE(result.message, QStringLiteral("Nao foi possivel validar o espaco livre da unidade USB."));
        }
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
};

KAVENDRU_TEST_MAIN(BundleSpaceTest)
#include "tst_bundlespace.moc"

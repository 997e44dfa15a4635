// The file helpers: folders, text files, single-file copies, folder copies,
// the executable and the Windows runtime libraries.
#include "deployment/PortableBundleManager.h"

#include "DeploymentTestSupport.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace Kavendru::Deployment;
using namespace DeploymentTest;

namespace {

// Fills a tmpfs to the last page so the next write fails for real.
bool fillDisk(const QString& path)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();
    return true;
}

// Names that QSaveFile or anyone else left beside the given files.
QStringList strayFiles(const QString& folder, const QStringList& expected)
{
    QStringList names = namesIn(folder);
    for (const QString& name : expected)
        names.removeAll(name);
    return names;
}

} // namespace

class BundleFilesTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void ensureDirectoryCreatesAndRecordsAgain()
    {
        const PortableBundleManager manager;
        PortableBundleResult result;
        const QString deep = dir->filePath(QStringLiteral("a/b/c"));
        QVERIFY(manager.ensureDirectory(deep, &result));
        QVERIFY(QFileInfo(deep).isDir());
        QVERIFY(manager.ensureDirectory(deep, &result));
        QCOMPARE(result.writtenPaths, QStringList({deep, deep}));
        QVERIFY(result.message.isEmpty());
    }

    void ensureDirectoryRefuses_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a file stands there") << "file";
        QTest::newRow("a link to a folder elsewhere") << "link";
        QTest::newRow("empty path") << "empty";
    }

    void ensureDirectoryRefuses()
    {
        QFETCH(QString, kind);
        const PortableBundleManager manager;
        QString path = dir->filePath(QStringLiteral("Kavendru"));
        const QString elsewhere = dir->filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(elsewhere));
        if (kind == QLatin1String("file"))
            QVERIFY(makeFile(path, "x"));
        else if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(elsewhere, path));
        else
            path.clear();
        PortableBundleResult result;
        result.writtenPaths.append(QStringLiteral("before"));
        QVERIFY(!manager.ensureDirectory(path, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel criar a pasta: %1").arg(path));
        QCOMPARE(result.writtenPaths, QStringList{QStringLiteral("before")});
        QVERIFY(namesIn(elsewhere).isEmpty());
    }

    void writeTextFileWritesBytesUnchanged()
    {
        const PortableBundleManager manager;
        const QString path = dir->filePath(QStringLiteral("texto.txt"));
        QVERIFY(makeFile(path, "conteudo antigo e mais longo que o novo\n"));
        const QString text = QStringLiteral("linha\r\nsegunda linha\nação\r\n");
        PortableBundleResult result;
        QVERIFY(manager.writeTextFile(path, text, &result));
        QCOMPARE(KavendruTest::readWholeFile(path), text.toUtf8());
        QCOMPARE(result.writtenPaths, QStringList{path});
        QCOMPARE(strayFiles(dir->path(), {QStringLiteral("texto.txt")}), QStringList());

        // The same text again leaves the file as it is.
        const quint64 inode = inodeOf(path);
        QVERIFY(manager.writeTextFile(path, text, &result));
        QCOMPARE(inodeOf(path), inode);
        QCOMPARE(result.writtenPaths, QStringList({path, path}));
    }

    void writeTextFileRefusesLinkAndMissingFolder()
    {
        const PortableBundleManager manager;
        const QString victim = dir->filePath(QStringLiteral("bashrc"));
        QVERIFY(makeFile(victim, "alias ls='ls --color'\n"));
        const QString link = dir->filePath(QStringLiteral("Kavendru-Linux.sh"));
        QVERIFY(QFile::link(victim, link));
        PortableBundleResult result;
        QVERIFY(!manager.writeTextFile(link, PortableBundleManager::linuxLauncherText(), &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(link));
        QCOMPARE(KavendruTest::readWholeFile(victim), QByteArray("alias ls='ls --color'\n"));
        QVERIFY(QFileInfo(link).isSymLink());

        const QString orphan = dir->filePath(QStringLiteral("falta/README.txt"));
        QVERIFY(!manager.writeTextFile(orphan, QStringLiteral("x"), &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(orphan));
        QVERIFY(result.writtenPaths.isEmpty());
    }

    void writeTextFileOnFullDiskKeepsFormerFile()
    {
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs");
        KavendruTest::ScopedTmpfs drive(dir->filePath(QStringLiteral("drive")), 64 * 1024);
        QVERIFY(drive.isMounted());
        const QString path = QDir(drive.path()).filePath(QStringLiteral("Kavendru-Windows.bat"));
        QVERIFY(makeFile(path, "antigo\r\n"));
        QVERIFY(fillDisk(QDir(drive.path()).filePath(QStringLiteral("filler"))));

        const PortableBundleManager manager;
        PortableBundleResult result;
        QVERIFY(!manager.writeTextFile(path, PortableBundleManager::windowsLauncherText(), &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel salvar o arquivo: %1").arg(path));
        QVERIFY(result.writtenPaths.isEmpty());
        QCOMPARE(KavendruTest::readWholeFile(path), QByteArray("antigo\r\n"));
        QCOMPARE(strayFiles(drive.path(), {QStringLiteral("Kavendru-Windows.bat"), QStringLiteral("filler")}),
                 QStringList());
    }

    void copyFileReplacingCopies_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("empty") << qint64(0);
        QTest::newRow("small") << qint64(1000);
        QTest::newRow("exactly one chunk") << qint64(1048576);
        QTest::newRow("several chunks") << qint64(3 * 1048576 + 17);
    }

    void copyFileReplacingCopies()
    {
        QFETCH(qint64, size);
        const PortableBundleManager manager;
        const QString source = dir->filePath(QStringLiteral("source.bin"));
        QByteArray data(size, '\0');
        for (qint64 i = 0; i < size; ++i)
            data[i] = char((i * 7 + i / 1000) & 0xff);
        QVERIFY(makeFile(source, data));
        const QFile::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                               | QFileDevice::ExeOwner | QFileDevice::ReadGroup;
        QVERIFY(QFile::setPermissions(source, permissions));

        const QString target = dir->filePath(QStringLiteral("lib/target.bin"));
        QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("lib"))));
        PortableBundleResult result;
        QVERIFY(manager.copyFileReplacing(source, target, &result));
        QCOMPARE(KavendruTest::readWholeFile(target), data);
        QCOMPARE(QFile::permissions(target) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
                 permissions);
        QCOMPARE(result.writtenPaths, QStringList{target});
        QCOMPARE(strayFiles(dir->filePath(QStringLiteral("lib")), {QStringLiteral("target.bin")}), QStringList());
    }

    void copyFileReplacingSameSize_data()
    {
        QTest::addColumn<QByteArray>("former");
        QTest::addColumn<bool>("rewritten");
        const QByteArray content = QByteArray(2 * 1048576 + 5, 'a') + "fim";
        QByteArray damagedLate = content;
        damagedLate[damagedLate.size() - 1] = 'X';
        QByteArray damagedEarly = content;
        damagedEarly[3] = 'X';
        QTest::newRow("identical") << content << false;
        QTest::newRow("differs in the last chunk") << damagedLate << true;
        QTest::newRow("differs in the first chunk") << damagedEarly << true;
    }

    void copyFileReplacingSameSize()
    {
        QFETCH(QByteArray, former);
        QFETCH(bool, rewritten);
        const PortableBundleManager manager;
        const QByteArray content = QByteArray(2 * 1048576 + 5, 'a') + "fim";
        const QString source = dir->filePath(QStringLiteral("libQt6Core.so.6"));
        const QString target = dir->filePath(QStringLiteral("libQt6Core.so.6.copy"));
        QVERIFY(makeFile(source, content));
        QVERIFY(makeFile(target, former));
        const quint64 inode = inodeOf(target);

        PortableBundleResult result;
        QVERIFY(manager.copyFileReplacing(source, target, &result));
        QCOMPARE(KavendruTest::readWholeFile(target), content);
        QCOMPARE(inodeOf(target) != inode, rewritten);
        QCOMPARE(result.writtenPaths, QStringList{target});
    }

    void copyFileReplacingOntoItself()
    {
        const PortableBundleManager manager;
        const QString path = dir->filePath(QStringLiteral("Kavendru"));
        QVERIFY(makeFile(path, "binario"));
        const quint64 inode = inodeOf(path);
        PortableBundleResult result;
        QVERIFY(manager.copyFileReplacing(path, dir->filePath(QStringLiteral("./Kavendru")), &result));
        QCOMPARE(inodeOf(path), inode);
        QCOMPARE(result.writtenPaths, QStringList{dir->filePath(QStringLiteral("./Kavendru"))});
        QCOMPARE(namesIn(dir->path()), QStringList{QStringLiteral("Kavendru")});
    }

    void copyFileReplacingFailures()
    {
        const PortableBundleManager manager;
        const QString source = dir->filePath(QStringLiteral("libfoo.so.1"));
        QVERIFY(makeFile(source, "biblioteca"));

        PortableBundleResult result;
        const QString orphan = dir->filePath(QStringLiteral("falta/libfoo.so.1"));
        QVERIFY(!manager.copyFileReplacing(source, orphan, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(orphan));

        const QString missing = dir->filePath(QStringLiteral("sumiu/libbar.so.2"));
        QVERIFY(!manager.copyFileReplacing(missing, dir->filePath(QStringLiteral("libbar.so.2")), &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel copiar o arquivo: libbar.so.2"));

        // A library on the drive that leads elsewhere is never written through.
        const QString victim = dir->filePath(QStringLiteral("sistema.so"));
        QVERIFY(makeFile(victim, "sistema!!!"));
        const QString link = dir->filePath(QStringLiteral("link.so"));
        QVERIFY(QFile::link(victim, link));
        QVERIFY(!manager.copyFileReplacing(source, link, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(link));
        QCOMPARE(KavendruTest::readWholeFile(victim), QByteArray("sistema!!!"));
        QVERIFY(result.writtenPaths.isEmpty());
    }

    void copyFileReplacingEndsOnShortRead()
    {
        // sysfs reports 4096 bytes and delivers a handful: reading stops
        // short of the end and must not spin forever.
        const QString source = QStringLiteral("/sys/devices/system/cpu/online");
        const QFileInfo info(source);
        if (!info.isReadable() || info.size() <= KavendruTest::readWholeFile(source).size())
            QSKIP("no file here that reports more bytes than it holds");
        const PortableBundleManager manager;
        const QString target = dir->filePath(QStringLiteral("online"));
        PortableBundleResult result;
        QVERIFY(!manager.copyFileReplacing(source, target, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel ler o arquivo: online"));
        QVERIFY(namesIn(dir->path()).isEmpty());
    }

    void copyFileReplacingOnFullDiskKeepsFormerFile_data()
    {
        QTest::addColumn<qint64>("newSize");
        QTest::addColumn<bool>("sourceOnDrive"); // copied inside the kernel then
        for (const bool onDrive : {false, true}) {
            const char* where = onDrive ? ", same drive" : ", other drive";
            QTest::addRow("buffered write%s", where) << qint64(9000) << onDrive;
            QTest::addRow("one chunk, written short%s", where) << qint64(1048576) << onDrive;
            QTest::addRow("large chunks%s", where) << qint64(3 * 1048576) << onDrive;
        }
    }

    void copyFileReplacingOnFullDiskKeepsFormerFile()
    {
        QFETCH(qint64, newSize);
        QFETCH(bool, sourceOnDrive);
        if (!KavendruTest::inPrivateMountNamespace())
            QSKIP("needs root for a tmpfs");
        KavendruTest::ScopedTmpfs drive(dir->filePath(QStringLiteral("drive")), 8 * 1024 * 1024);
        QVERIFY(drive.isMounted());
        const QDir root(drive.path());
        const QString target = root.filePath(QStringLiteral("Kavendru.exe"));
        QVERIFY(makeFile(target, "versao antiga"));
        const QString source = sourceOnDrive ? root.filePath(QStringLiteral("new/Kavendru.exe"))
                                             : dir->filePath(QStringLiteral("Kavendru.exe"));
        QVERIFY(makeFileOfSize(source, newSize));
        // Two pages left: less than any of the new files.
        QVERIFY(makeFileOfSize(root.filePath(QStringLiteral("filler")),
                               QStorageInfo(drive.path()).bytesAvailable() - 8192));
        QCOMPARE(QStorageInfo(drive.path()).bytesAvailable(), qint64(8192));

        const PortableBundleManager manager;
        PortableBundleResult result;
        QVERIFY(!manager.copyFileReplacing(source, target, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel gravar o arquivo: %1").arg(target));
        QCOMPARE(KavendruTest::readWholeFile(target), QByteArray("versao antiga"));
        QVERIFY(result.writtenPaths.isEmpty());
        QCOMPARE(strayFiles(drive.path(), {QStringLiteral("Kavendru.exe"), QStringLiteral("filler"),
                                           QStringLiteral("new")}),
                 QStringList());
        QCOMPARE(QStorageInfo(drive.path()).bytesAvailable(), qint64(8192));
    }

    void copyExecutableNames_data()
    {
        QTest::addColumn<QString>("sourceName");
        QTest::addColumn<QString>("targetName");
        QTest::newRow("windows") << "Kavendru.exe" << "Kavendru.exe";
        QTest::newRow("capital EXE") << "app.EXE" << "Kavendru.exe";
        QTest::newRow("linux") << "kavendru-1.0.5" << "Kavendru";
        QTest::newRow("exe not at the end") << "app.exe.old" << "Kavendru";
    }

    void copyExecutableNames()
    {
        QFETCH(QString, sourceName);
        QFETCH(QString, targetName);
        const PortableBundleManager manager;
        const QString source = dir->filePath(QStringLiteral("build/") + sourceName);
        QVERIFY(makeFile(source, "programa"));
        const QString bundle = dir->filePath(QStringLiteral("bundle"));
        QVERIFY(QDir().mkpath(bundle));
        PortableBundleResult result;
        QString copied = QStringLiteral("unset");
        QVERIFY(manager.copyExecutable(source, bundle, &copied, &result));
        const QString expected = QDir(bundle).filePath(targetName);
        QCOMPARE(copied, expected);
        QCOMPARE(KavendruTest::readWholeFile(expected), QByteArray("programa"));
        QCOMPARE(result.writtenPaths, QStringList({expected, expected}));
        QCOMPARE(namesIn(bundle), QStringList{targetName});
    }

    void copyExecutableFailures()
    {
        const PortableBundleManager manager;
        const QString bundle = dir->filePath(QStringLiteral("bundle"));
        QVERIFY(QDir().mkpath(bundle));
        PortableBundleResult result;
        const QString missing = dir->filePath(QStringLiteral("Kavendru.exe"));
        QVERIFY(!manager.copyExecutable(missing, bundle, nullptr, &result));
        QCOMPARE(result.message, QStringLiteral("Executavel do Kavendru nao encontrado: %1").arg(missing));

        QVERIFY(makeFile(missing, "programa"));
        const QString unreachable = dir->filePath(QStringLiteral("nao-existe"));
        QVERIFY(!manager.copyExecutable(missing, unreachable, nullptr, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel copiar o executavel para: %1")
                                     .arg(QDir(unreachable).filePath(QStringLiteral("Kavendru.exe"))));
        QVERIFY(result.writtenPaths.isEmpty());
        QVERIFY(namesIn(bundle).isEmpty());
    }

    void copyDirectoryContentsCopiesVisibleContent()
    {
        const PortableBundleManager manager;
        const QString source = dir->filePath(QStringLiteral("runtime"));
        QVERIFY(makeFile(source + QStringLiteral("/Kavendru"), "programa"));
        QVERIFY(makeFile(source + QStringLiteral("/lib/libQt6Core.so.6"), "qt"));
        QVERIFY(makeFile(source + QStringLiteral("/plugins/platforms/libqxcb.so"), "xcb"));
        QVERIFY(makeFile(source + QStringLiteral("/.oculto"), "nao"));
        QVERIFY(makeFile(source + QStringLiteral("/.git/config"), "nao"));
        QVERIFY(makeFile(dir->filePath(QStringLiteral("outside/real.txt")), "conteudo ligado"));
        QVERIFY(QFile::link(dir->filePath(QStringLiteral("outside/real.txt")), source + QStringLiteral("/ligado.txt")));
        QVERIFY(QFile::link(dir->filePath(QStringLiteral("outside")), source + QStringLiteral("/pasta-ligada")));
        QVERIFY(QFile::link(dir->filePath(QStringLiteral("nada")), source + QStringLiteral("/quebrado")));

        const QString target = dir->filePath(QStringLiteral("drive/Kavendru/linux"));
        QVERIFY(makeFile(target + QStringLiteral("/antigo.txt"), "fica"));
        PortableBundleResult result;
        QVERIFY(manager.copyDirectoryContents(source, target, &result));
        QCOMPARE(tree(target), QStringList({"Kavendru", "antigo.txt", "lib/", "lib/libQt6Core.so.6", "ligado.txt",
                                            "pasta-ligada/", "pasta-ligada/real.txt", "plugins/",
                                            "plugins/platforms/", "plugins/platforms/libqxcb.so"}));
        QVERIFY(!QFileInfo(target + QStringLiteral("/ligado.txt")).isSymLink());
        QCOMPARE(KavendruTest::readWholeFile(target + QStringLiteral("/ligado.txt")), QByteArray("conteudo ligado"));
        QVERIFY(!QFileInfo(target + QStringLiteral("/pasta-ligada")).isSymLink());
        QCOMPARE(result.writtenPaths.first(), target);
        QVERIFY(result.writtenPaths.contains(target + QStringLiteral("/plugins/platforms/libqxcb.so")));
    }

    void copyDirectoryContentsEndsOnLoops()
    {
        const PortableBundleManager manager;
        const QString source = dir->filePath(QStringLiteral("runtime"));
        QVERIFY(makeFile(source + QStringLiteral("/lib/libfoo.so"), "foo"));
        QVERIFY(QFile::link(source, source + QStringLiteral("/lib/de-volta")));
        QVERIFY(QFile::link(QStringLiteral("."), source + QStringLiteral("/aqui")));

        const QString target = dir->filePath(QStringLiteral("drive"));
        PortableBundleResult result;
        QVERIFY(manager.copyDirectoryContents(source, target, &result));
        QCOMPARE(tree(target), QStringList({"lib/", "lib/libfoo.so"}));
    }

    void copyDirectoryContentsRefuses()
    {
        const PortableBundleManager manager;
        const QString source = dir->filePath(QStringLiteral("runtime"));
        QVERIFY(makeFile(source + QStringLiteral("/Kavendru.exe"), "programa"));
        PortableBundleResult result;

        const QString missing = dir->filePath(QStringLiteral("sem-runtime"));
        QVERIFY(!manager.copyDirectoryContents(missing, dir->filePath(QStringLiteral("drive")), &result));
        QCOMPARE(result.message, QStringLiteral("Pasta de origem nao encontrada: %1").arg(missing));

        // Into a folder inside itself, also when reached through a link.
        QVERIFY(QFile::link(source, dir->filePath(QStringLiteral("atalho"))));
        for (const QString& inside : {source + QStringLiteral("/Kavendru/windows"),
                                      dir->filePath(QStringLiteral("atalho/drive"))}) {
            QVERIFY(!manager.copyDirectoryContents(source, inside, &result));
            QCOMPARE(result.message,
                     QStringLiteral("Nao foi possivel copiar a pasta para dentro dela mesma: %1").arg(source));
        }
        QCOMPARE(tree(source), QStringList{QStringLiteral("Kavendru.exe")});

        // A linked folder among the targets is refused too.
        QVERIFY(makeFile(source + QStringLiteral("/platforms/qwindows.dll"), "dll"));
        const QString target = dir->filePath(QStringLiteral("drive"));
        const QString elsewhere = dir->filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkpath(target));
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(QFile::link(elsewhere, target + QStringLiteral("/platforms")));
        QVERIFY(!manager.copyDirectoryContents(source, target, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel criar a pasta: %1").arg(target + "/platforms"));
        QVERIFY(namesIn(elsewhere).isEmpty());
    }

    void copyAdjacentRuntimeLibraries()
    {
        const PortableBundleManager manager;
        const QString source = dir->filePath(QStringLiteral("runtime"));
        QVERIFY(makeFile(source + QStringLiteral("/Kavendru.exe"), "programa"));
        QVERIFY(makeFile(source + QStringLiteral("/Qt6Core.dll"), "qt"));
        QVERIFY(makeFile(source + QStringLiteral("/MSVCP140.DLL"), "msvcp"));
        QVERIFY(makeFile(source + QStringLiteral("/.oculta.dll"), "nao"));
        QVERIFY(makeFile(source + QStringLiteral("/leia.txt"), "nao"));
        QVERIFY(makeFile(source + QStringLiteral("/platforms/qwindows.dll"), "nao"));
        const QString target = dir->filePath(QStringLiteral("windows"));
        QVERIFY(QDir().mkpath(target));

        PortableBundleResult result;
        QVERIFY(manager.copyAdjacentRuntimeLibraries(target, source, &result));
        QCOMPARE(tree(target), QStringList({"MSVCP140.DLL", "Qt6Core.dll"}));
        QCOMPARE(result.writtenPaths.size(), 2);

        // The folder onto itself records nothing; no DLL at all succeeds.
        result = PortableBundleResult();
        QVERIFY(manager.copyAdjacentRuntimeLibraries(target, target, &result));
        QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("vazio"))));
        QVERIFY(manager.copyAdjacentRuntimeLibraries(target, dir->filePath(QStringLiteral("vazio")), &result));
        QVERIFY(result.writtenPaths.isEmpty());

        const QString victim = dir->filePath(QStringLiteral("victim"));
        QVERIFY(makeFile(victim, "v"));
        QVERIFY(QFile::remove(target + QStringLiteral("/Qt6Core.dll")));
        QVERIFY(QFile::link(victim, target + QStringLiteral("/Qt6Core.dll")));
        QVERIFY(!manager.copyAdjacentRuntimeLibraries(target, source, &result));
        QCOMPARE(result.message, QStringLiteral("Nao foi possivel copiar a biblioteca: Qt6Core.dll"));
        QCOMPARE(KavendruTest::readWholeFile(victim), QByteArray("v"));
    }

    void runtimeHelpersWithoutCaller()
    {
        const PortableBundleManager manager;
        PortableBundleResult result;
        const QString target = dir->filePath(QStringLiteral("linux"));
        QVERIFY(QDir().mkpath(target));
        QString copied;
        QVERIFY(manager.copyCurrentExecutable(target, &copied, &result));
        QCOMPARE(copied, QDir(target).filePath(QStringLiteral("Kavendru")));
        QCOMPARE(KavendruTest::sha256OfFile(copied),
                 KavendruTest::sha256OfFile(QCoreApplication::applicationFilePath()));

        result = PortableBundleResult();
        QVERIFY(manager.copyDeployedRuntime(target, target, &result));
        QCOMPARE(result.writtenPaths, QStringList{target});
        QVERIFY(manager.deployWindowsRuntime(copied, target, &result));
        QCOMPARE(result.writtenPaths, QStringList{target});
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
};

KAVENDRU_TEST_MAIN(BundleFilesTest)
#include "tst_bundlefiles.moc"

#include "core/VaultManager.h"

#include "VaultFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Kavendru::Core;
using namespace KavendruTest;

namespace {

const QByteArray kPassword("senha-de-teste-longa");
constexpr qint64 kStart = ContainerManager::PayloadStart;

struct Call {
    qint64 done;
    qint64 total;
    QString label;
    bool operator==(const Call& other) const
    {
        return done == other.done && total == other.total && label == other.label;
    }
};

bool chattr(const QString& flag, const QString& path)
{
    return QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0;
}

// Another program fills the stick right after the old container is gone.
ProgressCallback fillWhenCopyBackStarts(const QString& filler)
{
    return [filler](qint64 done, qint64, const QString& label) {
        if (done != 0 || label != QLatin1String("Substituindo container no USB"))
            return;
        QFile fill(filler);
        if (!fill.open(QIODevice::WriteOnly))
            return;
        const QByteArray chunk(1024 * 1024, 'f');
        while (fill.write(chunk) > 0 && fill.flush()) {
        }
    };
}

} // namespace

class CompactionTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { baseTempPath(); }

    void init()
    {
        expected.clear();
        QVERIFY(openFreshVault(kPassword, &temp, &tmp, &containerPath, &vault));
    }

    void cleanup()
    {
        vault->lockVault();
        vault.reset();
    }

    void emptyVaultProgress()
    {
        QList<Call> calls;
        QString preserved = QStringLiteral("texto antigo");
        QVERIFY(vault->compactVault([&](qint64 d, qint64 t, const QString& l) { calls.append({d, t, l}); }, &preserved));
        QVERIFY(preserved.isEmpty());
        const QString label = QStringLiteral("Substituindo container no USB");
        QCOMPARE(calls, (QList<Call>{{0, kStart, label}, {8388608, kStart, label}, {kStart, kStart, label}}));
        QCOMPARE(fileSize(containerPath), kStart);
        QVERIFY(compactionFolders().isEmpty());
    }

    void deletedAndReplacedBlocksGo()
    {
        importRandom("manter.bin", VaultManager::BlockSize + 700, 1);
        importRandom("apagar.bin", 300000, 2);
        importRandom("trocar.bin", 5000, 3);
        importRandom("TROCAR.bin", 7000, 4);
        importRandom("Pasta/fim.bin", 10, 5);
        QVERIFY(vault->createDirectory("Vazia"));
        QVERIFY(vault->deleteFile("apagar.bin"));
        const QJsonObject oldCrypto = readHeaderJson(containerPath).value("crypto").toObject();

        QList<Call> calls;
        QVERIFY(vault->compactVault([&](qint64 d, qint64 t, const QString& l) { calls.append({d, t, l}); }, nullptr));

        // Phase 1: one call per live block, by file.
        const qint64 total = VaultManager::BlockSize + 700 + 7000 + 10;
        QCOMPARE(calls.at(0), (Call{VaultManager::BlockSize, total, "manter.bin"}));
        QCOMPARE(calls.at(1), (Call{VaultManager::BlockSize + 700, total, "manter.bin"}));
        QCOMPARE(calls.at(2), (Call{VaultManager::BlockSize + 7700, total, "TROCAR.bin"}));
        QCOMPARE(calls.at(3), (Call{total, total, "Pasta/fim.bin"}));

        const qint64 live = total + 4 * 16;
        QCOMPARE(fileSize(containerPath), kStart + live);
        qint64 offset = kStart;
        for (const VaultFileEntry& entry : vault->fileIndex().entries()) {
            for (const VaultFileBlock& block : entry.blocks) {
                QCOMPARE(block.offset, offset);
                offset += block.encryptedSize;
            }
        }
        QCOMPARE(vault->fileIndex().directories().size(), 2);
        expectExports();

        const QJsonObject newCrypto = readHeaderJson(containerPath).value("crypto").toObject();
        QVERIFY(newCrypto.value("payloadNonce") != oldCrypto.value("payloadNonce"));
        for (const char* key : {"salt", "nonce", "encryptedMasterKey", "kdf", "kdfIterations"})
            QCOMPARE(newCrypto.value(key), oldCrypto.value(key));

        vault->lockVault();
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        expectExports();
        QVERIFY(compactionFolders().isEmpty());
        // The vault goes on working after compaction.
        importRandom("depois.bin", 100, 6);
    }

    void unreadableSourceLeavesAllAsItWas()
    {
        importRandom("a.bin", 1000, 1);
        importRandom("b.bin", 1000, 2);
        // The drive lost the end of the last block.
        QVERIFY(QFile::resize(containerPath, fileSize(containerPath) - 10));
        expectRefusedBeforeDeletion();
    }

    void undeletableContainerLeavesAllAsItWas()
    {
        importRandom("a.bin", 1000, 1);
        if (!chattr("+i", containerPath))
            QSKIP("file system without the immutable attribute");
        expectRefusedBeforeDeletion();
        QVERIFY(chattr("-i", containerPath));
    }

    void refusedWhileLocked()
    {
        vault->lockVault();
        QString preserved = QStringLiteral("x");
        QVERIFY(!vault->compactVault(ProgressCallback(), &preserved));
        QVERIFY(preserved.isEmpty());
        QVERIFY(compactionFolders().isEmpty());
    }

    void fullDriveDuringCopyBack_data()
    {
        QTest::addColumn<bool>("askForPath");
        QTest::newRow("preserved path asked for") << true;
        QTest::newRow("no preserved path") << false;
    }

    void fullDriveDuringCopyBack()
    {
        QFETCH(bool, askForPath);
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a private tmpfs");
        vault->lockVault();
        ScopedTmpfs stick(temp->filePath("stick"), 16 * 1024 * 1024);
        QVERIFY(stick.isMounted());
        containerPath = QDir(stick.path()).filePath("kavendru.susb");
        QVERIFY(writeFastVault(containerPath, kPassword));
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        importRandom("a.bin", 200000, 1);
        importRandom("b.bin", 300000, 2);
        importRandom("c.bin", 400000, 3);
        QVERIFY(vault->deleteFile("b.bin"));

        const QString filler = QDir(stick.path()).filePath("outro-programa.dat");
        QString preserved;
        QVERIFY(!vault->compactVault(fillWhenCopyBackStarts(filler), askForPath ? &preserved : nullptr));
        QCOMPARE(vault->state(), VaultManager::Unlocked);
        QVERIFY(!QFileInfo::exists(containerPath));
        const QStringList folders = compactionFolders();
        QCOMPARE(folders.size(), 1);
        const QString rebuilt = QDir(QDir(tmp).filePath(folders.first())).filePath("kavendru.susb");
        QVERIFY(QFileInfo::exists(rebuilt));
        QCOMPARE(preserved, askForPath ? rebuilt : QString());

        // The user frees space and puts the preserved container back: the
        // vault, still unlocked, must point at its blocks.
        QVERIFY(QFile::remove(filler));
        QVERIFY(QFile::copy(rebuilt, containerPath));
        expectExports();
        importRandom("d.bin", 1000, 4);
        vault->lockVault();
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        expectExports();
    }

    void routeFollowsTheRoomOnTheDrive_data()
    {
        QTest::addColumn<qint64>("driveSize");
        QTest::addColumn<bool>("oldKeptWhileCopying");
        QTest::newRow("room for both") << qint64(64) * 1024 * 1024 << true;
        QTest::newRow("room for one") << qint64(16) * 1024 * 1024 << false;
    }

    void routeFollowsTheRoomOnTheDrive()
    {
        QFETCH(qint64, driveSize);
        QFETCH(bool, oldKeptWhileCopying);
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a private tmpfs");
        ScopedTmpfs stick(temp->filePath("stick"), driveSize);
        vaultOnStick(stick, 3000000);

        const QByteArray old = sha256OfFile(containerPath);
        int oldSeen = -1;
        const auto watch = [&](qint64 done, qint64, const QString& label) {
            if (done == 0 && label == QLatin1String("Substituindo container no USB"))
                oldSeen = sha256OfFile(containerPath) == old ? 1 : 0;
        };
        QVERIFY(vault->compactVault(watch, nullptr));
        QCOMPARE(oldSeen, oldKeptWhileCopying ? 1 : 0);
        QCOMPARE(QDir(stick.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"kavendru.susb"});
        expectExports();
        vault->lockVault();
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        expectExports();
    }

    void driveFillingUpWhileCopyingKeepsTheOld()
    {
        // Room for both when compaction starts, but another program takes
        // it while the rebuilt container is copied beside the old one.
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a private tmpfs");
        ScopedTmpfs stick(temp->filePath("stick"), 40 * 1024 * 1024);
        vaultOnStick(stick, 300000);
        const QByteArray before = sha256OfFile(containerPath);
        const QByteArray indexBefore = vault->fileIndex().toJson();

        const QString filler = QDir(stick.path()).filePath("outro-programa.dat");
        QString preserved = QStringLiteral("texto antigo");
        QVERIFY(!vault->compactVault(fillWhenCopyBackStarts(filler), &preserved));
        QVERIFY(preserved.isEmpty());
        QCOMPARE(sha256OfFile(containerPath), before);
        QCOMPARE(vault->fileIndex().toJson(), indexBefore);
        QVERIFY(compactionFolders().isEmpty());
        QCOMPARE(QDir(stick.path()).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{"kavendru.susb", "outro-programa.dat"}));
        expectExports();

        QVERIFY(QFile::remove(filler));
        QVERIFY(vault->compactVault(ProgressCallback(), nullptr));
        expectExports();
    }

    void killedCompactionLeavesAWholeContainer_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<int>("call");
        const QString rebuilding = QStringLiteral("rebuilding");
        const QString copying = QStringLiteral("Substituindo container no USB");
        // Three blocks to rebuild, three chunks to copy back.
        QTest::newRow("first block rebuilt") << rebuilding << 1;
        QTest::newRow("last block rebuilt") << rebuilding << 3;
        QTest::newRow("copy back starting") << copying << 1;
        QTest::newRow("first chunk copied") << copying << 2;
        QTest::newRow("last chunk copied") << copying << 4;
    }

    void killedCompactionLeavesAWholeContainer()
    {
        QFETCH(QString, phase);
        QFETCH(int, call);
        importRandom("grande.bin", 9000000, 1);
        importRandom("apagado.bin", 2000000, 2);
        importRandom("medio.bin", 1000000, 3);
        importRandom("docs/pequeno.txt", 1000, 4);
        QVERIFY(vault->deleteFile("apagado.bin"));
        const QByteArray before = sha256OfFile(containerPath);

        VaultManager* manager = vault.get();
        const int code = runInChild([manager, phase, call]() {
            int calls = 0;
            const auto killAt = [&](qint64, qint64, const QString& label) {
                const bool copying = label == QLatin1String("Substituindo container no USB");
                if (copying == (phase != QLatin1String("rebuilding")) && ++calls == call)
                    ::raise(SIGKILL);
            };
            manager->compactVault(killAt, nullptr);
            return 1;
        });
        QCOMPARE(code, 128 + SIGKILL);
        QCOMPARE(sha256OfFile(containerPath), before);

        VaultManager after;
        QVERIFY(after.unlockVault(containerPath, kPassword));
        QCOMPARE(after.fileIndex().entries().size(), 3);
        const QString out = temp->filePath("export.bin");
        for (const VaultFileEntry& entry : after.fileIndex().entries()) {
            QVERIFY(after.exportFile(entry.vaultPath, out));
            QCOMPARE(sha256OfFile(out), expected.value(entry.vaultPath.toLower()));
            QCOMPARE(sha256OfFile(out), entry.sha256.toHex());
        }
        QVERIFY(after.lockVault());
    }

private:
    // A vault on the stick with one file and the blocks of a deleted one.
    void vaultOnStick(const ScopedTmpfs& stick, qint64 deletedSize)
    {
        QVERIFY(stick.isMounted());
        vault->lockVault();
        containerPath = QDir(stick.path()).filePath("kavendru.susb");
        QVERIFY(writeFastVault(containerPath, kPassword));
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        importRandom("a.bin", 200000, 1);
        importRandom("b.bin", deletedSize, 2);
        QVERIFY(vault->deleteFile("b.bin"));
    }

    QStringList compactionFolders() const
    {
        return QDir(tmp).entryList({QStringLiteral("Kavendru-compact-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    void importRandom(const QString& vaultPath, qint64 size, quint32 seed)
    {
        const QString source = temp->filePath(QStringLiteral("src-%1").arg(seed));
        QVERIFY(writeRandomFile(source, size, seed));
        QVERIFY(vault->importFile(source, vaultPath));
        expected.insert(vaultPath.toLower(), sha256OfFile(source));
    }

    void expectExports()
    {
        for (const VaultFileEntry& entry : vault->fileIndex().entries()) {
            const QString out = temp->filePath("export.bin");
            QVERIFY2(vault->exportFile(entry.vaultPath, out), qPrintable(entry.vaultPath));
            QCOMPARE(sha256OfFile(out), expected.value(entry.vaultPath.toLower()));
        }
    }

    void expectRefusedBeforeDeletion()
    {
        const QByteArray before = sha256OfFile(containerPath);
        const QByteArray indexBefore = vault->fileIndex().toJson();
        QString preserved = QStringLiteral("texto antigo");
        QVERIFY(!vault->compactVault(ProgressCallback(), &preserved));
        QVERIFY(preserved.isEmpty());
        QCOMPARE(sha256OfFile(containerPath), before);
        QCOMPARE(vault->fileIndex().toJson(), indexBefore);
        QVERIFY(compactionFolders().isEmpty());
        QCOMPARE(vault->state(), VaultManager::Unlocked);
    }

    std::unique_ptr<QTemporaryDir> temp;
    QString tmp;
    QString containerPath;
    std::unique_ptr<VaultManager> vault;
    QHash<QString, QByteArray> expected;
};

KAVENDRU_TEST_MAIN(CompactionTest)
#include "tst_compaction.moc"

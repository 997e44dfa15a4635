// A power cut or a pulled stick while the header is rewritten in place: the
// rollback journal beside the container brings back the header of before.
#include "core/VaultManager.h"

#include "VaultFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Kavendru::Core;
using namespace KavendruTest;

namespace {

const QByteArray kPassword("senha-de-teste-longa");
const QByteArray kOtherPassword("outra-senha-bem-longa");
const QByteArray kNewPassword("senha-nova-comprida");

qint64 headerLength(const QByteArray& container)
{
    return container.mid(7, 20).trimmed().toLongLong();
}

// The index with many more folders: its header is far longer, so the
// journal of the short one is whole long before the rewrite is cut.
SecureFileIndex withManyFolders(SecureFileIndex index)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < 300; ++i)
        index.addDirectory(VaultDirectoryEntry{QStringLiteral("Pasta nova %1").arg(i), now, now});
    return index;
}

} // namespace

class HeaderJournalTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { baseTempPath(); }

    void init()
    {
        QVERIFY(openFreshVault(kPassword, &temp, &tmp, &containerPath, &vault));
        for (int i = 0; i < 4; ++i) {
            const QString source = temp->filePath(QStringLiteral("fonte-%1").arg(i));
            QVERIFY(writeRandomFile(source, 30000 + i, quint32(i + 1)));
            QVERIFY(vault->importFile(source, QStringLiteral("docs/arquivo-%1.bin").arg(i)));
            hashes.insert(QStringLiteral("docs/arquivo-%1.bin").arg(i), sha256OfFile(source));
        }
        QVERIFY(vault->createDirectory("Vazia"));
        indexBefore = vault->fileIndex().toJson();
        containerBefore = readWholeFile(containerPath);
        journal = ContainerManager().headerJournalPath(containerPath);
        QVERIFY(!QFileInfo::exists(journal));
    }

    void cleanup()
    {
        if (vault)
            vault->lockVault();
        vault.reset();
        hashes.clear();
    }

    void interruptedRewriteIsUndoneAtUnlock_data()
    {
        QTest::addColumn<bool>("byHand");
        QTest::newRow("cut by a power cut") << false;
        QTest::newRow("index overwritten by hand") << true;
    }

    void interruptedRewriteIsUndoneAtUnlock()
    {
        QFETCH(bool, byHand);
        const qint64 limit = tearSave(*vault);
        QVERIFY(limit > 0);
        QVERIFY(vault->lockVault());
        ContainerDocument read;
        if (byHand) {
            // The old header back in place, but for a run of its index:
            // the header reads and the key unwraps; the index does not
            // authenticate.
            QByteArray area = containerBefore.mid(7, limit - 7);
            const qint64 middle = 28 + headerLength(containerBefore) / 2 - 7;
            area.replace(middle, 8, "AAAABBBB");
            QFile file(containerPath);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(7) && file.write(area) == area.size() && file.flush());
            file.close();
            QVERIFY(ContainerManager().readDocument(containerPath, &read));
        } else {
            QVERIFY(!ContainerManager().readDocument(containerPath, &read));
        }
        QVERIFY(QFileInfo::exists(journal));

        // A mistyped password changes nothing.
        const QByteArray damaged = readWholeFile(containerPath);
        const QByteArray journalBytes = readWholeFile(journal);
        VaultManager again;
        QVERIFY(!again.unlockVault(containerPath, "senha-errada-qualquer"));
        QCOMPARE(readWholeFile(containerPath), damaged);
        QCOMPARE(readWholeFile(journal), journalBytes);

        QVERIFY(again.unlockVault(containerPath, kPassword));
        QCOMPARE(again.fileIndex().toJson(), indexBefore);
        QCOMPARE(readWholeFile(containerPath), containerBefore);
        QVERIFY(!QFileInfo::exists(journal));
        expectFiles(again);
        // The vault goes on working, and leaves no journal behind.
        QVERIFY(again.createDirectory("Depois"));
        QVERIFY(again.renameFile("docs/arquivo-0.bin", "docs/renomeado.bin"));
        QVERIFY(!QFileInfo::exists(journal));
        QVERIFY(again.lockVault());
    }

    void staleJournalIsRemovedAndIgnored()
    {
        QVERIFY(tearSave(*vault) > 0);
        QVERIFY(vault->lockVault());
        const QByteArray stale = readWholeFile(journal);
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QVERIFY(vault->createDirectory("Depois"));
        const QByteArray indexAfter = vault->fileIndex().toJson();
        QVERIFY(vault->lockVault());

        // The journal of the old cut comes back beside a container that
        // opens: it is not applied, and it goes.
        QVERIFY(writeWholeFile(journal, stale));
        const QByteArray container = readWholeFile(containerPath);
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        QCOMPARE(vault->fileIndex().toJson(), indexAfter);
        QCOMPARE(readWholeFile(containerPath), container);
        QVERIFY(!QFileInfo::exists(journal));
    }

    void finishedPasswordChangeIsNotUndone()
    {
        // A journal that holds a header under the old password lies beside
        // a container whose password change finished: the old password
        // must not bring the old header back.
        QVERIFY(tearSave(*vault) > 0);
        QVERIFY(vault->lockVault());
        const QByteArray stale = readWholeFile(journal);
        QVERIFY(vault->changePassword(containerPath, kPassword, kNewPassword));
        QVERIFY(writeWholeFile(journal, stale));
        const QByteArray changed = readWholeFile(containerPath);
        QVERIFY(!vault->unlockVault(containerPath, kPassword));
        QCOMPARE(readWholeFile(containerPath), changed);
        QVERIFY(QFileInfo::exists(journal));
        QVERIFY(vault->unlockVault(containerPath, kNewPassword));
        QCOMPARE(vault->fileIndex().toJson(), indexBefore);
        QVERIFY(!QFileInfo::exists(journal));
    }

    void unusableJournalIsNotApplied_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("cut short") << "cut short";
        QTest::newRow("one byte changed") << "one byte changed";
        QTest::newRow("another vault's journal") << "another vault";
    }

    void unusableJournalIsNotApplied()
    {
        QFETCH(QString, kind);
        QVERIFY(tearSave(*vault) > 0);
        QVERIFY(vault->lockVault());
        QByteArray bytes = readWholeFile(journal);
        if (kind == QLatin1String("cut short")) {
            bytes.truncate(bytes.size() - 40);
        } else if (kind == QLatin1String("one byte changed")) {
            bytes[100] = char(bytes.at(100) ^ 0x20);
        } else {
            // Another vault, under another password, cut the same way.
            const QString otherPath = temp->filePath("outro.susb");
            QVERIFY(writeFastVault(otherPath, kOtherPassword));
            VaultManager other;
            QVERIFY(other.unlockVault(otherPath, kOtherPassword));
            QVERIFY(tearSave(other) > 0);
            bytes = readWholeFile(ContainerManager().headerJournalPath(otherPath));
            QVERIFY(other.lockVault());
        }
        QVERIFY(writeWholeFile(journal, bytes));
        const QByteArray damaged = readWholeFile(containerPath);
        QVERIFY(!vault->unlockVault(containerPath, kPassword));
        QCOMPARE(readWholeFile(containerPath), damaged);
        QCOMPARE(readWholeFile(journal), bytes);
        QCOMPARE(vault->state(), VaultManager::Locked);
    }

    void passwordChangeAfterAnInterruptedRewrite()
    {
        QVERIFY(tearSave(*vault) > 0);
        QVERIFY(vault->lockVault());
        QVERIFY(!vault->changePassword(containerPath, "senha-errada-qualquer", kNewPassword));
        QVERIFY(vault->changePassword(containerPath, kPassword, kNewPassword));
        QVERIFY(!QFileInfo::exists(journal));
        QVERIFY(!vault->unlockVault(containerPath, kPassword));
        QVERIFY(vault->unlockVault(containerPath, kNewPassword));
        QCOMPARE(vault->fileIndex().toJson(), indexBefore);
        expectFiles(*vault);
    }

    void passwordChangeRefusesAnIndexThatDoesNotAuthenticate()
    {
        QVERIFY(vault->lockVault());
        QByteArray bytes = containerBefore;
        const qint64 middle = 28 + headerLength(containerBefore) / 2;
        bytes.replace(middle, 8, "AAAABBBB");
        QVERIFY(writeWholeFile(containerPath, bytes));
        QVERIFY(!vault->changePassword(containerPath, kPassword, kNewPassword));
        QCOMPARE(readWholeFile(containerPath), bytes);
        QVERIFY(!QFileInfo::exists(journal));
    }

private:
    // Saves a much longer index in a child that a power cut stops inside
    // the header rewrite: the first write past the limit kills it. Returns
    // the limit.
    qint64 tearSave(VaultManager& manager)
    {
        VaultManager* target = &manager;
        const SecureFileIndex grown = withManyFolders(manager.fileIndex());
        const qint64 limit = 28 + headerLength(readWholeFile(containerOf(manager))) + 4096;
        const int code = runInChild([target, grown, limit]() {
            if (!killAtFileSize(limit))
                return 3;
            target->saveIndex(grown);
            return 1;
        });
        return code == 128 + SIGXFSZ ? limit : -1;
    }

    QString containerOf(const VaultManager& manager) const
    {
        return &manager == vault.get() ? containerPath : temp->filePath("outro.susb");
    }

    void expectFiles(const VaultManager& manager)
    {
        const QString out = temp->filePath("saida.bin");
        for (const VaultFileEntry& entry : manager.fileIndex().entries()) {
            QVERIFY(manager.exportFile(entry.vaultPath, out));
            QCOMPARE(sha256OfFile(out), hashes.value(entry.vaultPath));
            QCOMPARE(sha256OfFile(out), entry.sha256.toHex());
        }
    }

    std::unique_ptr<QTemporaryDir> temp;
    QString tmp;
    QString containerPath;
    QString journal;
    std::unique_ptr<VaultManager> vault;
    QHash<QString, QByteArray> hashes;
    QByteArray indexBefore;
    QByteArray containerBefore;
};

KAVENDRU_TEST_MAIN(HeaderJournalTest)
#include "tst_headerjournal.moc"

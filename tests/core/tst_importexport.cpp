#include "core/CryptoManager.h"
#include "core/VaultManager.h"

#include "VaultFixtures.h"
#include "common/TestSupport.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Kavendru::Core;
using namespace KavendruTest;

namespace {

const QByteArray kPassword("senha-de-teste-longa");
constexpr qint64 kBlock = VaultManager::BlockSize;

struct ProgressCall {
    qint64 done;
    qint64 total;
    QString label;
};

bool sameIndex(const SecureFileIndex& a, const SecureFileIndex& b)
{
    return a.toJson() == b.toJson();
}

} // namespace

class ImportExportTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { baseTempPath(); }

    void init()
    {
        QVERIFY(openFreshVault(kPassword, &temp, &tmp, &containerPath, &vault));
    }

    void cleanup()
    {
        if (vault)
            vault->lockVault();
        vault.reset();
    }

    void blockBoundaries_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("empty") << qint64(0);
        QTest::newRow("one byte") << qint64(1);
        QTest::newRow("block minus one") << kBlock - 1;
        QTest::newRow("one block") << kBlock;
        QTest::newRow("block plus one") << kBlock + 1;
        QTest::newRow("two blocks plus one") << 2 * kBlock + 1;
    }

    void blockBoundaries()
    {
        QFETCH(qint64, size);
        const QString source = temp->filePath("origem.bin");
        QVERIFY(writeRandomFile(source, size, quint32(size)));
        const QDateTime modified(QDate(2023, 7, 1), QTime(8, 30, 0, 250), Qt::UTC);
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
        }
        const qint64 before = fileSize(containerPath);
        const QString nonceBefore = readHeaderJson(containerPath).value("crypto").toObject().value("payloadNonce").toString();

        QList<ProgressCall> calls;
        QVERIFY(vault->importFile(source, " Pasta\\dados.bin ", [&](qint64 done, qint64 total, const QString& label) {
            calls.append({done, total, label});
        }));

        const SecureFileIndex index = vault->fileIndex();
        QCOMPARE(index.entries().size(), 1);
        const VaultFileEntry entry = index.entries().first();
        QCOMPARE(entry.vaultPath, QStringLiteral("Pasta/dados.bin"));
        QCOMPARE(entry.id.size(), 36);
        QCOMPARE(entry.sizeBytes, size);
        QCOMPARE(entry.lastModifiedUtc, modified);
        QCOMPARE(entry.sha256.toHex(), sha256OfFile(source));

        const qint64 expectedBlocks = (size + kBlock - 1) / kBlock;
        QCOMPARE(qint64(entry.blocks.size()), expectedBlocks);
        QCOMPARE(qint64(calls.size()), expectedBlocks);
        qint64 offset = before;
        qint64 done = 0;
        for (int i = 0; i < entry.blocks.size(); ++i) {
            const VaultFileBlock& block = entry.blocks.at(i);
            const qint64 plain = std::min(kBlock, size - done);
            QCOMPARE(block.offset, offset);
            QCOMPARE(block.plainSize, plain);
            QCOMPARE(block.encryptedSize, plain + 16);
            QCOMPARE(block.nonce.size(), 24);
            offset += block.encryptedSize;
            done += plain;
            QCOMPARE(calls.at(i).done, done);
            QCOMPARE(calls.at(i).total, size);
            QCOMPARE(calls.at(i).label, QStringLiteral("Pasta/dados.bin"));
        }
        QCOMPARE(fileSize(containerPath), offset);
        // The header was rewritten even for an empty file.
        QVERIFY(readHeaderJson(containerPath).value("crypto").toObject().value("payloadNonce").toString() != nonceBefore);

        const QString exported = temp->filePath("exportado.bin");
        QVERIFY(vault->exportFile("pasta/DADOS.bin", exported));
        QCOMPARE(sha256OfFile(exported), sha256OfFile(source));
        QCOMPARE(fileSize(exported), size);

        // Another manager reads the same thing back from the drive.
        vault->lockVault();
        VaultManager again;
        QVERIFY(again.unlockVault(containerPath, kPassword));
        QVERIFY(sameIndex(again.fileIndex(), index));
        again.lockVault();
    }

    void replaceAcrossCase()
    {
        const QString source = temp->filePath("n.txt");
        QVERIFY(writeWholeFile(source, "primeira"));
        QVERIFY(vault->importFile(source, "Notas.TXT"));
        const QString firstId = vault->fileIndex().entries().first().id;
        const qint64 afterFirst = fileSize(containerPath);
        QVERIFY(writeWholeFile(source, "segunda versao"));
        QVERIFY(vault->importFile(source, "notas.txt"));
        const QList<VaultFileEntry> entries = vault->fileIndex().entries();
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first().vaultPath, QStringLiteral("notas.txt"));
        QVERIFY(entries.first().id != firstId);
        // The old blocks stay until compaction.
        QCOMPARE(fileSize(containerPath), afterFirst + 14 + 16);
    }

    void ancestorsShareOneTime()
    {
        const QString source = temp->filePath("c.txt");
        QVERIFY(writeWholeFile(source, "c"));
        QVERIFY(vault->createDirectory("Existente"));
        QVERIFY(vault->importFile(source, "a/b/c.txt"));
        const QList<VaultDirectoryEntry> folders = vault->fileIndex().directories();
        QCOMPARE(folders.size(), 3);
        QCOMPARE(folders.at(0).path, QStringLiteral("Existente"));
        QCOMPARE(folders.at(1).path, QStringLiteral("a"));
        QCOMPARE(folders.at(2).path, QStringLiteral("a/b"));
        QCOMPARE(folders.at(1).createdUtc, folders.at(2).createdUtc);
        // An existing folder in another case is not added again.
        QVERIFY(vault->importFile(source, "A/B/d.txt"));
        QCOMPARE(vault->fileIndex().directories().size(), 3);
    }

    void refusedImports_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("vaultPath");
        QTest::newRow("dot dot") << "file" << "../x";
        QTest::newRow("dot part") << "file" << "a/./b";
        QTest::newRow("empty path") << "file" << "  ";
        QTest::newRow("missing source") << "missing" << "x.txt";
        QTest::newRow("folder source") << "folder" << "x.txt";
        QTest::newRow("container itself") << "container" << "x.susb";
        QTest::newRow("container via symlink") << "container-link" << "x.susb";
        QTest::newRow("container via dot spelling") << "container-dot" << "x.susb";
        QTest::newRow("onto a folder") << "file" << "PASTA";
    }

    void refusedImports()
    {
        QFETCH(QString, source);
        QFETCH(QString, vaultPath);
        QVERIFY(vault->createDirectory("Pasta"));
        const QString file = temp->filePath("arquivo.txt");
        QVERIFY(writeWholeFile(file, "conteudo"));
        QString sourcePath = file;
        if (source == "missing")
            sourcePath = temp->filePath("nao-existe.txt");
        else if (source == "folder")
            sourcePath = temp->path();
        else if (source == "container")
            sourcePath = containerPath;
        else if (source == "container-link") {
            sourcePath = temp->filePath("link.susb");
            QVERIFY(QFile::link(containerPath, sourcePath));
        } else if (source == "container-dot")
            sourcePath = temp->path() + "/./tmp/../kavendru.susb";

        const QByteArray before = sha256OfFile(containerPath);
        const SecureFileIndex indexBefore = vault->fileIndex();
        QVERIFY(!vault->importFile(sourcePath, vaultPath));
        QCOMPARE(sha256OfFile(containerPath), before);
        QVERIFY(sameIndex(vault->fileIndex(), indexBefore));
    }

    void importWhileLocked()
    {
        const QString file = temp->filePath("a.txt");
        QVERIFY(writeWholeFile(file, "a"));
        vault->lockVault();
        const QByteArray before = sha256OfFile(containerPath);
        QVERIFY(!vault->importFile(file, "a.txt"));
        QCOMPARE(sha256OfFile(containerPath), before);
    }

    void rollbackOnFullDisk()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a private tmpfs");
        vault->lockVault();
        ScopedTmpfs disk(temp->filePath("stick"), 12 * 1024 * 1024);
        QVERIFY(disk.isMounted());
        containerPath = QDir(disk.path()).filePath("kavendru.susb");
        QVERIFY(writeFastVault(containerPath, kPassword));
        QVERIFY(vault->unlockVault(containerPath, kPassword));
        const QString small = temp->filePath("pequeno.txt");
        QVERIFY(writeWholeFile(small, "cabe"));
        QVERIFY(vault->importFile(small, "pequeno.txt"));

        const QString big = temp->filePath("grande.bin");
        QVERIFY(writeRandomFile(big, 6 * 1024 * 1024, 3));
        expectUnchangedAfter([&]() { return vault->importFile(big, "grande.bin"); });
        // Still a working vault.
        QVERIFY(vault->importFile(small, "outro.txt"));
    }

    void rollbackOnHeaderTooLong()
    {
        const QString small = temp->filePath("a.txt");
        QVERIFY(writeWholeFile(small, "conteudo"));
        QVERIFY(vault->importFile(small, "a.txt"));
        // The index of this path cannot fit in the 8 MiB header area.
        const QString hugePath = QString(7 * 1024 * 1024, QLatin1Char('p'));
        expectUnchangedAfter([&]() { return vault->importFile(small, hugePath); });
        QVERIFY(vault->importFile(small, "b.txt"));
    }

    void rollbackOnTornHeader()
    {
        const QString small = temp->filePath("a.txt");
        QVERIFY(writeWholeFile(small, "conteudo"));
        QVERIFY(vault->importFile(small, "a.txt"));
        const QString source = temp->filePath("b.bin");
        QVERIFY(writeRandomFile(source, 100000, 9));

        const qint64 sizeBefore = fileSize(containerPath);
        const QByteArray shaBefore = sha256OfFile(containerPath);
        const SecureFileIndex indexBefore = vault->fileIndex();
        VaultManager* manager = vault.get();
        // Past the journal of the old header, inside the new, longer one.
        const qint64 limit = 28 + readWholeFile(containerPath).mid(7, 20).trimmed().toLongLong() + 200;
        const int code = runInChild([&]() {
            // Once the last block is written, no write may reach past the
            // limit: the header rewrite tears.
            const bool imported =
                manager->importFile(source, "b.bin", [limit](qint64 done, qint64 total, const QString&) {
                    if (done >= total)
                        limitFileSize(limit);
                });
            if (imported)
                return 1;
            return sameIndex(manager->fileIndex(), indexBefore) ? 0 : 2;
        });
        QCOMPARE(code, 0);
        QCOMPARE(fileSize(containerPath), sizeBefore);
        QCOMPARE(sha256OfFile(containerPath), shaBefore);
        QVERIFY(!QFileInfo::exists(ContainerManager().headerJournalPath(containerPath)));
        // The header on the drive still matches the index this process holds.
        QVERIFY(vault->importFile(small, "c.txt"));
        const QString exported = temp->filePath("a-de-volta.txt");
        QVERIFY(vault->exportFile("a.txt", exported));
        QCOMPARE(readWholeFile(exported), QByteArray("conteudo"));
    }

    void exportToDevices()
    {
        const QString source = temp->filePath("a.bin");
        QVERIFY(writeRandomFile(source, kBlock + 100, 5));
        QVERIFY(vault->importFile(source, "docs/a.bin"));

        QBuffer buffer;
        QVERIFY(buffer.open(QIODevice::WriteOnly));
        QVERIFY(vault->writeVaultFileToDevice("DOCS/A.BIN", &buffer));
        QCOMPARE(buffer.data(), readWholeFile(source));
        QVERIFY(!vault->writeVaultFileToDevice("docs/a.bin", nullptr));
        QVERIFY(!vault->writeVaultFileToDevice("docs/outro.bin", &buffer));

        QVERIFY(vault->exportFile("docs/a.bin", "/dev/null"));
        struct stat info;
        QCOMPARE(::stat("/dev/null", &info), 0);
        QVERIFY(S_ISCHR(info.st_mode));
    }

    void exportRefusals()
    {
        const QString source = temp->filePath("a.txt");
        QVERIFY(writeWholeFile(source, "conteudo"));
        QVERIFY(vault->importFile(source, "a.txt"));
        const QByteArray before = sha256OfFile(containerPath);

        const QString missingDestination = temp->filePath("nada.txt");
        QVERIFY(!vault->exportFile("b.txt", missingDestination));
        QVERIFY(!QFileInfo::exists(missingDestination));
        QVERIFY(!vault->exportFile("../a.txt", missingDestination));
        QVERIFY(!QFileInfo::exists(missingDestination));

        // The container itself, by any name, is never a destination.
        const QString link = temp->filePath("link.susb");
        QVERIFY(QFile::link(containerPath, link));
        QVERIFY(!vault->exportFile("a.txt", link));
        QVERIFY(!vault->exportFile("a.txt", containerPath));
        QVERIFY(!vault->exportFile("a.txt", temp->path() + "/./kavendru.susb"));
        QCOMPARE(sha256OfFile(containerPath), before);

        vault->lockVault();
        QVERIFY(!vault->exportFile("a.txt", missingDestination));
        QVERIFY(!QFileInfo::exists(missingDestination));
    }

    void tamperedBlockLeavesNothing()
    {
        const QString source = temp->filePath("a.bin");
        QVERIFY(writeRandomFile(source, kBlock + 5000, 11));
        QVERIFY(vault->importFile(source, "a.bin"));
        const VaultFileBlock second = vault->fileIndex().entries().first().blocks.at(1);
        {
            QFile file(containerPath);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek(second.offset + 10));
            QVERIFY(file.write("X") == 1);
        }
        const QString fresh = temp->filePath("novo.bin");
        QVERIFY(!vault->exportFile("a.bin", fresh));
        QVERIFY(!QFileInfo::exists(fresh));
        const QString existing = temp->filePath("existente.bin");
        QVERIFY(writeWholeFile(existing, "o que o usuario tinha"));
        QVERIFY(!vault->exportFile("a.bin", existing));
        QCOMPARE(readWholeFile(existing), QByteArray("o que o usuario tinha"));
        QCOMPARE(QDir(temp->path()).entryList(QStringList() << "*.bin*" << "existente*", QDir::Files | QDir::Hidden).size(), 2);
    }

    void malformedBlockRecords_data()
    {
        QTest::addColumn<qint64>("offsetDelta");
        QTest::addColumn<qint64>("encryptedSize");
        QTest::addColumn<qint64>("plainSize");
        QTest::newRow("terabyte block") << qint64(0) << (qint64(1) << 40) << (qint64(1) << 40) - 16;
        QTest::newRow("size mismatch") << qint64(0) << qint64(30) << qint64(5);
        QTest::newRow("under the tag") << qint64(0) << qint64(10) << qint64(-6);
        QTest::newRow("before block area") << -qint64(8388000) << qint64(24) << qint64(8);
        QTest::newRow("past the end") << qint64(100000) << qint64(24) << qint64(8);
        QTest::newRow("negative offset") << -qint64(1) << qint64(24) << qint64(8);
    }

    void malformedBlockRecords()
    {
        QFETCH(qint64, offsetDelta);
        QFETCH(qint64, encryptedSize);
        QFETCH(qint64, plainSize);
        const QString source = temp->filePath("a.txt");
        QVERIFY(writeWholeFile(source, "12345678"));
        QVERIFY(vault->importFile(source, "a.txt"));
        SecureFileIndex index = vault->fileIndex();
        VaultFileEntry entry = index.entries().first();
        VaultFileBlock& block = entry.blocks[0];
        block.offset = offsetDelta == -1 ? -5 : block.offset + offsetDelta;
        block.encryptedSize = encryptedSize;
        block.plainSize = plainSize;
        index.addOrReplace(entry);
        QVERIFY(vault->saveIndex(index));
        QBuffer buffer;
        QVERIFY(buffer.open(QIODevice::WriteOnly));
        QVERIFY(!vault->writeVaultFileToDevice("a.txt", &buffer));
        QVERIFY(!vault->exportFile("a.txt", temp->filePath("saida.txt")));
        QVERIFY(!QFileInfo::exists(temp->filePath("saida.txt")));
    }

    void shortLengthLineStartsTheBlocksEarlier()
    {
        // Another writer's container whose length line is 10 bytes, not 21:
        // its header area, and its block area after it, start 11 bytes early.
        const QString a = temp->filePath("a.bin");
        const QString b = temp->filePath("b.txt");
        QVERIFY(writeRandomFile(a, kBlock + 100, 21));
        QVERIFY(writeWholeFile(b, "pequeno"));
        QVERIFY(vault->importFile(a, "a.bin"));
        QVERIFY(vault->importFile(b, "docs/b.txt"));
        constexpr qint64 shift = 11;
        const SecureFileIndex original = vault->fileIndex();
        SecureFileIndex shifted;
        for (const VaultDirectoryEntry& folder : original.directoryList())
            QVERIFY(shifted.addDirectory(folder));
        for (VaultFileEntry entry : original.entries()) {
            for (VaultFileBlock& block : entry.blocks)
                block.offset -= shift;
            QVERIFY(shifted.addOrReplace(entry));
        }
        ContainerDocument document;
        QVERIFY(ContainerManager().readDocument(containerPath, &document));
        document.crypto.payloadNonce = CryptoManager().generateNonce(24);
        document.encryptedIndex = vault->encryptIndex(document, shifted);
        const QByteArray header = ContainerManager().buildHeader(document);
        QByteArray bytes = "SECUSB3" + QByteArray::number(header.size()).rightJustified(9, ' ') + '\n' + header;
        bytes.append(QByteArray(ContainerManager::HeaderAreaSize - header.size(), '\0'));
        bytes.append(readWholeFile(containerPath).mid(ContainerManager::PayloadStart));
        const QString other = temp->filePath("curto.susb");
        QVERIFY(writeWholeFile(other, bytes));
        vault->lockVault();

        VaultManager reader;
        QVERIFY(reader.unlockVault(other, kPassword));
        const auto exportsMatch = [&]() {
            const QString out = temp->filePath("saida.bin");
            QVERIFY(reader.exportFile("a.bin", out));
            QCOMPARE(sha256OfFile(out), sha256OfFile(a));
            QVERIFY(reader.exportFile("docs/b.txt", out));
            QCOMPARE(readWholeFile(out), QByteArray("pequeno"));
        };
        exportsMatch();
        // Its header cannot be rewritten in place; compaction writes it anew.
        QVERIFY(!reader.createDirectory("nova"));
        QCOMPARE(readWholeFile(other), bytes);
        QVERIFY(reader.compactVault(ProgressCallback(), nullptr));
        ContainerDocument compacted;
        QVERIFY(ContainerManager().readDocument(other, &compacted));
        QCOMPARE(compacted.payloadOffset, ContainerManager::PayloadStart);
        exportsMatch();
        QVERIFY(reader.createDirectory("nova"));
        QVERIFY(reader.lockVault());
        QVERIFY(reader.unlockVault(other, kPassword));
        exportsMatch();
        QVERIFY(reader.lockVault());
    }

private:
    template <typename Operation>
    void expectUnchangedAfter(Operation operation)
    {
        const qint64 sizeBefore = fileSize(containerPath);
        const QByteArray shaBefore = sha256OfFile(containerPath);
        const SecureFileIndex indexBefore = vault->fileIndex();
        QVERIFY(!operation());
        QCOMPARE(fileSize(containerPath), sizeBefore);
        QCOMPARE(sha256OfFile(containerPath), shaBefore);
        QVERIFY(sameIndex(vault->fileIndex(), indexBefore));
    }

    std::unique_ptr<QTemporaryDir> temp;
    QString tmp;
    QString containerPath;
    std::unique_ptr<VaultManager> vault;
};

KAVENDRU_TEST_MAIN(ImportExportTest)
#include "tst_importexport.moc"

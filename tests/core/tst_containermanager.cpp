#include "core/ContainerManager.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Kavendru::Core;
using namespace KavendruTest;

namespace {

constexpr qint64 kArea = ContainerManager::HeaderAreaSize;
constexpr qint64 kPayloadStart = ContainerManager::PayloadStart;

// A document shaped like one vault creation makes.
ContainerDocument creationLikeDocument()
{
    ContainerDocument document;
    document.crypto.kdf = QStringLiteral("Argon2id");
    document.crypto.cipher = QStringLiteral("XChaCha20-Poly1305");
    document.crypto.kdfIterations = 0;
    document.crypto.salt = QByteArray(16, '\x11');
    document.crypto.nonce = QByteArray(24, '\x22');
    document.crypto.payloadNonce = QByteArray(24, '\x33');
    document.crypto.encryptedMasterKey = QByteArray(80, '\x44');
    document.encryptedIndex = QByteArray(63, '\x55');
    return document;
}

// Builds a container file by hand: magic, the given length line, the
// header JSON, NUL fill to the given area size, then the given tail.
QByteArray handMadeContainer(const QByteArray& line, const QByteArray& header, qint64 areaSize,
                             const QByteArray& tail = QByteArray())
{
    QByteArray bytes = "SECUSB3" + line + header;
    bytes.append(QByteArray(areaSize - header.size(), '\0'));
    bytes.append(tail);
    return bytes;
}

// A header far longer than the one creation writes: its rewrite can be
// cut after the journal of the short one is whole.
ContainerDocument grownDocument()
{
    ContainerDocument document = creationLikeDocument();
    document.encryptedIndex = QByteArray(20000, '\x66');
    return document;
}

ContainerManager::PayloadWriter writing(const QByteArray& blocks)
{
    return [blocks](QIODevice* device) { return device->write(blocks) == blocks.size(); };
}

QByteArray minimalHeader(const QByteArray& extra = QByteArray())
{
    return "{\"formatVersion\":3,\"magic\":\"SECUSB\"" + extra + "}";
}

QByteArray lineFor(qint64 n)
{
    return QByteArray::number(n).rightJustified(20, '0') + '\n';
}

} // namespace

class ContainerManagerTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        path = dir->filePath(QStringLiteral("kavendru.susb"));
    }

    void containerPathJoinsDriveRoot()
    {
        ContainerManager manager;
        QCOMPARE(manager.containerPath(QStringLiteral("/media/ana/USB")), QStringLiteral("/media/ana/USB/kavendru.susb"));
        QCOMPARE(manager.containerPath(QStringLiteral("/media/ana/USB/")), QStringLiteral("/media/ana/USB/kavendru.susb"));
        QVERIFY(!manager.containerExists(dir->path()));
        QVERIFY(manager.writeDocument(path, creationLikeDocument()));
        QVERIFY(manager.containerExists(dir->path()));
    }

    void newContainerHasExactLayout()
    {
        ContainerManager manager;
        const ContainerDocument document = creationLikeDocument();
        QVERIFY(manager.writeDocument(path, document));

        const QByteArray bytes = readWholeFile(path);
        QCOMPARE(bytes.size(), kPayloadStart);
        QCOMPARE(bytes.left(28), QByteArray("SECUSB300000000000000000488\n"));
        const QByteArray header = manager.buildHeader(document);
        QCOMPARE(header.size(), 488);
        QCOMPARE(bytes.mid(28, 488), header);
        QCOMPARE(bytes.mid(28 + 488), QByteArray(kArea - 488, '\0'));
        QVERIFY(header.startsWith("{\"crypto\":{\"authTag\":\"\",\"cipher\":\"XChaCha20-Poly1305\",\"encryptedMasterKey\":"));
        QVERIFY(header.endsWith(",\"formatVersion\":3,\"magic\":\"SECUSB\"}"));
        QVERIFY(!header.contains(' '));

        ContainerDocument read;
        QVERIFY(manager.readDocument(path, &read));
        QCOMPARE(read.payloadOffset, kPayloadStart);
        QCOMPARE(read.crypto.kdf, document.crypto.kdf);
        QCOMPARE(read.crypto.kdfIterations, 0);
        QCOMPARE(read.crypto.salt, document.crypto.salt);
        QCOMPARE(read.crypto.nonce, document.crypto.nonce);
        QCOMPARE(read.crypto.payloadNonce, document.crypto.payloadNonce);
        QCOMPARE(read.crypto.encryptedMasterKey, document.crypto.encryptedMasterKey);
        QCOMPARE(read.encryptedIndex, document.encryptedIndex);
    }

    void payloadWriterAppendsBlockArea()
    {
        ContainerManager manager;
        ContainerDocument document = creationLikeDocument();
        qint64 positionSeen = -1;
        const bool ok = manager.writeDocument(path, document, [&](QIODevice* device) {
            positionSeen = device->pos();
            // The header must be built after this returns, from the
            // document as the writer left it.
            document.encryptedIndex = QByteArray(100, 'i');
            return device->write("BLOCKS") == 6;
        });
        QVERIFY(ok);
        QCOMPARE(positionSeen, kPayloadStart);
        const QByteArray bytes = readWholeFile(path);
        QCOMPARE(bytes.size(), kPayloadStart + 6);
        QCOMPARE(bytes.mid(kPayloadStart), QByteArray("BLOCKS"));
        ContainerDocument read;
        QVERIFY(manager.readDocument(path, &read));
        QCOMPARE(read.encryptedIndex, QByteArray(100, 'i'));
    }

    void failedWriteKeepsExistingFile_data()
    {
        QTest::addColumn<bool>("payloadFails");
        QTest::newRow("payload writer fails") << true;
        QTest::newRow("header too long") << false;
    }

    void failedWriteKeepsExistingFile()
    {
        QFETCH(bool, payloadFails);
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument()));
        const QByteArray before = sha256OfFile(path);

        ContainerDocument document = creationLikeDocument();
        ContainerManager::PayloadWriter writer;
        if (payloadFails)
            writer = [](QIODevice* device) { return device->write("partial") == 7 && false; };
        else
            document.encryptedIndex = QByteArray(kArea, 'x');
        QVERIFY(!manager.writeDocument(path, document, writer));
        QCOMPARE(sha256OfFile(path), before);
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("kavendru.susb")});
    }

    void headerRewriteKeepsBlockArea()
    {
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument(), [](QIODevice* device) {
            return device->write(QByteArray(5000, '\xAB')) == 5000;
        }));
        const QByteArray before = readWholeFile(path);

        ContainerDocument bigger = creationLikeDocument();
        bigger.encryptedIndex = QByteArray(3000, '\x66');
        QVERIFY(manager.updateDocumentHeader(path, bigger));
        ContainerDocument smaller = creationLikeDocument();
        QVERIFY(manager.updateDocumentHeader(path, smaller));

        const QByteArray after = readWholeFile(path);
        QCOMPARE(after.size(), before.size());
        QCOMPARE(after.mid(kPayloadStart), before.mid(kPayloadStart));
        // Shrinking the header clears what the longer one left behind: the
        // file is what a fresh write of the same document gives.
        QCOMPARE(after, before);

        ContainerDocument read;
        QVERIFY(manager.readDocument(path, &read));
        QCOMPARE(read.encryptedIndex, smaller.encryptedIndex);
    }

    void headerRewriteRefusals_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray header = minimalHeader();
        QTest::newRow("not a container") << QByteArray("PLAINFILE").append(QByteArray(kArea + 100, '\0'));
        QTest::newRow("short length line") << handMadeContainer(" " + QByteArray::number(header.size()) + " \n", header, kArea, "BLOCK");
        QTest::newRow("no line feed") << QByteArray("SECUSB3").append(QByteArray(kArea + 100, '0'));
        QTest::newRow("truncated area") << handMadeContainer(lineFor(header.size()), header, 4096);
    }

    void headerRewriteRefusals()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeWholeFile(path, content));
        ContainerManager manager;
        QVERIFY(!manager.updateDocumentHeader(path, creationLikeDocument()));
        QCOMPARE(readWholeFile(path), content);
    }

    void headerRewriteRefusesMissingFile()
    {
        ContainerManager manager;
        QVERIFY(!manager.updateDocumentHeader(path, creationLikeDocument()));
        QVERIFY(!QFile::exists(path));
    }

    void headerRewriteTooLongWritesNothing()
    {
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument()));
        const QByteArray before = sha256OfFile(path);
        ContainerDocument huge = creationLikeDocument();
        huge.encryptedIndex = QByteArray(kArea, 'x');
        QVERIFY(!manager.updateDocumentHeader(path, huge));
        QCOMPARE(sha256OfFile(path), before);
    }

    void headerRewriteOverCarriageReturnLine()
    {
        // A 22-byte length line puts the old header one byte later; after a
        // rewrite the file reads as a standard one and no block moved.
        ContainerManager manager;
        const QByteArray header = manager.buildHeader(creationLikeDocument());
        const QByteArray content = handMadeContainer(QByteArray::number(header.size()).rightJustified(20, '0') + "\r\n",
                                                     header, kArea, "BLOCKDATA");
        QVERIFY(writeWholeFile(path, content));
        ContainerDocument read;
        QVERIFY(manager.readDocument(path, &read));
        QCOMPARE(read.payloadOffset, kPayloadStart + 1);

        ContainerDocument other = creationLikeDocument();
        other.encryptedIndex = QByteArray(10, 'z');
        QVERIFY(manager.updateDocumentHeader(path, other));
        const QByteArray after = readWholeFile(path);
        QCOMPARE(after.size(), content.size());
        QCOMPARE(after.right(9), QByteArray("BLOCKDATA"));
        QVERIFY(manager.readDocument(path, &read));
        QCOMPARE(read.encryptedIndex, QByteArray(10, 'z'));
        // Nothing of the old, longer header survives inside the new area.
        const QByteArray newHeader = manager.buildHeader(other);
        QCOMPARE(after.mid(28 + newHeader.size(), kArea - newHeader.size()), QByteArray(kArea - newHeader.size(), '\0'));
    }

    void failedRewritePutsBackWhatItWrote()
    {
        // A write error midway (a file size limit whose signal is ignored):
        // what was written is put back, and no journal stays behind.
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument(), writing("BLOCKS")));
        const QByteArray before = readWholeFile(path);
        const QString filePath = path;
        const int code = runInChild([filePath]() {
            if (!limitFileSize(1500))
                return 3;
            return ContainerManager().updateDocumentHeader(filePath, grownDocument()) ? 1 : 0;
        });
        QCOMPARE(code, 0);
        QCOMPARE(readWholeFile(path), before);
        QVERIFY(!journalExists());
    }

    void interruptedRewriteIsUndone()
    {
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument(), writing("BLOCKS")));
        const QByteArray before = readWholeFile(path);
        QCOMPARE(tearRewrite(grownDocument(), 4096), 128 + SIGXFSZ);
        ContainerDocument read;
        QVERIFY(!manager.readDocument(path, &read));
        QVERIFY(journalExists());
        QVERIFY(!manager.headerJournalPath(path).endsWith(QLatin1String(".susb")));
        QCOMPARE(QFileInfo(manager.headerJournalPath(path)).absolutePath(), QFileInfo(path).absolutePath());

        const QByteArray torn = readWholeFile(path);
        QVERIFY(manager.readJournaledDocument(path, &read));
        QCOMPARE(read.encryptedIndex, creationLikeDocument().encryptedIndex);
        QCOMPARE(read.payloadOffset, kPayloadStart);
        QCOMPARE(readWholeFile(path), torn);

        QVERIFY(manager.restoreHeaderFromJournal(path));
        QCOMPARE(readWholeFile(path), before);
        QVERIFY(!journalExists());
        QVERIFY(!manager.readJournaledDocument(path, &read));
        QVERIFY(!manager.restoreHeaderFromJournal(path));
    }

    void journalThatIsNotApplied_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char* damage : {"cut short", "body byte changed", "checksum changed", "other magic", "empty",
                                   "a link to a journal", "rewrite never began"})
            QTest::newRow(damage) << QString::fromLatin1(damage);
    }

    void journalThatIsNotApplied()
    {
        QFETCH(QString, damage);
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument(), writing("BLOCKS")));
        const QByteArray before = readWholeFile(path);
        QCOMPARE(tearRewrite(grownDocument(), 4096), 128 + SIGXFSZ);
        const QString journal = manager.headerJournalPath(path);
        QByteArray bytes = readWholeFile(journal);
        QVERIFY(bytes.size() > 500);
        const QString elsewhere = dir->filePath(QStringLiteral("guardado"));
        if (damage == QLatin1String("cut short"))
            bytes.chop(1);
        else if (damage == QLatin1String("body byte changed"))
            bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
        else if (damage == QLatin1String("checksum changed"))
            bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 1);
        else if (damage == QLatin1String("other magic"))
            bytes[0] = 'X';
        else if (damage == QLatin1String("empty"))
            bytes.clear();
        if (damage == QLatin1String("a link to a journal")) {
            QVERIFY(QFile::rename(journal, elsewhere));
            QVERIFY(QFile::link(elsewhere, journal));
        } else if (damage == QLatin1String("rewrite never began")) {
            QVERIFY(writeWholeFile(path, before));
        } else {
            QVERIFY(writeWholeFile(journal, bytes));
        }

        const QByteArray container = readWholeFile(path);
        ContainerDocument read;
        QVERIFY(!manager.readJournaledDocument(path, &read));
        QVERIFY(!manager.restoreHeaderFromJournal(path));
        QCOMPARE(readWholeFile(path), container);
        // Removing a stale journal removes a link, never what it leads to.
        QVERIFY(manager.removeHeaderJournal(path));
        QVERIFY(!QFileInfo(journal).exists() && !QFileInfo(journal).isSymLink());
        if (damage == QLatin1String("a link to a journal"))
            QVERIFY(QFileInfo::exists(elsewhere));
        QVERIFY(manager.removeHeaderJournal(path));
    }

    void journalWriteNeverFollowsALink()
    {
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument()));
        const QString victim = dir->filePath(QStringLiteral("arquivo-do-usuario.txt"));
        QVERIFY(writeWholeFile(victim, "nao mexa"));
        QVERIFY(QFile::link(victim, manager.headerJournalPath(path)));
        QVERIFY(manager.updateDocumentHeader(path, grownDocument()));
        QCOMPARE(readWholeFile(victim), QByteArray("nao mexa"));
        QVERIFY(!QFileInfo(manager.headerJournalPath(path)).isSymLink());
        QVERIFY(!journalExists());
    }

    void newFileDropsTheJournal()
    {
        ContainerManager manager;
        QVERIFY(manager.writeDocument(path, creationLikeDocument()));
        QCOMPARE(tearRewrite(grownDocument(), 4096), 128 + SIGXFSZ);
        QVERIFY(journalExists());
        QVERIFY(manager.writeDocument(path, creationLikeDocument()));
        QVERIFY(!journalExists());
    }

    void noRoomForTheJournalWritesNothing()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a private tmpfs");
        ScopedTmpfs stick(dir->filePath(QStringLiteral("stick")), kPayloadStart + 256 * 1024);
        QVERIFY(stick.isMounted());
        path = QDir(stick.path()).filePath(QStringLiteral("kavendru.susb"));
        ContainerManager manager;
        ContainerDocument larger = creationLikeDocument();
        larger.encryptedIndex = QByteArray(100000, 'L');
        QVERIFY(manager.writeDocument(path, larger));
        {
            QFile fill(QDir(stick.path()).filePath(QStringLiteral("cheio")));
            QVERIFY(fill.open(QIODevice::WriteOnly));
            const QByteArray chunk(4096, 'f');
            while (fill.write(chunk) == chunk.size() && fill.flush()) {
            }
        }
        const QByteArray before = readWholeFile(path);
        QVERIFY(!manager.updateDocumentHeader(path, creationLikeDocument()));
        QCOMPARE(readWholeFile(path), before);
        QVERIFY(!journalExists());
    }

    void lengthLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("accepted");
        const qint64 n = minimalHeader().size();
        QTest::newRow("twenty digits") << lineFor(n) << true;
        QTest::newRow("spaces around") << (" " + QByteArray::number(n) + " \n") << true;
        QTest::newRow("carriage return") << (QByteArray::number(n).rightJustified(20, '0') + "\r\n") << true;
        QTest::newRow("zero") << lineFor(0) << false;
        QTest::newRow("negative") << QByteArray("-0000000000000000038\n") << false;
        QTest::newRow("above area") << lineFor(kArea + 1) << false;
        QTest::newRow("not a number") << QByteArray("0000000000000000003x\n") << false;
        QTest::newRow("empty") << QByteArray("\n") << false;
        QTest::newRow("no line feed in bound") << QByteArray(70, '0') << false;
    }

    void lengthLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, accepted);
        QVERIFY(writeWholeFile(path, handMadeContainer(line, minimalHeader(), kArea)));
        ContainerManager manager;
        ContainerDocument document;
        document.encryptedIndex = "untouched";
        QCOMPARE(manager.readDocument(path, &document), accepted);
        if (accepted)
            QCOMPARE(document.payloadOffset, 7 + line.size() + kArea);
        else
            QCOMPARE(document.encryptedIndex, QByteArray("untouched"));
    }

    void magicAndVersion_data()
    {
        QTest::addColumn<QByteArray>("fileMagic");
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("valid") << QByteArray("SECUSB3") << minimalHeader() << true;
        QTest::newRow("file magic 2") << QByteArray("SECUSB2") << minimalHeader() << false;
        QTest::newRow("json magic lower case") << QByteArray("SECUSB3") << QByteArray("{\"formatVersion\":3,\"magic\":\"secusb\"}") << false;
        QTest::newRow("json magic missing") << QByteArray("SECUSB3") << QByteArray("{\"formatVersion\":3}") << false;
        QTest::newRow("version 2") << QByteArray("SECUSB3") << QByteArray("{\"formatVersion\":2,\"magic\":\"SECUSB\"}") << false;
        QTest::newRow("version as string") << QByteArray("SECUSB3") << QByteArray("{\"formatVersion\":\"3\",\"magic\":\"SECUSB\"}") << false;
        QTest::newRow("not an object") << QByteArray("SECUSB3") << QByteArray("[3]") << false;
        QTest::newRow("not json") << QByteArray("SECUSB3") << QByteArray("{\"formatVersion\":3,") << false;
    }

    void magicAndVersion()
    {
        QFETCH(QByteArray, fileMagic);
        QFETCH(QByteArray, header);
        QFETCH(bool, accepted);
        QByteArray content = handMadeContainer(lineFor(header.size()), header, kArea);
        content.replace(0, 7, fileMagic);
        QVERIFY(writeWholeFile(path, content));
        ContainerManager manager;
        ContainerDocument document;
        QCOMPARE(manager.readDocument(path, &document), accepted);
    }

    void shortFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        const QByteArray header = minimalHeader();
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("magic only") << QByteArray("SECUSB3");
        QTest::newRow("complete json, area cut") << handMadeContainer(lineFor(header.size()), header, kArea - 1);
        QTest::newRow("json itself cut") << handMadeContainer(lineFor(header.size() + 10), header, header.size());
    }

    void shortFilesAreRefused()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeWholeFile(path, content));
        ContainerManager manager;
        ContainerDocument document;
        QVERIFY(!manager.readDocument(path, &document));
        QVERIFY(!manager.readDocument(path, nullptr));
    }

    void cryptoDefaults()
    {
        ContainerManager manager;
        ContainerCryptoMetadata empty = manager.cryptoMetadataFromJson(QJsonObject());
        QCOMPARE(empty.kdf, QString());
        QCOMPARE(empty.kdfIterations, 250000);
        QVERIFY(empty.salt.isEmpty());
        QJsonObject explicitZero;
        explicitZero.insert(QStringLiteral("kdfIterations"), 0);
        QCOMPARE(manager.cryptoMetadataFromJson(explicitZero).kdfIterations, 0);
        QJsonObject asText;
        asText.insert(QStringLiteral("kdfIterations"), QStringLiteral("7"));
        QCOMPARE(manager.cryptoMetadataFromJson(asText).kdfIterations, 250000);
        // Lenient base64: characters outside the alphabet are skipped.
        QJsonObject noisy;
        noisy.insert(QStringLiteral("salt"), QStringLiteral("QU*JD\nRA=="));
        QCOMPARE(manager.cryptoMetadataFromJson(noisy).salt, QByteArray("ABCD"));
    }

    void olderKeysAreReadThenDropped()
    {
        const QByteArray header = "{\"crypto\":{\"kdf\":\"Argon2id\"},\"encryptedPayload\":\"T0xE\","
                                  "\"fileIndex\":{\"files\":[{\"vaultPath\":\"velho.txt\",\"sizeBytes\":5}]},"
                                  "\"filePayloads\":{\"velho.txt\":\"RGF0YQ==\"},"
                                  "\"formatVersion\":3,\"future\":true,\"magic\":\"SECUSB\"}";
        QVERIFY(writeWholeFile(path, handMadeContainer(lineFor(header.size()), header, kArea)));
        ContainerManager manager;
        ContainerDocument document;
        QVERIFY(manager.readDocument(path, &document));
        QCOMPARE(document.encryptedPayload, QByteArray("OLD"));
        QCOMPARE(document.filePayloads.value(QStringLiteral("velho.txt")), QByteArray("Data"));
        QCOMPARE(document.fileIndex.entries().size(), 1);
        QCOMPARE(document.fileIndex.entries().first().sizeBytes, 5);
        QCOMPARE(document.crypto.kdfIterations, 250000);

        QVERIFY(manager.updateDocumentHeader(path, document));
        const QByteArray bytes = readWholeFile(path);
        const qint64 n = bytes.mid(7, 20).toLongLong();
        const QJsonObject rewritten = QJsonDocument::fromJson(bytes.mid(28, n)).object();
        QCOMPARE(rewritten.keys(), (QStringList{"crypto", "encryptedIndex", "formatVersion", "magic"}));
        QCOMPARE(rewritten.value("crypto").toObject().keys().size(), 8);
    }

    void headerShapesReadAlike_data()
    {
        // Headers in and out of the form this system writes: each must read
        // as the generic JSON reading of the same text gives.
        QTest::addColumn<QByteArray>("header");
        const QByteArray tail = ",\"formatVersion\":3,\"magic\":\"SECUSB\"}";
        QTest::newRow("canonical") << ("{\"crypto\":{\"kdf\":\"x\"},\"encryptedIndex\":\"QUJD\"" + tail);
        QTest::newRow("empty index") << ("{\"crypto\":{},\"encryptedIndex\":\"\"" + tail);
        QTest::newRow("lenient base64") << ("{\"encryptedIndex\":\"QU*JD\"" + tail);
        QTest::newRow("escaped slash") << ("{\"encryptedIndex\":\"QU\\/D\"" + tail);
        QTest::newRow("no padding") << ("{\"encryptedIndex\":\"QUI\"" + tail);
        QTest::newRow("padding inside") << ("{\"encryptedIndex\":\"QQ==QUJD\"" + tail);
        QTest::newRow("escaped letter") << ("{\"encryptedIndex\":\"QU\\u004aD\"" + tail);
        QTest::newRow("spaces") << QByteArray("{ \"encryptedIndex\" : \"QUJD\" , \"formatVersion\":3,\"magic\":\"SECUSB\"}");
        QTest::newRow("key inside a string")
            << ("{\"crypto\":{\"kdf\":\"\\\",\\\"encryptedIndex\\\":\\\"QUJD\"},\"encryptedIndex\":\"REVG\"" + tail);
        QTest::newRow("key twice") << ("{\"encryptedIndex\":\"QUJD\",\"encryptedIndex\":\"REVG\"" + tail);
        QTest::newRow("index in crypto only") << ("{\"crypto\":{\"encryptedIndex\":\"QUJD\"},\"x\":\"y\"" + tail);
        QTest::newRow("index not a string") << ("{\"encryptedIndex\":5,\"y\":\"QUJD\"" + tail);
    }

    void headerShapesReadAlike()
    {
        QFETCH(QByteArray, header);
        const QJsonObject generic = QJsonDocument::fromJson(header).object();
        QVERIFY(!generic.isEmpty());
        QVERIFY(writeWholeFile(path, handMadeContainer(lineFor(header.size()), header, kArea)));
        ContainerManager manager;
        ContainerDocument document;
        QVERIFY(manager.readDocument(path, &document));
        QCOMPARE(document.encryptedIndex, QByteArray::fromBase64(generic.value("encryptedIndex").toString().toLatin1()));
        QCOMPARE(document.crypto.kdf, generic.value("crypto").toObject().value("kdf").toString());
    }

    void wholeContainerHelpers()
    {
        ContainerManager manager;
        QVERIFY(manager.readContainer(path).isEmpty());
        QVERIFY(manager.writeContainer(path, "conteudo"));
        QCOMPARE(manager.readContainer(path), QByteArray("conteudo"));
    }

private:
    // A rewrite in a child that dies at the first write past the limit.
    int tearRewrite(const ContainerDocument& next, qint64 limit) const
    {
        const QString filePath = path;
        return runInChild([filePath, next, limit]() {
            if (!killAtFileSize(limit))
                return 3;
            ContainerManager().updateDocumentHeader(filePath, next);
            return 1;
        });
    }

    bool journalExists() const
    {
        const QFileInfo journal(ContainerManager().headerJournalPath(path));
        return journal.exists() || journal.isSymLink();
    }

    std::unique_ptr<QTemporaryDir> dir;
    QString path;
};

KAVENDRU_TEST_MAIN(ContainerManagerTest)
#include "tst_containermanager.moc"

#include "core/SecureFileIndex.h"

#include "common/TestSupport.h"

#include <QTimeZone>

#include <iterator>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

using namespace Kavendru::Core;

namespace {

VaultFileEntry fileEntry(const QString& path, qint64 size = 1)
{
    VaultFileEntry entry;
    entry.id = QStringLiteral("id-") + path;
    entry.vaultPath = path;
    entry.sizeBytes = size;
    return entry;
}

QStringList filePaths(const SecureFileIndex& index)
{
    QStringList paths;
    for (const VaultFileEntry& entry : index.entries())
        paths << entry.vaultPath;
    return paths;
}

// The index JSON as QJsonDocument writes it, the reference for the
// hand-written writer.
QByteArray referenceJson(const SecureFileIndex& index)
{
    const auto date = [](const QDateTime& value) {
        return value.isValid() ? value.toUTC().toString(Qt::ISODateWithMs) : QString();
    };
    QJsonArray files;
    for (const VaultFileEntry& entry : index.entries()) {
        QJsonArray blocks;
        for (const VaultFileBlock& block : entry.blocks) {
            QJsonObject object;
            object.insert("encryptedSize", block.encryptedSize);
            object.insert("nonce", QString::fromLatin1(block.nonce.toBase64()));
            object.insert("offset", block.offset);
            object.insert("plainSize", block.plainSize);
            blocks.append(object);
        }
        QJsonObject object;
        object.insert("blocks", blocks);
        object.insert("id", entry.id);
        object.insert("lastModifiedUtc", date(entry.lastModifiedUtc));
        object.insert("sha256", QString::fromLatin1(entry.sha256.toHex()));
        object.insert("sizeBytes", entry.sizeBytes);
        object.insert("vaultPath", entry.vaultPath);
        files.append(object);
    }
    QJsonArray directories;
    for (const VaultDirectoryEntry& entry : index.directories()) {
        QJsonObject object;
        object.insert("createdUtc", date(entry.createdUtc));
        object.insert("modifiedUtc", date(entry.modifiedUtc));
        object.insert("path", entry.path);
        directories.append(object);
    }
    QJsonObject root;
    root.insert("directories", directories);
    root.insert("files", files);
    root.insert("formatVersion", 1);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

// The index as the generic JSON reading gives it: a tree from
// QJsonDocument, walked key by key. The reference for the direct reader.
SecureFileIndex referenceRead(const QByteArray& json, bool* isObject)
{
    SecureFileIndex index;
    const QJsonDocument document = QJsonDocument::fromJson(json);
    *isObject = document.isObject();
    const auto date = [](const QJsonValue& value) {
        return value.toString().isEmpty() ? QDateTime() : QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    };
    for (const QJsonValue& value : document.object().value("files").toArray()) {
        const QJsonObject object = value.toObject();
        VaultFileEntry entry;
        entry.id = object.value("id").toString();
        entry.vaultPath = object.value("vaultPath").toString();
        entry.sizeBytes = object.value("sizeBytes").toVariant().toLongLong();
        entry.lastModifiedUtc = date(object.value("lastModifiedUtc"));
        entry.sha256 = QByteArray::fromHex(object.value("sha256").toString().toLatin1());
        for (const QJsonValue& blockValue : object.value("blocks").toArray()) {
            const QJsonObject block = blockValue.toObject();
            entry.blocks.append(VaultFileBlock{block.value("offset").toVariant().toLongLong(),
                                               block.value("plainSize").toVariant().toLongLong(),
                                               block.value("encryptedSize").toVariant().toLongLong(),
                                               QByteArray::fromBase64(block.value("nonce").toString().toLatin1())});
        }
        index.addOrReplace(entry);
    }
    for (const QJsonValue& value : document.object().value("directories").toArray()) {
        const QJsonObject object = value.toObject();
        index.addDirectory(VaultDirectoryEntry{object.value("path").toString(), date(object.value("createdUtc")),
                                               date(object.value("modifiedUtc"))});
    }
    return index;
}

QString randomText(QRandomGenerator& random)
{
    // Control characters, quotes, backslashes, DEL, Latin-1, the BMP,
    // surrogate pairs and lone surrogates.
    static const char16_t pool[] = {u'a', u'Z', u'0', u' ', u'/', u'"', u'\\', 0x01, 0x08, 0x09, 0x0a, 0x0c, 0x0d, 0x1f,
                                    0x7f, 0xe9, 0xff, 0x100, 0x7ff, 0x800, 0x20ac, 0xfffd, 0xffff, 0xd83d, 0xde00, 0xdbff,
                                    0xdc00};
    QString text;
    const int length = random.bounded(1, 12);
    for (int i = 0; i < length; ++i)
        text.append(QChar(pool[random.bounded(int(std::size(pool)))]));
    return text;
}

QDateTime randomDate(QRandomGenerator& random)
{
    switch (random.bounded(5)) {
    case 0:
        return QDateTime();
    case 1:
        return QDateTime(QDate(random.bounded(1, 9999), 1 + random.bounded(12), 1 + random.bounded(28)),
                         QTime(random.bounded(24), random.bounded(60), random.bounded(60), random.bounded(1000)),
                         QTimeZone(3600 * random.bounded(-12, 13)));
    case 2:
        return QDateTime(QDate(12345, 6, 7), QTime(1, 2, 3, 4), Qt::UTC);
    default:
        return QDateTime::fromMSecsSinceEpoch(qint64(random.generate64() % 4102444800000ULL), Qt::UTC);
    }
}

} // namespace

class SecureFileIndexTest : public QObject {
    Q_OBJECT

private slots:
    void emptyIndexJson()
    {
        SecureFileIndex index;
        QCOMPARE(index.toJson(), QByteArray("{\"directories\":[],\"files\":[],\"formatVersion\":1}"));
        QCOMPARE(index.toJson().size(), 47);
        const SecureFileIndex read = SecureFileIndex::fromJson(index.toJson());
        QVERIFY(read.entries().isEmpty());
        QVERIFY(read.directories().isEmpty());
    }

    void populatedEntryExactJson()
    {
        SecureFileIndex index;
        VaultFileEntry entry;
        entry.id = QStringLiteral("0b1c2d3e-0000-4000-8000-000000000001");
        entry.vaultPath = QStringLiteral("Docs/nota \"1\".txt");
        entry.sizeBytes = 5;
        entry.lastModifiedUtc = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9, 120), Qt::UTC);
        entry.sha256 = QByteArray::fromHex("00ff");
        entry.blocks.append(VaultFileBlock{8388636, 5, 21, QByteArray(24, '\x01')});
        QVERIFY(index.addOrReplace(entry));
        const QDateTime created(QDate(2024, 1, 2), QTime(3, 4, 5, 6), Qt::UTC);
        QVERIFY(index.addDirectory(VaultDirectoryEntry{QStringLiteral("Docs"), created, created}));

        const QByteArray expected =
            "{\"directories\":[{\"createdUtc\":\"2024-01-02T03:04:05.006Z\",\"modifiedUtc\":\"2024-01-02T03:04:05.006Z\","
            "\"path\":\"Docs\"}],\"files\":[{\"blocks\":[{\"encryptedSize\":21,\"nonce\":\"AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEB\","
            "\"offset\":8388636,\"plainSize\":5}],\"id\":\"0b1c2d3e-0000-4000-8000-000000000001\","
            "\"lastModifiedUtc\":\"2024-03-05T14:07:09.120Z\",\"sha256\":\"00ff\",\"sizeBytes\":5,"
            "\"vaultPath\":\"Docs/nota \\\"1\\\".txt\"}],\"formatVersion\":1}";
        QCOMPARE(index.toJson(), expected);

        const SecureFileIndex read = SecureFileIndex::fromJson(expected);
        QCOMPARE(read.entries().size(), 1);
        const VaultFileEntry back = read.entries().first();
        QCOMPARE(back.vaultPath, entry.vaultPath);
        QCOMPARE(back.lastModifiedUtc, entry.lastModifiedUtc);
        QCOMPARE(back.sha256, entry.sha256);
        QCOMPARE(back.blocks.size(), 1);
        QCOMPARE(back.blocks.first().nonce, QByteArray(24, '\x01'));
        QCOMPARE(read.toJson(), expected);
    }

    void replaceKeepsPosition()
    {
        SecureFileIndex index;
        index.addOrReplace(fileEntry("A"));
        index.addOrReplace(fileEntry("B"));
        index.addOrReplace(fileEntry("C"));
        QVERIFY(index.addOrReplace(fileEntry("B", 99)));
        QCOMPARE(filePaths(index), (QStringList{"A", "B", "C"}));
        QCOMPARE(index.entries().at(1).sizeBytes, 99);
        // Positions stay right after a removal shifts the list.
        QVERIFY(index.remove("A"));
        QVERIFY(index.addOrReplace(fileEntry("C", 7)));
        QCOMPARE(filePaths(index), (QStringList{"B", "C"}));
        QCOMPARE(index.entries().at(1).sizeBytes, 7);
        QVERIFY(!index.remove("A"));
    }

    void exactComparisons()
    {
        SecureFileIndex index;
        QVERIFY(!index.addOrReplace(fileEntry(QString())));
        QVERIFY(!index.addDirectory(VaultDirectoryEntry{}));
        index.addOrReplace(fileEntry("notas.txt"));
        index.addOrReplace(fileEntry("Notas.TXT"));
        QCOMPARE(index.entries().size(), 2);
        QVERIFY(index.contains("notas.txt"));
        QVERIFY(!index.contains("NOTAS.txt"));
        index.addDirectory(VaultDirectoryEntry{"Fotos", {}, {}});
        QVERIFY(index.containsDirectory("Fotos"));
        QVERIFY(!index.containsDirectory("fotos"));
        QVERIFY(index.removeDirectory("Fotos"));
        QVERIFY(!index.removeDirectory("Fotos"));
        index.clear();
        QVERIFY(index.entries().isEmpty());
        QVERIFY(!index.contains("notas.txt"));
    }

    void unreadableJsonGivesEmptyIndex_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not json") << QByteArray("arquivo");
        QTest::newRow("array") << QByteArray("[1,2]");
        QTest::newRow("files not array") << QByteArray("{\"files\":{\"vaultPath\":\"a\"}}");
    }

    void unreadableJsonGivesEmptyIndex()
    {
        QFETCH(QByteArray, json);
        const SecureFileIndex index = SecureFileIndex::fromJson(json);
        QVERIFY(index.entries().isEmpty());
        QVERIFY(index.directories().isEmpty());
    }

    void lenientReading()
    {
        const QByteArray json = "{\"files\":[{\"vaultPath\":\"a\",\"sizeBytes\":1},{\"sizeBytes\":3},"
                                "7,{\"vaultPath\":\"b\"},{\"vaultPath\":\"a\",\"sizeBytes\":2,\"lastModifiedUtc\":\"\"}],"
                                "\"directories\":[{\"path\":\"\"},{\"path\":\"d\",\"createdUtc\":\"2024-06-01T12:00:00.000+02:00\"}]}";
        const SecureFileIndex index = SecureFileIndex::fromJson(json);
        QCOMPARE(filePaths(index), (QStringList{"a", "b"}));
        QCOMPARE(index.entries().first().sizeBytes, 2);
        QVERIFY(index.entries().first().lastModifiedUtc.isNull());
        QCOMPARE(index.directories().size(), 1);
        QVERIFY(index.toJson().contains("{\"createdUtc\":\"2024-06-01T10:00:00.000Z\",\"modifiedUtc\":\"\",\"path\":\"d\"}"));
    }

    void writerMatchesQtJson()
    {
        QRandomGenerator random(20261210);
        for (int round = 0; round < 200; ++round) {
            SecureFileIndex index;
            for (int i = 0; i < 5; ++i) {
                VaultFileEntry entry;
                entry.id = randomText(random);
                entry.vaultPath = randomText(random) + QString::number(i);
                entry.sizeBytes = qint64(random.generate64() >> random.bounded(64));
                entry.lastModifiedUtc = randomDate(random);
                entry.sha256 = QByteArray(random.bounded(33), char(random.bounded(256)));
                for (int b = random.bounded(3); b > 0; --b)
                    entry.blocks.append(VaultFileBlock{qint64(random.generate64() >> 1), random.bounded(100),
                                                       -random.bounded(100), QByteArray(random.bounded(30), 'n')});
                index.addOrReplace(entry);
                index.addDirectory(VaultDirectoryEntry{randomText(random) + QString::number(i), randomDate(random),
                                                       randomDate(random)});
            }
            const QByteArray expected = referenceJson(index);
            QCOMPARE(index.toJson(), expected);
            QCOMPARE(SecureFileIndex::fromJson(expected).toJson(), expected);
        }
    }

    void readerMatchesGenericReading()
    {
        // Canonical text, and the same text damaged byte by byte: the direct
        // reader must agree with the generic reading on every input.
        QRandomGenerator random(77);
        static const char damage[] = "\"\\u0-.e }],:\x80\xff\x01/a9Z";
        for (int round = 0; round < 2000; ++round) {
            SecureFileIndex index;
            for (int i = 0; i < 3; ++i) {
                VaultFileEntry entry;
                entry.id = QStringLiteral("id-%1").arg(i);
                entry.vaultPath = random.bounded(4) == 0 ? randomText(random) : QStringLiteral("Pasta/arquivo %1.txt").arg(i);
                entry.sizeBytes = qint64(random.generate64() >> random.bounded(1, 64)) * (random.bounded(5) == 0 ? -1 : 1);
                entry.lastModifiedUtc = randomDate(random);
                entry.sha256 = QByteArray(32, char(random.bounded(256)));
                for (int b = random.bounded(3); b > 0; --b)
                    entry.blocks.append(VaultFileBlock{random.bounded(1000000), random.bounded(100), random.bounded(116),
                                                       QByteArray(24, char(random.bounded(256)))});
                index.addOrReplace(entry);
                index.addDirectory(VaultDirectoryEntry{QStringLiteral("Pasta %1").arg(i), randomDate(random), randomDate(random)});
            }
            QByteArray json = index.toJson();
            for (int step = 0; step < 6; ++step) {
                bool referenceObject = false;
                bool readObject = false;
                const QByteArray expected = referenceRead(json, &referenceObject).toJson();
                QCOMPARE(SecureFileIndex::fromJson(json, &readObject).toJson(), expected);
                QCOMPARE(readObject, referenceObject);
                json[random.bounded(int(json.size()))] = damage[random.bounded(int(sizeof damage) - 1)];
            }
        }
    }

    void largeIntegersStayExact()
    {
        SecureFileIndex index;
        const qint64 big = (qint64(1) << 53) + 1;
        VaultFileEntry entry = fileEntry("grande.bin", big);
        entry.blocks.append(VaultFileBlock{big + 2, big, big + 16, {}});
        index.addOrReplace(entry);
        QVERIFY(index.toJson().contains("\"sizeBytes\":9007199254740993"));
        const VaultFileEntry back = SecureFileIndex::fromJson(index.toJson()).entries().first();
        QCOMPARE(back.sizeBytes, big);
        QCOMPARE(back.blocks.first().offset, big + 2);
        QCOMPARE(back.blocks.first().encryptedSize, big + 16);
    }
};

QTEST_GUILESS_MAIN(SecureFileIndexTest)
#include "tst_securefileindex.moc"

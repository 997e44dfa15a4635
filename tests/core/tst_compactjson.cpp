#include "core/CompactJson.h"
#include "core/ContainerManager.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

#include <limits>

using namespace Kavendru::Core;

namespace {

QByteArray randomBytes(QRandomGenerator& random, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Base64-looking text with the damage a hostile or broken file may carry.
QByteArray randomBase64ish(QRandomGenerator& random)
{
    QByteArray text = randomBytes(random, random.bounded(40)).toBase64();
    const int damage = random.bounded(6);
    for (int i = 0; i < damage && !text.isEmpty(); ++i) {
        static const char noise[] = "=*\n -_.\x80\xff";
        const int at = random.bounded(int(text.size()) + 1);
        switch (random.bounded(3)) {
        case 0: text.insert(at, noise[random.bounded(int(sizeof noise) - 1)]); break;
        case 1: text.remove(at < text.size() ? at : 0, 1); break;
        default: text.append('=');
        }
    }
    return text;
}

QString randomName(QRandomGenerator& random)
{
    static const char16_t pool[] = {u'A', u'z', u'"', u'\\', 0x0a, 0x1f, 0xe9, 0x20ac, 0xd83d, 0xde00, 0xdc00};
    QString text;
    for (int i = random.bounded(8); i > 0; --i)
        text.append(QChar(pool[random.bounded(int(std::size(pool)))]));
    return text;
}

} // namespace

class CompactJsonTest : public QObject {
    Q_OBJECT

private slots:
    void base64MatchesQt()
    {
        QRandomGenerator random(4242);
        for (int round = 0; round < 5000; ++round) {
            const QByteArray bytes = randomBytes(random, random.bounded(70));
            QByteArray written;
            CompactJson::appendBase64(written, bytes);
            QCOMPARE(written, bytes.toBase64());
            QCOMPARE(CompactJson::fromBase64(written), bytes);
            const QByteArray damaged = randomBase64ish(random);
            QCOMPARE(CompactJson::fromBase64(damaged), QByteArray::fromBase64(damaged));
        }
        for (const char* text : {"", "=", "==", "====", "Q===", "QQ==", "QUI=", "QUJD", "QQ==QQ==", "Q=Q=", "QUJD\n"})
            QCOMPARE(CompactJson::fromBase64(QByteArray(text)), QByteArray::fromBase64(QByteArray(text)));
    }

    void integersMatchQt()
    {
        for (const qint64 value : {qint64(0), qint64(7), qint64(-7), qint64(1) << 53, (qint64(1) << 53) + 1,
                                   std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min()}) {
            QByteArray written;
            CompactJson::appendInteger(written, value);
            QCOMPARE(written, QByteArray::number(value));
        }
    }

    void headerMatchesQtWriter()
    {
        QRandomGenerator random(99);
        ContainerManager manager;
        for (int round = 0; round < 300; ++round) {
            ContainerDocument document;
            document.formatVersion = random.bounded(-5, 5);
            document.crypto.kdf = randomName(random);
            document.crypto.cipher = randomName(random);
            document.crypto.kdfIterations = int(random.generate());
            document.crypto.salt = randomBytes(random, random.bounded(20));
            document.crypto.nonce = randomBytes(random, random.bounded(30));
            document.crypto.payloadNonce = randomBytes(random, random.bounded(30));
            document.crypto.authTag = randomBytes(random, random.bounded(3));
            document.crypto.encryptedMasterKey = randomBytes(random, random.bounded(90));
            document.encryptedIndex = randomBytes(random, random.bounded(500));

            QJsonObject root;
            root.insert("crypto", manager.cryptoMetadataToJson(document.crypto));
            root.insert("encryptedIndex", QString::fromLatin1(document.encryptedIndex.toBase64()));
            root.insert("formatVersion", document.formatVersion);
            root.insert("magic", "SECUSB");
            QCOMPARE(manager.buildHeader(document), QJsonDocument(root).toJson(QJsonDocument::Compact));
        }
    }
};

QTEST_GUILESS_MAIN(CompactJsonTest)
#include "tst_compactjson.moc"

#include "core/CryptoManager.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QTest>

using namespace Kavendru::Core;

namespace {

KeyDerivationParams params(const QString& algorithm, const QByteArray& salt, int iterations, int length)
{
    KeyDerivationParams p;
    p.algorithm = algorithm;
    p.salt = salt;
    p.iterations = iterations;
    p.keyLength = length;
    return p;
}

const QByteArray kKey(32, '\x42');
const QByteArray kNonce(24, '\x24');

} // namespace

class CryptoManagerTest : public QObject {
    Q_OBJECT

private slots:
    void pbkdf2KnownAnswers_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("expected");
        // RFC 7914, section 11.
        QTest::newRow("passwd/salt/1/64")
            << QByteArray("passwd") << QByteArray("salt") << 1 << 64
            << QByteArray::fromHex("55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                                   "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
        QTest::newRow("Password/NaCl/80000/64")
            << QByteArray("Password") << QByteArray("NaCl") << 80000 << 64
            << QByteArray::fromHex("4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
                                   "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
        // 40 bytes: the whole first block and 8 bytes of the second.
        QTest::newRow("two blocks, cut")
            << QByteArray("senha") << QByteArray("sal") << 3 << 40
            << QByteArray::fromHex("dac825275dfb0746797eae0062e389a142d89bb7b67a34f45d1e2375f49a0fc91fe6f59acf20f8fb");
    }

    void pbkdf2KnownAnswers()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(int, iterations);
        QFETCH(int, length);
        QFETCH(QByteArray, expected);
        CryptoManager crypto;
        QCOMPARE(crypto.deriveKey(password, params("PBKDF2", salt, iterations, length)), expected);
        // Any name other than exactly "Argon2id" means PBKDF2, the empty one
        // and a lower-case spelling included.
        QCOMPARE(crypto.deriveKey(password, params("", salt, iterations, length)), expected);
        QCOMPARE(crypto.deriveKey(password, params("argon2id", salt, iterations, length)), expected);
    }

    void argon2idKnownAnswer()
    {
        // Computed with the reference argon2 tool: -id -t 3 -m 18 -p 1 -l 64.
        CryptoManager crypto;
        const QByteArray expected = QByteArray::fromHex(
            "ed2415c876bb57fdda6f57d1164cfd1ed8c97305c1888528fd3e4385da0960d4"
            "3c2b092923aff8a5e25674b4b7da5206590a2b256ea509f830415d2be9643b6b");
        const QByteArray salt("0123456789abcdef");
        QCOMPARE(crypto.deriveKey("correct horse battery", params("Argon2id", salt, 250000, 64)), expected);
        // The iteration count plays no part in Argon2id.
        QCOMPARE(crypto.deriveKey("correct horse battery", params("Argon2id", salt, 1, 64)), expected);
    }

    void derivationRefusals_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QString>("algorithm");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<int>("length");
        const QByteArray salt16("0123456789abcdef");
        QTest::newRow("empty password") << QByteArray() << "PBKDF2" << salt16 << 1 << 64;
        QTest::newRow("empty salt") << QByteArray("x") << "PBKDF2" << QByteArray() << 1 << 64;
        QTest::newRow("length 0") << QByteArray("x") << "PBKDF2" << salt16 << 1 << 0;
        QTest::newRow("pbkdf2 iterations 0") << QByteArray("x") << "PBKDF2" << salt16 << 0 << 64;
        // libsodium reads exactly 16 salt bytes: another length must not
        // become a read past the buffer.
        QTest::newRow("argon2id salt 15") << QByteArray("x") << "Argon2id" << salt16.left(15) << 1 << 64;
        QTest::newRow("argon2id salt 17") << QByteArray("x") << "Argon2id" << (salt16 + "!") << 1 << 64;
        QTest::newRow("argon2id salt 1") << QByteArray("x") << "Argon2id" << QByteArray("s") << 1 << 64;
        QTest::newRow("argon2id output under 16") << QByteArray("x") << "Argon2id" << salt16 << 1 << 15;
    }

    void derivationRefusals()
    {
        QFETCH(QByteArray, password);
        QFETCH(QString, algorithm);
        QFETCH(QByteArray, salt);
        QFETCH(int, iterations);
        QFETCH(int, length);
        CryptoManager crypto;
        QVERIFY(crypto.deriveKey(password, params(algorithm, salt, iterations, length)).isEmpty());
    }

    void encryptionSizes_data()
    {
        QTest::addColumn<int>("keySize");
        QTest::addColumn<int>("nonceSize");
        QTest::addColumn<bool>("works");
        QTest::newRow("valid") << 32 << 24 << true;
        QTest::newRow("key 31") << 31 << 24 << false;
        QTest::newRow("key 33") << 33 << 24 << false;
        QTest::newRow("nonce 12") << 32 << 12 << false;
        QTest::newRow("nonce 25") << 32 << 25 << false;
    }

    void encryptionSizes()
    {
        QFETCH(int, keySize);
        QFETCH(int, nonceSize);
        QFETCH(bool, works);
        CryptoManager crypto;
        const QByteArray key(keySize, 'k');
        const QByteArray nonce(nonceSize, 'n');
        const QByteArray ciphertext = crypto.encrypt("texto", key, nonce, "ad");
        QCOMPARE(!ciphertext.isEmpty(), works);
        if (works) {
            QCOMPARE(ciphertext.size(), 5 + 16);
            QCOMPARE(crypto.decrypt(ciphertext, key, nonce, "ad"), QByteArray("texto"));
            QCOMPARE(crypto.encrypt(QByteArray(), key, nonce, "ad").size(), 16);
        } else {
            QVERIFY(crypto.decrypt(QByteArray(40, 'c'), key, nonce, "ad").isEmpty());
        }
    }

    void everyAlteredBitFails()
    {
        CryptoManager crypto;
        const QByteArray ad("SECUSB|file-block|3");
        const QByteArray ciphertext = crypto.encrypt("conteudo secreto", kKey, kNonce, ad);
        QVERIFY(!ciphertext.isEmpty());
        for (int i = 0; i < ciphertext.size() * 8; ++i) {
            QByteArray altered = ciphertext;
            altered[i / 8] = char(altered[i / 8] ^ (1 << (i % 8)));
            QVERIFY(crypto.decrypt(altered, kKey, kNonce, ad).isEmpty());
        }
        for (int i = 0; i < kNonce.size() * 8; ++i) {
            QByteArray nonce = kNonce;
            nonce[i / 8] = char(nonce[i / 8] ^ (1 << (i % 8)));
            QVERIFY(crypto.decrypt(ciphertext, kKey, nonce, ad).isEmpty());
        }
        QVERIFY(crypto.decrypt(ciphertext, kKey, kNonce, "SECUSB|file-block|4").isEmpty());
        QVERIFY(crypto.decrypt(ciphertext.left(15), kKey, kNonce, ad).isEmpty());
        QVERIFY(crypto.decrypt(ciphertext.left(16), kKey, kNonce, ad).isEmpty());
    }

    void bufferFormsMatchArrayForms()
    {
        CryptoManager crypto;
        const QByteArray plain(1000, 'p');
        QByteArray out;
        QVERIFY(crypto.encryptInto(plain.constData(), plain.size(), kKey, kNonce, "ad", &out));
        QCOMPARE(out, crypto.encrypt(plain, kKey, kNonce, "ad"));
        QByteArray back;
        QVERIFY(crypto.decryptInto(out.constData(), out.size(), kKey, kNonce, "ad", &back));
        QCOMPARE(back, plain);
        out[3] = char(out[3] ^ 1);
        QVERIFY(!crypto.decryptInto(out.constData(), out.size(), kKey, kNonce, "ad", &back));
        QVERIFY(back.isEmpty());
    }

    void randomBytes()
    {
        CryptoManager crypto;
        QCOMPARE(crypto.generateSalt(16).size(), 16);
        QCOMPARE(crypto.generateNonce(24).size(), 24);
        QVERIFY(crypto.generateNonce(24) != crypto.generateNonce(24));
        QVERIFY(crypto.generateSalt(0).isEmpty());
        QVERIFY(crypto.generateSalt(-1).isEmpty());
    }

    void hmacAndComparison()
    {
        CryptoManager crypto;
        // RFC 4231 test case 2 has a short key; use a 32-byte key instead and
        // check against Qt's HMAC.
        const QByteArray key(32, '\x0b');
        QCOMPARE(crypto.hmacSha256("Hi There", key),
                 QMessageAuthenticationCode::hash("Hi There", key, QCryptographicHash::Sha256));
        QCOMPARE(crypto.hmacSha256("data", QByteArray(64, 'k')),
                 QMessageAuthenticationCode::hash("data", QByteArray(32, 'k'), QCryptographicHash::Sha256));
        QVERIFY(crypto.hmacSha256("data", QByteArray(31, 'k')).isEmpty());

        QVERIFY(crypto.constantTimeEquals(QByteArray(), QByteArray()));
        QVERIFY(crypto.constantTimeEquals("abc", "abc"));
        QVERIFY(!crypto.constantTimeEquals("abc", "abd"));
        QVERIFY(!crypto.constantTimeEquals("abc", "abcd"));
        QVERIFY(!crypto.constantTimeEquals(QByteArray(), "a"));
    }

    void passwordCheck()
    {
        CryptoManager crypto;
        AuthManager auth(crypto);
        const KeyDerivationParams p = params("PBKDF2", "sal", 2, 32);
        const QByteArray expected = QCryptographicHash::hash(crypto.deriveKey("senha", p), QCryptographicHash::Sha256);
        QVERIFY(auth.authenticate("senha", expected, p));
        QVERIFY(!auth.authenticate("Senha", expected, p));
        QVERIFY(!auth.authenticate("senha", QByteArray(), p));
        QVERIFY(!auth.authenticate(QByteArray(), expected, p));
    }

    void wipingSharedBuffer()
    {
        // A shared buffer is released, not overwritten under its other owner.
        QByteArray first(16, 'k');
        QByteArray second = first;
        wipeBytes(second);
        QVERIFY(second.isEmpty());
        QCOMPARE(first, QByteArray(16, 'k'));
    }
};

QTEST_GUILESS_MAIN(CryptoManagerTest)
#include "tst_cryptomanager.moc"

#include "core/VaultManager.h"

#include "VaultFixtures.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace Kavendru::Core;
using namespace KavendruTest;

namespace {

const QByteArray kPassword("senha-muito-forte");
const QByteArray kNewPassword("outra-senha-longa");

VaultFileEntry entry(const QString& path)
{
    VaultFileEntry e;
    e.id = QStringLiteral("id-") + path;
    e.vaultPath = path;
    e.sizeBytes = 3;
    return e;
}

} // namespace

class VaultLifecycleTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        baseTempPath();
        QVERIFY(fixtures.isValid());
        // One Argon2id vault made by creation, copied by the tests that need it.
        argonVault = fixtures.filePath("argon.susb");
        QVERIFY(VaultManager().createVault(argonVault, kPassword));
    }

    void init()
    {
        temp = makeTempDir();
        QVERIFY(temp->isValid());
        qputenv("TMPDIR", QFile::encodeName(temp->filePath("tmp")));
        QVERIFY(QDir().mkpath(temp->filePath("tmp")));
        path = temp->filePath("kavendru.susb");
    }

    void freshManager()
    {
        VaultManager vault;
        QCOMPARE(vault.state(), VaultManager::Locked);
        QVERIFY(vault.fileIndex().entries().isEmpty());
        QVERIFY(!vault.saveIndex(SecureFileIndex()));
        QVERIFY(vault.lockVault());
    }

    void createdVaultLayout()
    {
        QCOMPARE(fileSize(argonVault), ContainerManager::PayloadStart);
        QCOMPARE(readWholeFile(argonVault).mid(7, 21), QByteArray("00000000000000000488\n"));
        ContainerDocument document;
        QVERIFY(ContainerManager().readDocument(argonVault, &document));
        QCOMPARE(document.crypto.kdf, QStringLiteral("Argon2id"));
        QCOMPARE(document.crypto.cipher, QStringLiteral("XChaCha20-Poly1305"));
        QCOMPARE(document.crypto.kdfIterations, 0);
        QCOMPARE(document.crypto.salt.size(), 16);
        QCOMPARE(document.crypto.nonce.size(), 24);
        QCOMPARE(document.crypto.payloadNonce.size(), 24);
        QCOMPARE(document.crypto.encryptedMasterKey.size(), 80);
        QCOMPARE(document.encryptedIndex.size(), 63);
        QVERIFY(document.crypto.authTag.isEmpty());
    }

    void createRefusesShortPasswords_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("11 characters") << QByteArray("12345678901");
        // Twelve bytes of UTF-8, but only six characters.
        QTest::newRow("12 bytes, 6 characters") << QString::fromUtf8("çççççç").toUtf8();
    }

    void createRefusesShortPasswords()
    {
        QFETCH(QByteArray, password);
        VaultManager vault;
        QVERIFY(!vault.createVault(path, password));
        QVERIFY(!QFileInfo::exists(path));
    }

    void createThenUnlock()
    {
        // Eleven characters, one outside the BMP: twelve UTF-16 units.
        const QByteArray password = QString::fromUtf8("1234567890\xF0\x9F\x94\x91").toUtf8();
        VaultManager vault;
        QVERIFY(QFile::copy(argonVault, path));
        QVERIFY(vault.createVault(path, password));
        QCOMPARE(vault.state(), VaultManager::Locked);
        QVERIFY(readHeaderJson(path) != readHeaderJson(argonVault)); // replaced
        QVERIFY(!vault.unlockVault(path, kPassword));
        QCOMPARE(vault.state(), VaultManager::Locked);
        QVERIFY(vault.unlockVault(path, password));
        QCOMPARE(vault.state(), VaultManager::Unlocked);
        QVERIFY(vault.fileIndex().entries().isEmpty());
        QVERIFY(vault.lockVault());
    }

    void unlockRefusals()
    {
        QVERIFY(writeFastVault(path, kPassword));
        VaultManager vault;
        QVERIFY(!vault.unlockVault(path, QByteArray()));
        QVERIFY(!vault.unlockVault(temp->filePath("none.susb"), kPassword));
        QVERIFY(!vault.unlockVault(path, "errada"));
        QCOMPARE(vault.state(), VaultManager::Locked);
        QVERIFY(vault.unlockVault(path, kPassword));
        // A second unlock or a creation while unlocked is refused.
        QVERIFY(!vault.unlockVault(path, kPassword));
        QVERIFY(!vault.createVault(temp->filePath("novo.susb"), kNewPassword));
        QVERIFY(!QFileInfo::exists(temp->filePath("novo.susb")));
        QCOMPARE(vault.state(), VaultManager::Unlocked);
        QVERIFY(vault.lockVault());
    }

    void associatedDataBytes()
    {
        VaultManager vault;
        ContainerDocument document;
        document.crypto.cipher = QStringLiteral("XChaCha20-Poly1305");
        document.crypto.kdf = QStringLiteral("Argon2id");
        document.crypto.kdfIterations = 0;
        document.crypto.salt = QByteArray(16, 's');
        document.crypto.nonce = QByteArray(24, 'n');
        document.crypto.payloadNonce = QByteArray(24, 'p');
        const QByteArray block = vault.associatedData(document, "file-block");
        QCOMPARE(block, QByteArray("SECUSB|file-block|3"));
        const QByteArray index = vault.associatedData(document, "index");
        QCOMPARE(index, QByteArray("SECUSB|index|3|XChaCha20-Poly1305|") + QByteArray(24, 'p'));
        QCOMPARE(index.size(), 58);
        const QByteArray master = vault.associatedData(document, "master-key");
        QCOMPARE(master, QByteArray("SECUSB|master-key|3|XChaCha20-Poly1305|Argon2id|0|") + QByteArray(16, 's') + "|"
                             + QByteArray(24, 'n'));
        QCOMPARE(master.size(), 91);
        document.crypto.kdfIterations = -7;
        QVERIFY(vault.associatedData(document, "master-key").contains("|-7|"));
        document.crypto.cipher = QStringLiteral("outro");
        QCOMPARE(vault.associatedData(document, "file-block"), block);
    }

    void tamperMatrix_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("wrapBreaks");
        QTest::addColumn<bool>("indexBreaks");
        QTest::newRow("kdf") << "kdf" << true << false;
        QTest::newRow("kdfIterations") << "kdfIterations" << true << false;
        QTest::newRow("salt") << "salt" << true << false;
        QTest::newRow("nonce") << "nonce" << true << false;
        QTest::newRow("cipher") << "cipher" << true << true;
        QTest::newRow("payloadNonce") << "payloadNonce" << false << true;
        QTest::newRow("authTag") << "authTag" << false << false;
    }

    void tamperMatrix()
    {
        QFETCH(QString, field);
        QFETCH(bool, wrapBreaks);
        QFETCH(bool, indexBreaks);
        SecureFileIndex index;
        index.addOrReplace(entry("a.txt"));
        QVERIFY(writeFastVault(path, kPassword, index, 2));
        VaultManager vault;
        QVERIFY(vault.unlockVault(path, kPassword));
        ContainerDocument document;
        QVERIFY(ContainerManager().readDocument(path, &document));
        ContainerCryptoMetadata& crypto = document.crypto;
        const auto flip = [](QByteArray& bytes) { bytes[0] = char(bytes[0] ^ 1); };
        if (field == "kdf")
            crypto.kdf = QStringLiteral("PBKDF2-SHA256"); // still PBKDF2: only the binding changes
        else if (field == "kdfIterations")
            crypto.kdfIterations = 3;
        else if (field == "salt")
            flip(crypto.salt);
        else if (field == "nonce")
            flip(crypto.nonce);
        else if (field == "cipher")
            crypto.cipher = QStringLiteral("XChaCha20-Poly1305 ");
        else if (field == "payloadNonce")
            flip(crypto.payloadNonce);
        else
            crypto.authTag = "qualquer";
        QCOMPARE(vault.decryptMasterKey(document, kPassword).isEmpty(), wrapBreaks);
        SecureFileIndex read;
        QCOMPARE(!vault.decryptIndex(document, &read), indexBreaks);
        if (!indexBreaks)
            QCOMPARE(read.entries().size(), 1);
        vault.lockVault();
    }

    void missingIterationsMeansDefault()
    {
        QVERIFY(QFile::copy(argonVault, path));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        QJsonObject header = readHeaderJson(path);
        QJsonObject crypto = header.value("crypto").toObject();
        crypto.remove("kdfIterations");
        header.insert("crypto", crypto);
        QVERIFY(writeHeaderJson(path, header));
        ContainerDocument document;
        QVERIFY(ContainerManager().readDocument(path, &document));
        QCOMPARE(document.crypto.kdfIterations, 250000);
        // Wrapped with 0 in the associated data, so it no longer opens.
        VaultManager vault;
        QVERIFY(!vault.unlockVault(path, kPassword));
    }

    void indexThatIsNotAnObject_data()
    {
        QTest::addColumn<QByteArray>("plaintext");
        QTest::newRow("array") << QByteArray("[{\"files\":[]}]");
        QTest::newRow("string") << QByteArray("\"files\"");
        QTest::newRow("not json") << QByteArray("files: []");
    }

    void indexThatIsNotAnObject()
    {
        QFETCH(QByteArray, plaintext);
        QVERIFY(writeFastVault(path, kPassword, SecureFileIndex(), 1, plaintext));
        VaultManager vault;
        QVERIFY(!vault.unlockVault(path, kPassword));
        QCOMPARE(vault.state(), VaultManager::Locked);
    }

    void savesRenewIndexNonce()
    {
        QVERIFY(writeFastVault(path, kPassword));
        VaultManager vault;
        QVERIFY(vault.unlockVault(path, kPassword));
        SecureFileIndex index;
        index.addOrReplace(entry("notas.txt"));
        QVERIFY(vault.saveIndex(index));
        const QJsonObject first = readHeaderJson(path);
        QVERIFY(vault.saveIndex(index));
        const QJsonObject second = readHeaderJson(path);
        QVERIFY(first.value("crypto").toObject().value("payloadNonce") != second.value("crypto").toObject().value("payloadNonce"));
        QVERIFY(first.value("encryptedIndex") != second.value("encryptedIndex"));
        QCOMPARE(vault.fileIndex().entries().size(), 1);
        QVERIFY(vault.lockVault());

        VaultManager again;
        QVERIFY(again.unlockVault(path, kPassword));
        QCOMPARE(again.fileIndex().entries().first().vaultPath, QStringLiteral("notas.txt"));
        again.lockVault();
    }

    void saveOnRemovedContainer()
    {
        QVERIFY(writeFastVault(path, kPassword));
        VaultManager vault;
        QVERIFY(vault.unlockVault(path, kPassword));
        QVERIFY(QFile::remove(path));
        SecureFileIndex index;
        index.addOrReplace(entry("a"));
        QVERIFY(!vault.saveIndex(index));
        QVERIFY(vault.fileIndex().entries().isEmpty());
        QVERIFY(!QFileInfo::exists(path));
        vault.lockVault();
    }

    void anotherVaultAtThePathIsNotOverwritten()
    {
        QVERIFY(writeFastVault(path, kPassword));
        VaultManager vault;
        QVERIFY(vault.unlockVault(path, kPassword));
        // Another stick with the same label, same password, same mount path.
        QVERIFY(QFile::remove(path));
        QVERIFY(writeFastVault(path, kPassword));
        const QByteArray before = sha256OfFile(path);
        SecureFileIndex index;
        index.addOrReplace(entry("a"));
        QVERIFY(!vault.saveIndex(index));
        QCOMPARE(sha256OfFile(path), before);
        vault.lockVault();
    }

    void anotherInstancesSaveIsNotOverwritten()
    {
        QVERIFY(writeFastVault(path, kPassword));
        VaultManager first;
        VaultManager second;
        QVERIFY(first.unlockVault(path, kPassword));
        QVERIFY(second.unlockVault(path, kPassword));
        SecureFileIndex index;
        index.addOrReplace(entry("do-primeiro"));
        QVERIFY(first.saveIndex(index));
        const QByteArray afterFirst = sha256OfFile(path);
        SecureFileIndex other;
        other.addOrReplace(entry("do-segundo"));
        QVERIFY(!second.saveIndex(other));
        QCOMPARE(sha256OfFile(path), afterFirst);
        QVERIFY(second.fileIndex().entries().isEmpty());
        // The writer itself goes on writing.
        index.addOrReplace(entry("mais"));
        QVERIFY(first.saveIndex(index));
        first.lockVault();
        second.lockVault();
    }

    void passwordChange()
    {
        QVERIFY(writeFastVault(path, kPassword, SecureFileIndex(), 2));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            QVERIFY(file.write(randomBytes(5000, 7)) == 5000);
        }
        const QByteArray before = readWholeFile(path);
        const QJsonObject oldHeader = readHeaderJson(path);
        const QJsonObject oldCrypto = oldHeader.value("crypto").toObject();

        VaultManager vault;
        QVERIFY(!vault.changePassword(path, "errada", kNewPassword));
        QCOMPARE(readWholeFile(path), before);
        QVERIFY(!vault.changePassword(path, kPassword, "curta"));
        QVERIFY(!vault.changePassword(path, QByteArray(), kNewPassword));
        QCOMPARE(readWholeFile(path), before);

        QVERIFY(vault.changePassword(path, kPassword, kNewPassword));
        const QByteArray after = readWholeFile(path);
        QCOMPARE(after.size(), before.size());
        QCOMPARE(after.mid(ContainerManager::PayloadStart), before.mid(ContainerManager::PayloadStart));
        const QJsonObject newHeader = readHeaderJson(path);
        const QJsonObject newCrypto = newHeader.value("crypto").toObject();
        QCOMPARE(newHeader.value("encryptedIndex"), oldHeader.value("encryptedIndex"));
        QCOMPARE(newCrypto.value("payloadNonce"), oldCrypto.value("payloadNonce"));
        // A PBKDF2 header moves to Argon2id at its first change.
        QCOMPARE(newCrypto.value("kdf").toString(), QStringLiteral("Argon2id"));
        QCOMPARE(newCrypto.value("kdfIterations").toInt(-1), 0);
        for (const char* key : {"salt", "nonce", "encryptedMasterKey"})
            QVERIFY2(newCrypto.value(key) != oldCrypto.value(key), key);
        QCOMPARE(QByteArray::fromBase64(newCrypto.value("salt").toString().toLatin1()).size(), 16);

        QVERIFY(!vault.unlockVault(path, kPassword));
        QVERIFY(vault.unlockVault(path, kNewPassword));
        QVERIFY(!vault.changePassword(path, kNewPassword, kPassword));
        QVERIFY(vault.lockVault());
    }

    void workspaceThatCannotBePrepared()
    {
        QVERIFY(writeFastVault(path, kPassword));
        QVERIFY(writeWholeFile(temp->filePath("tmp/Kavendru"), "not a folder"));
        VaultManager vault;
        QVERIFY(!vault.unlockVault(path, kPassword));
        QCOMPARE(vault.state(), VaultManager::Locked);
        // No key is held: nothing can be sealed with it.
        ContainerDocument document;
        QVERIFY(ContainerManager().readDocument(path, &document));
        QVERIFY(vault.encryptIndex(document, SecureFileIndex()).isEmpty());
    }

    void lockRemovesWorkspaceAndKey()
    {
        QVERIFY(writeFastVault(path, kPassword));
        VaultManager vault;
        QVERIFY(vault.unlockVault(path, kPassword));
        const QStringList workspaces = QDir(temp->filePath("tmp/Kavendru")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(workspaces.size(), 1);
        QVERIFY(vault.lockVault());
        QCOMPARE(vault.state(), VaultManager::Locked);
        QVERIFY(QDir(temp->filePath("tmp/Kavendru")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
        ContainerDocument document;
        QVERIFY(ContainerManager().readDocument(path, &document));
        QVERIFY(vault.encryptIndex(document, SecureFileIndex()).isEmpty());
        QVERIFY(!vault.saveIndex(SecureFileIndex()));
    }

private:
    QTemporaryDir fixtures;
    QString argonVault;
    std::unique_ptr<QTemporaryDir> temp;
    QString path;
};

KAVENDRU_TEST_MAIN(VaultLifecycleTest)
#include "tst_vaultlifecycle.moc"

#include "VaultFixtures.h"

#include "core/CryptoManager.h"
#include "core/VaultManager.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <algorithm>

using namespace Kavendru::Core;

namespace KavendruTest {

bool writeFastVault(const QString& path, const QByteArray& password, const SecureFileIndex& index, int iterations,
                    const QByteArray& indexPlaintext)
{
    CryptoManager crypto;
    VaultManager keys;
    ContainerDocument document;
    document.crypto.kdf = QStringLiteral("PBKDF2");
    document.crypto.cipher = QStringLiteral("XChaCha20-Poly1305");
    document.crypto.kdfIterations = iterations;
    document.crypto.salt = crypto.generateSalt(16);
    document.crypto.nonce = crypto.generateNonce(24);
    document.crypto.payloadNonce = crypto.generateNonce(24);
    const QByteArray masterKey = crypto.generateSalt(64);
    document.crypto.encryptedMasterKey = keys.encryptMasterKey(document, password, masterKey);
    const QByteArray plain = indexPlaintext.isNull() ? index.toJson() : indexPlaintext;
    document.encryptedIndex = crypto.encrypt(plain, masterKey.left(32), document.crypto.payloadNonce,
                                             keys.associatedData(document, "index"));
    if (document.crypto.encryptedMasterKey.isEmpty() || document.encryptedIndex.isEmpty())
        return false;
    return ContainerManager().writeDocument(path, document);
}

bool openFreshVault(const QByteArray& password, std::unique_ptr<QTemporaryDir>* folder, QString* tmp,
                    QString* containerPath, std::unique_ptr<VaultManager>* vault)
{
    *folder = makeTempDir();
    if (!(*folder)->isValid())
        return false;
    *tmp = (*folder)->filePath(QStringLiteral("tmp"));
    if (!QDir().mkpath(*tmp))
        return false;
    qputenv("TMPDIR", QFile::encodeName(*tmp));
    *containerPath = (*folder)->filePath(QStringLiteral("kavendru.susb"));
    if (!writeFastVault(*containerPath, password))
        return false;
    *vault = std::make_unique<VaultManager>();
    return (*vault)->unlockVault(*containerPath, password);
}

QJsonObject readHeaderJson(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    const QByteArray start = file.read(28);
    const qint64 size = start.mid(7, 20).trimmed().toLongLong();
    return QJsonDocument::fromJson(file.read(size)).object();
}

bool writeHeaderJson(const QString& path, const QJsonObject& header)
{
    const QByteArray json = QJsonDocument(header).toJson(QJsonDocument::Compact);
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray area = QByteArray::number(json.size()).rightJustified(20, '0') + '\n' + json;
    area.append(QByteArray(ContainerManager::HeaderAreaSize - json.size(), '\0'));
    return file.seek(7) && file.write(area) == area.size() && file.flush();
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qint64 words = size / 4;
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), words);
    for (qint64 i = words * 4; i < size; ++i)
        bytes[i] = char(generator.bounded(256));
    return bytes;
}

bool writeRandomFile(const QString& path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QRandomGenerator generator(seed);
    constexpr qint64 chunk = 4 * 1024 * 1024;
    QByteArray buffer(chunk, Qt::Uninitialized);
    for (qint64 done = 0; done < size; done += chunk) {
        const qint64 now = std::min(chunk, size - done);
        generator.fillRange(reinterpret_cast<quint32*>(buffer.data()), chunk / 4);
        if (file.write(buffer.constData(), now) != now)
            return false;
    }
    return file.flush();
}

} // namespace KavendruTest

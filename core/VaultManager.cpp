#include "VaultManager.h"

#include "DurableIo.h"
#include "FileIdentity.h"
#include "VaultPaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>

#ifndef Q_OS_WIN
#include <cerrno>
#include <sys/stat.h>
#endif

namespace Kavendru::Core {

using namespace VaultPaths;

namespace {

const QByteArray kPurposeFileBlock = QByteArrayLiteral("file-block");
const QByteArray kPurposeIndex = QByteArrayLiteral("index");
const QByteArray kPurposeMasterKey = QByteArrayLiteral("master-key");
const QString kCopyBackLabel = QStringLiteral("Substituindo container no USB");
constexpr int kMasterKeySize = 64;
constexpr int kSaltSize = 16;
constexpr int kNonceSize = 24;
constexpr qint64 kCopyBackChunk = 8388608;

bool readExactly(QIODevice& device, QByteArray& buffer, qint64 size)
{
    buffer.resize(size);
    qint64 done = 0;
    while (done < size) {
        const qint64 read = device.read(buffer.data() + done, size - done);
        if (read <= 0)
            return false;
        done += read;
    }
    return true;
}

// A block record this system could have written: sized as its cipher
// demands, inside the block area of the header that was read (a shorter
// length line starts it earlier) and inside the file.
bool isSaneBlock(const VaultFileBlock& block, qint64 payloadStart, qint64 containerSize)
{
    return block.plainSize >= 0 && block.plainSize <= VaultManager::BlockSize
        && block.encryptedSize == block.plainSize + CryptoManager::TagSize && block.offset >= payloadStart
        && block.offset <= containerSize - block.encryptedSize;
}

// Copies the rebuilt container onto the drive chunk by chunk, reporting
// each, and syncs it.
bool copyBack(QFile& input, QFileDevice& output, const ProgressCallback& progress)
{
    const qint64 size = input.size();
    if (progress)
        progress(0, size, kCopyBackLabel);
    qint64 copied = 0;
    QByteArray chunk(kCopyBackChunk, Qt::Uninitialized);
    while (!input.atEnd()) {
        const qint64 read = input.read(chunk.data(), kCopyBackChunk);
        if (read <= 0 || !writeFully(output, chunk.constData(), read))
            return false;
        startWriteback(output, copied, read);
        copied += read;
        if (progress)
            progress(copied, size, kCopyBackLabel);
    }
    return syncFileToDevice(output);
}

// Whether the drive is known to lack room for a file of that size beside
// what it holds, with a margin for the file system's rounding and its own
// bookkeeping. Unknown free space is no reason to delete the old container.
bool driveLacksRoomFor(const QString& containerPath, qint64 size)
{
    constexpr qint64 kMargin = 1024 * 1024;
    const QStorageInfo drive(QFileInfo(containerPath).absolutePath());
    return drive.isValid() && drive.isReady() && drive.bytesAvailable() < size + kMargin;
}

// Whether two headers wrap the master key alike: one password gives one
// key from both.
bool sameKeyWrap(const ContainerCryptoMetadata& a, const ContainerCryptoMetadata& b)
{
    return a.kdf == b.kdf && a.kdfIterations == b.kdfIterations && a.cipher == b.cipher && a.salt == b.salt
        && a.nonce == b.nonce && a.encryptedMasterKey == b.encryptedMasterKey;
}

// The index with one file under a new path, everything else in place.
SecureFileIndex indexWithFileMoved(const SecureFileIndex& index, const QString& source, const QString& newPath)
{
    SecureFileIndex moved;
    for (const VaultDirectoryEntry& entry : index.directoryList())
        moved.addDirectory(entry);
    for (VaultFileEntry entry : index.fileList()) {
        if (entry.vaultPath.compare(source, Qt::CaseInsensitive) == 0)
            entry.vaultPath = newPath;
        moved.addOrReplace(entry);
    }
    return moved;
}

// The time a decrypted copy is dated with. A copy dated now could be edited
// within the file system's time resolution (a coarse clock on ext4, two
// seconds on FAT) and keep the recorded time, and the edit would be lost:
// dated at least a minute back, any later write moves it. The file's own
// time when it is old enough, in whole even seconds that every file system
// stores as given.
QDateTime copyModificationTime(const QDateTime& stored, const QDateTime& now)
{
    const QDateTime latest = now.addSecs(-60);
    const QDateTime earliest(QDate(1980, 1, 2), QTime(0, 0), Qt::UTC);
    const QDateTime chosen = stored.isValid() && stored >= earliest && stored <= latest ? stored : latest;
    qint64 seconds = chosen.toSecsSinceEpoch();
    seconds -= seconds % 2;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

// Creates the folders from the workspace down to the copy's folder, each
// reachable by this user only.
bool makePrivatePath(const QString& root, const QString& folder)
{
    if (!QDir().mkpath(folder))
        return false;
#ifndef Q_OS_WIN
    QString path = QDir::cleanPath(folder);
    const QString top = QDir::cleanPath(root);
    while (path.startsWith(top + QLatin1Char('/'))) {
        if (::chmod(QFile::encodeName(path).constData(), 0700) != 0)
            return false;
        path = QFileInfo(path).absolutePath();
    }
#else
    Q_UNUSED(root);
#endif
    return true;
}

} // namespace

VaultManager::VaultManager() = default;

VaultManager::~VaultManager()
{
    forgetMasterKey();
}

VaultManager::State VaultManager::state() const
{
    return vaultState;
}

SecureFileIndex VaultManager::fileIndex() const
{
    return index;
}

QList<TrackedTempFile> VaultManager::modifiedOpenFiles() const
{
    return fileSync.modifiedFiles();
}

bool VaultManager::isNewPasswordLongEnough(const QByteArray& password) const
{
    return QString::fromUtf8(password).size() >= 12;
}

void VaultManager::forgetMasterKey()
{
    wipeBytes(masterKey);
}

QByteArray VaultManager::indexKey() const
{
    // A view of the first 32 bytes: no copy of the key is left behind.
    if (masterKey.size() < CryptoManager::KeySize)
        return QByteArray();
    return QByteArray::fromRawData(masterKey.constData(), CryptoManager::KeySize);
}

// ---------------------------------------------------------------------------
// Key hierarchy

QByteArray VaultManager::associatedData(const ContainerDocument& document, const QByteArray& purpose) const
{
    const ContainerCryptoMetadata& crypto = document.crypto;
    QByteArray data = QByteArrayLiteral("SECUSB|") + purpose + '|' + QByteArray::number(document.formatVersion);
    if (purpose == kPurposeFileBlock)
        return data;
    data += '|' + crypto.cipher.toUtf8();
    if (purpose == kPurposeMasterKey) {
        data += '|' + crypto.kdf.toUtf8() + '|' + QByteArray::number(crypto.kdfIterations) + '|' + crypto.salt + '|'
            + crypto.nonce;
        return data;
    }
    data += '|' + crypto.payloadNonce;
    return data;
}

QByteArray VaultManager::deriveSessionKey(const QByteArray& password, const ContainerCryptoMetadata& metadata) const
{
    KeyDerivationParams params;
    params.algorithm = metadata.kdf;
    params.salt = metadata.salt;
    params.iterations = metadata.kdfIterations;
    params.keyLength = 64;
    return cryptoManager.deriveKey(password, params);
}

QByteArray VaultManager::encryptMasterKey(const ContainerDocument& document, const QByteArray& password,
                                          const QByteArray& key) const
{
    QByteArray sessionKey = deriveSessionKey(password, document.crypto);
    if (sessionKey.size() < CryptoManager::KeySize || key.isEmpty()) {
        wipeBytes(sessionKey);
        return QByteArray();
    }
    const QByteArray wrapKey = QByteArray::fromRawData(sessionKey.constData(), CryptoManager::KeySize);
    const QByteArray wrapped =
        cryptoManager.encrypt(key, wrapKey, document.crypto.nonce, associatedData(document, kPurposeMasterKey));
    wipeBytes(sessionKey);
    return wrapped;
}

QByteArray VaultManager::decryptMasterKey(const ContainerDocument& document, const QByteArray& password) const
{
    QByteArray sessionKey = deriveSessionKey(password, document.crypto);
    if (sessionKey.size() < CryptoManager::KeySize || document.crypto.encryptedMasterKey.isEmpty()) {
        wipeBytes(sessionKey);
        return QByteArray();
    }
    const QByteArray wrapKey = QByteArray::fromRawData(sessionKey.constData(), CryptoManager::KeySize);
    QByteArray key = cryptoManager.decrypt(document.crypto.encryptedMasterKey, wrapKey, document.crypto.nonce,
                                           associatedData(document, kPurposeMasterKey));
    wipeBytes(sessionKey);
    return key;
}

QByteArray VaultManager::encryptIndex(const ContainerDocument& document, const SecureFileIndex& plainIndex) const
{
    return cryptoManager.encrypt(plainIndex.toJson(), indexKey(), document.crypto.payloadNonce,
                                 associatedData(document, kPurposeIndex));
}

bool VaultManager::decryptIndex(const ContainerDocument& document, SecureFileIndex* output) const
{
    if (!output || document.encryptedIndex.isEmpty())
        return false;
    const QByteArray plain = cryptoManager.decrypt(document.encryptedIndex, indexKey(), document.crypto.payloadNonce,
                                                   associatedData(document, kPurposeIndex));
    if (plain.isEmpty())
        return false;
    // An authenticated text that is not an index must not open as an empty
    // vault: the next save would seal the empty index over the real one.
    bool isObject = false;
    SecureFileIndex parsed = SecureFileIndex::fromJson(plain, &isObject);
    if (!isObject)
        return false;
    *output = parsed;
    return true;
}

// ---------------------------------------------------------------------------
// The container of the unlocked vault

void VaultManager::rememberUnlockedContainer(const ContainerDocument& document)
{
    unlockedIdentity = document.crypto;
    lastPayloadNonce = document.crypto.payloadNonce;
    payloadStart = document.payloadOffset;
}

bool VaultManager::isUnlockedContainer(const ContainerDocument& document) const
{
    // Another stick mounted at the same path, or another running copy of the
    // program that wrote since we last did, must not be overwritten.
    return sameKeyWrap(document.crypto, unlockedIdentity) && document.crypto.payloadNonce == lastPayloadNonce;
}

bool VaultManager::readUnlockedDocument(ContainerDocument* document) const
{
    return containerManager.readDocument(containerPath, document) && isUnlockedContainer(*document);
}

bool VaultManager::writeIndexIntoHeader(ContainerDocument& document, const SecureFileIndex& newIndex)
{
    document.fileIndex = newIndex;
    document.filePayloads.clear();
    document.encryptedPayload.clear();
    document.crypto.authTag.clear();
    document.crypto.payloadNonce = cryptoManager.generateNonce(int(document.crypto.nonce.size()));
    document.encryptedIndex = encryptIndex(document, newIndex);
    if (document.encryptedIndex.isEmpty())
        return false;
    if (!containerManager.updateDocumentHeader(containerPath, document))
        return false;
    lastPayloadNonce = document.crypto.payloadNonce;
    return true;
}

bool VaultManager::isContainerFile(const QString& path) const
{
    return !containerPath.isEmpty() && sameFile(path, containerPath);
}

// ---------------------------------------------------------------------------
// Lifecycle

// Opens the container under the password. When its header does not read,
// or the index does not authenticate under a key the password unwraps, a
// header rewrite was cut short: the journal beside it is put back, but only
// when the header it holds opens under this password, so a mistyped
// password or a journal of another container never changes the file. A key
// that this password does not unwrap is no reason: a password change that
// finished leaves a stale journal under the old password.
bool VaultManager::openContainer(const QString& path, const QByteArray& password, ContainerDocument* document,
                                 SecureFileIndex* decrypted)
{
    ContainerDocument read;
    const bool readable = containerManager.readDocument(path, &read);
    if (readable) {
        masterKey = decryptMasterKey(read, password);
        if (masterKey.isEmpty())
            return false;
        if (decryptIndex(read, decrypted)) {
            // Whatever journal lies beside a container that opens is stale.
            containerManager.removeHeaderJournal(path);
            *document = read;
            return true;
        }
    }
    ContainerDocument restored;
    if (!containerManager.readJournaledDocument(path, &restored)) {
        forgetMasterKey();
        return false;
    }
    // The same wrap gives the same key: no second key derivation for it.
    if (!readable || restored.formatVersion != read.formatVersion || !sameKeyWrap(restored.crypto, read.crypto)) {
        forgetMasterKey();
        masterKey = decryptMasterKey(restored, password);
    }
    if (masterKey.isEmpty())
        return false;
    if (!decryptIndex(restored, decrypted) || !containerManager.restoreHeaderFromJournal(path)) {
        forgetMasterKey();
        return false;
    }
    *document = restored;
    return true;
}

bool VaultManager::unlockVault(const QString& path, const QByteArray& password)
{
    if (vaultState == Unlocked || password.isEmpty())
        return false;
    ContainerDocument document;
    SecureFileIndex decrypted;
    if (!openContainer(path, password, &document, &decrypted))
        return false;
    index = decrypted;
    containerPath = path;
    if (!workspace.prepare()) {
        forgetMasterKey();
        return false;
    }
    rememberUnlockedContainer(document);
    vaultState = Unlocked;
    return true;
}

bool VaultManager::createVault(const QString& path, const QByteArray& newPassword)
{
    if (vaultState == Unlocked || !isNewPasswordLongEnough(newPassword))
        return false;
    ContainerDocument document;
    document.formatVersion = 3;
    document.crypto.kdf = QStringLiteral("Argon2id");
    document.crypto.cipher = QStringLiteral("XChaCha20-Poly1305");
    document.crypto.kdfIterations = 0;
    document.crypto.nonce = cryptoManager.generateNonce(kNonceSize);
    document.crypto.salt = cryptoManager.generateSalt(kSaltSize);
    document.crypto.payloadNonce = cryptoManager.generateNonce(int(document.crypto.nonce.size()));

    containerPath = path;
    index.clear();
    masterKey = cryptoManager.generateSalt(kMasterKeySize);
    document.crypto.encryptedMasterKey = encryptMasterKey(document, newPassword, masterKey);
    if (document.crypto.encryptedMasterKey.isEmpty()) {
        forgetMasterKey();
        return false;
    }
    document.encryptedIndex = encryptIndex(document, index);
    forgetMasterKey();
    vaultState = Locked;
    if (document.encryptedIndex.isEmpty())
        return false;
    return containerManager.writeDocument(path, document);
}

bool VaultManager::changePassword(const QString& path, const QByteArray& currentPassword,
                                  const QByteArray& newPassword)
{
    if (vaultState != Locked || currentPassword.isEmpty())
        return false;
    if (!isNewPasswordLongEnough(newPassword))
        return false;
    // The container must open whole first: a rewrite over a header whose
    // index does not authenticate would replace the journal that can still
    // bring it back.
    ContainerDocument document;
    SecureFileIndex unused;
    if (!openContainer(path, currentPassword, &document, &unused))
        return false;
    QByteArray key;
    key.swap(masterKey);
    document.crypto.kdf = QStringLiteral("Argon2id");
    document.crypto.kdfIterations = 0;
    document.crypto.cipher = QStringLiteral("XChaCha20-Poly1305");
    document.crypto.nonce = cryptoManager.generateNonce(kNonceSize);
    document.crypto.salt = cryptoManager.generateSalt(kSaltSize);
    document.crypto.encryptedMasterKey = encryptMasterKey(document, newPassword, key);
    wipeBytes(key);
    if (document.crypto.encryptedMasterKey.isEmpty())
        return false;
    return containerManager.updateDocumentHeader(path, document);
}

bool VaultManager::saveIndex(const SecureFileIndex& newIndex)
{
    if (vaultState != Unlocked || masterKey.isEmpty())
        return false;
    ContainerDocument document;
    if (!readUnlockedDocument(&document))
        return false;
    if (!writeIndexIntoHeader(document, newIndex))
        return false;
    index = newIndex;
    return true;
}

// ---------------------------------------------------------------------------
// Import and export

bool VaultManager::importFile(const QString& sourcePath, const QString& vaultPath)
{
    return importFile(sourcePath, vaultPath, ProgressCallback());
}

bool VaultManager::importFile(const QString& sourcePath, const QString& vaultPath, const ProgressCallback& progress)
{
    if (vaultState != Unlocked)
        return false;
    const QString target = normalizedVaultPath(vaultPath);
    if (target.isEmpty())
        return false;
    // The open copy would be written back over the new content at lock.
    if (isOpenForEditing(target))
        return false;
    return writeFileIntoVault(sourcePath, target, progress);
}

// The import itself, for a normalised target; the write-back of an open
// copy comes here directly, as its own file is open by definition.
bool VaultManager::writeFileIntoVault(const QString& sourcePath, const QString& target,
                                      const ProgressCallback& progress)
{
    if (vaultState != Unlocked || target.isEmpty())
        return false;
    const QFileInfo sourceInfo(sourcePath);
    if (!sourceInfo.exists() || !sourceInfo.isFile())
        return false;
    // Importing the container into itself would grow it until the drive is
    // full; a file cannot take the place of a folder.
    if (isContainerFile(sourcePath) || indexContainsDirectoryPath(index, target))
        return false;

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return false;

    ContainerDocument document;
    if (!readUnlockedDocument(&document))
        return false;

    SecureFileIndex newIndex;
    for (const VaultDirectoryEntry& folder : index.directoryList())
        newIndex.addDirectory(folder);
    ensureParentDirectories(&newIndex, target);
    for (const VaultFileEntry& file : index.fileList()) {
        if (file.vaultPath.compare(target, Qt::CaseInsensitive) != 0)
            newIndex.addOrReplace(file);
    }

    VaultFileEntry entry;
    entry.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    entry.vaultPath = target;
    entry.lastModifiedUtc = sourceInfo.fileTime(QFileDevice::FileModificationTime).toUTC();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const qint64 bytesTotal = sourceInfo.size();
    qint64 bytesDone = 0;

    const QByteArray blockData = associatedData(document, kPurposeFileBlock);
    const QByteArray key = indexKey();

    QFile container(containerPath);
    if (!container.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return false;
    const qint64 oldSize = container.size();

    const auto rollback = [&]() {
        if (!container.isOpen())
            container.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered);
        if (container.isOpen()) {
            container.resize(oldSize);
            syncFileToDevice(container);
            container.close();
        }
        return false;
    };

    if (!container.seek(oldSize))
        return rollback();

    // One plaintext and one ciphertext buffer for the whole file.
    QByteArray plain(BlockSize, Qt::Uninitialized);
    QByteArray cipher;
    cipher.reserve(BlockSize + CryptoManager::TagSize);
    while (!source.atEnd()) {
        const qint64 read = source.read(plain.data(), BlockSize);
        if (read <= 0)
            return rollback();
        hash.addData(QByteArrayView(plain.constData(), read));
        const QByteArray nonce = cryptoManager.generateNonce(int(document.crypto.nonce.size()));
        if (!cryptoManager.encryptInto(plain.constData(), read, key, nonce, blockData, &cipher))
            return rollback();
        const qint64 offset = container.pos();
        if (!writeFully(container, cipher.constData(), cipher.size()))
            return rollback();
        startWriteback(container, offset, cipher.size());
        entry.blocks.append(VaultFileBlock{offset, read, cipher.size(), nonce});
        bytesDone += read;
        if (progress)
            progress(bytesDone, bytesTotal, target);
    }
    // The blocks must be on the device before a header names them.
    if (!syncFileToDevice(container))
        return rollback();
    container.close();

    entry.sizeBytes = bytesDone;
    entry.sha256 = hash.result();
    if (!newIndex.addOrReplace(entry))
        return rollback();
    if (!writeIndexIntoHeader(document, newIndex))
        return rollback();
    index = newIndex;
    return true;
}

const VaultFileEntry* VaultManager::findEntry(const QString& vaultPath) const
{
    for (const VaultFileEntry& entry : index.fileList()) {
        if (entry.vaultPath.compare(vaultPath, Qt::CaseInsensitive) == 0)
            return &entry;
    }
    return nullptr;
}

bool VaultManager::writeEntryToDevice(const VaultFileEntry& entry, QFile& container, QIODevice* device) const
{
    const ContainerDocument formatThree;
    const QByteArray blockData = associatedData(formatThree, kPurposeFileBlock);
    const QByteArray key = indexKey();
    const qint64 containerSize = container.size();
    QByteArray cipher;
    QByteArray plain;
    for (const VaultFileBlock& block : entry.blocks) {
        // A damaged or hostile record must not make us allocate or read
        // what no block of ours can be.
        if (!isSaneBlock(block, payloadStart, containerSize))
            return false;
        if (!container.seek(block.offset) || !readExactly(container, cipher, block.encryptedSize))
            return false;
        if (!cryptoManager.decryptInto(cipher.constData(), cipher.size(), key, block.nonce, blockData, &plain))
            return false;
        if (plain.size() != block.plainSize)
            return false;
        if (!writeFully(*device, plain.constData(), plain.size()))
            return false;
    }
    return true;
}

bool VaultManager::writeVaultFileToDevice(const QString& vaultPath, QIODevice* device) const
{
    if (!device || vaultState != Unlocked)
        return false;
    const VaultFileEntry* entry = findEntry(vaultPath);
    if (!entry)
        return false;
    QFile container(containerPath);
    if (!container.open(QIODevice::ReadOnly))
        return false;
    return writeEntryToDevice(*entry, container, device);
}

bool VaultManager::exportFile(const QString& vaultPath, const QString& destinationPath) const
{
    const QString path = normalizedVaultPath(vaultPath);
    if (vaultState != Unlocked || path.isEmpty())
        return false;
    // Nothing is written until the entry and the container are at hand, and
    // the container itself is never the destination.
    const VaultFileEntry* entry = findEntry(path);
    if (!entry)
        return false;
    QFile container(containerPath);
    if (!container.open(QIODevice::ReadOnly))
        return false;
    if (isContainerFile(destinationPath))
        return false;

    const QFileInfo destination(destinationPath);
    if (destination.exists() && !destination.isFile() && !destination.isDir()) {
        // A device: written directly, as there is nothing to replace.
        QFile output(destinationPath);
        if (!output.open(QIODevice::WriteOnly))
            return false;
        const bool ok = writeEntryToDevice(*entry, container, &output) && output.flush();
        output.close();
        return ok;
    }

    // A regular file appears only whole, and a file being replaced survives
    // a failed export.
    QSaveFile output(destinationPath);
    if (!output.open(QIODevice::WriteOnly))
        return false;
    if (!writeEntryToDevice(*entry, container, &output) || !syncFileToDevice(output)) {
        output.cancelWriting();
        return false;
    }
    return output.commit();
}

// ---------------------------------------------------------------------------
// Organisation

bool VaultManager::isOpenForEditing(const QString& vaultPath) const
{
    for (const TrackedTempFile& tracked : fileSync.trackedFiles()) {
        if (tracked.vaultPath.compare(vaultPath, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool VaultManager::moveFile(const QString& vaultPath, const QString& targetDirectory)
{
    const QString source = normalizedVaultPath(vaultPath);
    const QString folder = normalizedVaultPath(targetDirectory);
    if (vaultState != Unlocked || source.isEmpty())
        return false;
    if (!indexContainsFilePath(index, source))
        return false;
    if (!folder.isEmpty() && !indexContainsDirectoryPath(index, folder))
        return false;
    const QString baseName = source.mid(source.lastIndexOf(QLatin1Char('/')) + 1);
    const QString newPath = folder.isEmpty() ? baseName : folder + QLatin1Char('/') + baseName;
    if (newPath.compare(source, Qt::CaseInsensitive) == 0)
        return false;
    if (indexContainsFilePath(index, newPath) || indexContainsDirectoryPath(index, newPath))
        return false;
    if (isOpenForEditing(source))
        return false;

    return saveIndex(indexWithFileMoved(index, source, newPath));
}

bool VaultManager::renameFile(const QString& vaultPath, const QString& newVaultPath)
{
    const QString source = normalizedVaultPath(vaultPath);
    const QString target = normalizedVaultPath(newVaultPath);
    if (vaultState != Unlocked || source.isEmpty() || target.isEmpty())
        return false;
    if (target.compare(source, Qt::CaseInsensitive) == 0)
        return false;
    if (!indexContainsFilePath(index, source))
        return false;
    if (indexContainsFilePath(index, target) || indexContainsDirectoryPath(index, target))
        return false;
    if (isOpenForEditing(source))
        return false;

    return saveIndex(indexWithFileMoved(index, source, target));
}

bool VaultManager::deleteFile(const QString& vaultPath)
{
    const QString path = normalizedVaultPath(vaultPath);
    if (vaultState != Unlocked || path.isEmpty())
        return false;
    const VaultFileEntry* entry = findEntry(path);
    if (!entry)
        return false;
    ContainerDocument document;
    if (!readUnlockedDocument(&document))
        return false;
    SecureFileIndex newIndex = index;
    if (!newIndex.remove(entry->vaultPath) || !writeIndexIntoHeader(document, newIndex))
        return false;
    index = newIndex;
    // An open copy of the deleted file must not bring it back at lock. Its
    // plaintext goes now; one an application still holds where that blocks
    // removal (Windows) goes with the workspace at lock.
    for (const TrackedTempFile& tracked : fileSync.trackedFiles()) {
        if (tracked.vaultPath.compare(path, Qt::CaseInsensitive) != 0)
            continue;
        fileSync.untrack(tracked.vaultPath);
        QFile::remove(tracked.tempPath);
    }
    return true;
}

bool VaultManager::createDirectory(const QString& vaultPath)
{
    const QString path = normalizedVaultPath(vaultPath);
    if (vaultState != Unlocked || path.isEmpty())
        return false;
    if (indexContainsDirectoryPath(index, path) || indexContainsFilePath(index, path))
        return false;
    SecureFileIndex newIndex = index;
    ensureParentDirectories(&newIndex, path);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!newIndex.addDirectory(VaultDirectoryEntry{path, now, now}))
        return false;
    return saveIndex(newIndex);
}

bool VaultManager::renameDirectory(const QString& vaultPath, const QString& newVaultPath)
{
    const QString source = normalizedVaultPath(vaultPath);
    const QString target = normalizedVaultPath(newVaultPath);
    if (vaultState != Unlocked || source.isEmpty() || target.isEmpty())
        return false;
    if (target.compare(source, Qt::CaseInsensitive) == 0 || pathIsInsideDirectory(target, source))
        return false;
    if (!indexContainsDirectoryPath(index, source))
        return false;
    if (indexContainsDirectoryPath(index, target) || indexContainsFilePath(index, target))
        return false;
    const auto atOrUnderSource = [&source](const QString& path) {
        return path.compare(source, Qt::CaseInsensitive) == 0 || pathIsInsideDirectory(path, source);
    };
    for (const TrackedTempFile& tracked : fileSync.trackedFiles()) {
        if (atOrUnderSource(tracked.vaultPath))
            return false;
    }
    // Whatever already lies under the target, outside the folder being
    // renamed, would be overwritten by what comes in: refuse instead.
    for (const VaultFileEntry& entry : index.fileList()) {
        if (pathIsInsideDirectory(entry.vaultPath, target) && !atOrUnderSource(entry.vaultPath))
            return false;
    }
    for (const VaultDirectoryEntry& entry : index.directoryList()) {
        if (pathIsInsideDirectory(entry.path, target) && !atOrUnderSource(entry.path))
            return false;
    }

    // Ancestors of the target that exist in another case keep their stored
    // entry (added below in their place), so no two folders differ by case.
    SecureFileIndex newIndex;
    {
        SecureFileIndex missing = index;
        const qsizetype before = missing.directoryList().size();
        ensureParentDirectories(&missing, target);
        const QList<VaultDirectoryEntry> all = missing.directoryList();
        for (qsizetype i = before; i < all.size(); ++i)
            newIndex.addDirectory(all.at(i));
    }
    const QDateTime renamed = QDateTime::currentDateTimeUtc();
    for (VaultDirectoryEntry entry : index.directoryList()) {
        if (entry.path.compare(source, Qt::CaseInsensitive) == 0) {
            entry.path = target;
            entry.modifiedUtc = renamed;
        } else if (pathIsInsideDirectory(entry.path, source)) {
            entry.path = target + entry.path.mid(source.size());
            entry.modifiedUtc = renamed;
        }
        newIndex.addDirectory(entry);
    }
    for (VaultFileEntry entry : index.fileList()) {
        if (pathIsInsideDirectory(entry.vaultPath, source))
            entry.vaultPath = target + entry.vaultPath.mid(source.size());
        if (!newIndex.addOrReplace(entry))
            return false;
    }
    return saveIndex(newIndex);
}

bool VaultManager::deleteDirectory(const QString& vaultPath)
{
    const QString path = normalizedVaultPath(vaultPath);
    if (vaultState != Unlocked || path.isEmpty())
        return false;
    // The folder as the index stores it; none means the path is no folder.
    QString storedPath;
    for (const VaultDirectoryEntry& entry : index.directoryList()) {
        if (entry.path.compare(path, Qt::CaseInsensitive) == 0) {
            storedPath = entry.path;
            break;
        }
    }
    if (storedPath.isEmpty())
        return false;
    for (const VaultDirectoryEntry& entry : index.directoryList()) {
        if (pathIsInsideDirectory(entry.path, path))
            return false;
    }
    for (const VaultFileEntry& entry : index.fileList()) {
        if (pathIsInsideDirectory(entry.vaultPath, path))
            return false;
    }
    SecureFileIndex newIndex = index;
    if (!newIndex.removeDirectory(storedPath))
        return false;
    return saveIndex(newIndex);
}

// ---------------------------------------------------------------------------
// Compaction

bool VaultManager::compactVault(const ProgressCallback& progress, QString* preservedContainerPath)
{
    if (preservedContainerPath)
        preservedContainerPath->clear();
    if (vaultState != Unlocked || containerPath.isEmpty())
        return false;
    ContainerDocument document;
    if (!readUnlockedDocument(&document))
        return false;
    QFile source(containerPath);
    if (!source.open(QIODevice::ReadOnly))
        return false;

    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/Kavendru-compact-XXXXXX"));
    if (!folder.isValid())
        return false;
    folder.setAutoRemove(false);
    const QString rebuiltPath = QDir(folder.path()).filePath(QStringLiteral("kavendru.susb"));
    const auto removeFolder = [&folder]() { QDir(folder.path()).removeRecursively(); };

    ContainerDocument rebuilt = document;
    rebuilt.fileIndex.clear();
    for (const VaultDirectoryEntry& entry : index.directoryList())
        rebuilt.fileIndex.addDirectory(entry);
    rebuilt.filePayloads.clear();
    rebuilt.encryptedPayload.clear();
    rebuilt.crypto.authTag.clear();
    rebuilt.crypto.payloadNonce = cryptoManager.generateNonce(int(rebuilt.crypto.nonce.size()));

    const QList<VaultFileEntry> files = index.entries();
    qint64 bytesTotal = 0;
    for (const VaultFileEntry& entry : files)
        bytesTotal += entry.sizeBytes;
    qint64 bytesDone = 0;
    const qint64 sourceSize = source.size();

    const auto payloadWriter = [&](QIODevice* output) {
        QByteArray buffer;
        buffer.reserve(BlockSize + CryptoManager::TagSize);
        for (VaultFileEntry entry : files) {
            QList<VaultFileBlock> moved;
            moved.reserve(entry.blocks.size());
            for (VaultFileBlock block : entry.blocks) {
                if (!isSaneBlock(block, document.payloadOffset, sourceSize))
                    return false;
                if (!source.seek(block.offset) || !readExactly(source, buffer, block.encryptedSize))
                    return false;
                block.offset = output->pos();
                if (!writeFully(*output, buffer.constData(), buffer.size()))
                    return false;
                if (auto* file = qobject_cast<QFileDevice*>(output); file && file->flush())
                    startWriteback(*file, block.offset, buffer.size());
                moved.append(block);
                bytesDone += block.plainSize;
                if (progress)
                    progress(bytesDone, bytesTotal, entry.vaultPath);
            }
            entry.blocks = moved;
            if (!rebuilt.fileIndex.addOrReplace(entry))
                return false;
        }
        rebuilt.encryptedIndex = encryptIndex(rebuilt, rebuilt.fileIndex);
        return !rebuilt.encryptedIndex.isEmpty();
    };

    const bool written = containerManager.writeDocument(rebuiltPath, rebuilt, payloadWriter);
    source.close();
    if (!written) {
        removeFolder();
        return false;
    }

    ContainerDocument check;
    SecureFileIndex checkIndex;
    if (!containerManager.readDocument(rebuiltPath, &check) || !decryptIndex(check, &checkIndex)
        || checkIndex.fileList().size() != index.fileList().size()
        || checkIndex.directoryList().size() != index.directoryList().size()) {
        removeFolder();
        return false;
    }

    const auto switchToRebuilt = [&]() {
        index = rebuilt.fileIndex;
        lastPayloadNonce = rebuilt.crypto.payloadNonce;
        payloadStart = ContainerManager::PayloadStart;
        containerManager.removeHeaderJournal(containerPath);
    };

    // With room for both on the drive, the rebuilt container is written
    // beside the old one and takes its place in one step: whenever this
    // stops, the drive holds one whole container.
    if (!driveLacksRoomFor(containerPath, QFileInfo(rebuiltPath).size())) {
        QFile input(rebuiltPath);
        QSaveFile output(containerPath);
        if (!input.open(QIODevice::ReadOnly) || !output.open(QIODevice::WriteOnly)) {
            removeFolder();
            return false;
        }
        if (!copyBack(input, output, progress)) {
            output.cancelWriting();
            removeFolder();
            return false;
        }
        input.close();
        if (!output.commit()) {
            removeFolder();
            return false;
        }
        syncDirectory(QFileInfo(containerPath).absolutePath());
        switchToRebuilt();
        removeFolder();
        return true;
    }

    // No room for both: the old container goes first.
    if (!QFile::remove(containerPath)) {
        removeFolder();
        return false;
    }
    // From here on the rebuilt container is the vault, wherever it ends up:
    // a user who puts the preserved file back must find matching offsets.
    switchToRebuilt();

    const auto preserve = [&]() {
        if (preservedContainerPath)
            *preservedContainerPath = rebuiltPath;
        return false;
    };
    QFile input(rebuiltPath);
    if (!input.open(QIODevice::ReadOnly))
        return preserve();
    QFile output(containerPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return preserve();
    // The drive's copy must be durable before the only other one is removed.
    if (!copyBack(input, output, progress)) {
        output.close();
        QFile::remove(containerPath);
        return preserve();
    }
    output.close();
    input.close();
    syncDirectory(QFileInfo(containerPath).absolutePath());
    removeFolder();
    return true;
}

// ---------------------------------------------------------------------------
// Opening for editing, write-back and locking

bool VaultManager::prepareFileForEditing(const QString& vaultPath, QString* localPath)
{
    if (vaultState != Unlocked || !localPath)
        return false;
    const QString path = normalizedVaultPath(vaultPath);
    if (path.isEmpty())
        return false;

    // An edited copy not yet written back is the newest content of the
    // file: open it as it is rather than decrypting over it.
    for (const TrackedTempFile& tracked : fileSync.trackedFiles()) {
        if (tracked.vaultPath.compare(path, Qt::CaseInsensitive) == 0 && fileSync.isModified(tracked.vaultPath)) {
            *localPath = tracked.tempPath;
            return true;
        }
    }

    const VaultFileEntry* entry = findEntry(path);
    if (!entry)
        return false;
    const QString copyPath = workspace.pathForVaultFile(path);
    if (copyPath.isEmpty())
        return false;
    if (!makePrivatePath(workspace.workspacePath(), QFileInfo(copyPath).absolutePath()))
        return false;
    const QDateTime copyTime = copyModificationTime(entry->lastModifiedUtc, QDateTime::currentDateTimeUtc());

    // Decrypted beside the copy and put in its place only when whole.
    QSaveFile copy(copyPath);
    if (!copy.open(QIODevice::WriteOnly))
        return false;
    if (!copy.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || !writeVaultFileToDevice(path, &copy) || !copy.flush()
        || !copy.setFileTime(copyTime, QFileDevice::FileModificationTime)) {
        copy.cancelWriting();
        return false;
    }
    if (!copy.commit())
        return false;
    if (!fileSync.track(path, copyPath))
        return false;
    *localPath = copyPath;
    return true;
}

bool VaultManager::syncModifiedTempFiles()
{
    const QList<TrackedTempFile> modified = fileSync.modifiedFiles();
    for (const TrackedTempFile& tracked : modified) {
        if (!writeFileIntoVault(tracked.tempPath, tracked.vaultPath, ProgressCallback()))
            return false;
    }
    return true;
}

bool VaultManager::lockVault()
{
    if (vaultState == Unlocked && !syncModifiedTempFiles())
        return false;
    fileSync.clear();
    const bool removed = workspace.cleanup();
    forgetMasterKey();
    vaultState = Locked;
    return removed;
}

} // namespace Kavendru::Core

#pragma once

#include "ContainerManager.h"
#include "CryptoManager.h"
#include "FileSyncManager.h"
#include "SecureFileIndex.h"
#include "TempWorkspaceManager.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QFile;
class QIODevice;

namespace Kavendru::Core {

using ProgressCallback = std::function<void(qint64 bytesDone, qint64 bytesTotal, const QString& progressLabel)>;

// The one open vault: its container, keys, decrypted index and workspace.
// Every operation reports failure by its result only.
class VaultManager {
public:
    enum State : int { Locked = 0, Unlocked = 1 };

    static constexpr qint64 BlockSize = 16777216;

    VaultManager();
    ~VaultManager();
    VaultManager(const VaultManager&) = delete;
    VaultManager& operator=(const VaultManager&) = delete;

    State state() const;
    SecureFileIndex fileIndex() const;
    QList<TrackedTempFile> modifiedOpenFiles() const;

    bool unlockVault(const QString& containerPath, const QByteArray& password);
    bool createVault(const QString& containerPath, const QByteArray& newPassword);
    bool changePassword(const QString& containerPath, const QByteArray& currentPassword,
                        const QByteArray& newPassword);
    bool saveIndex(const SecureFileIndex& newIndex);
    bool lockVault();

    bool importFile(const QString& sourcePath, const QString& vaultPath, const ProgressCallback& progress);
    bool importFile(const QString& sourcePath, const QString& vaultPath);
    bool exportFile(const QString& vaultPath, const QString& destinationPath) const;
    bool writeVaultFileToDevice(const QString& vaultPath, QIODevice* device) const;

    bool moveFile(const QString& vaultPath, const QString& targetDirectory);
    bool renameFile(const QString& vaultPath, const QString& newVaultPath);
    bool deleteFile(const QString& vaultPath);
    bool createDirectory(const QString& vaultPath);
    bool renameDirectory(const QString& vaultPath, const QString& newVaultPath);
    bool deleteDirectory(const QString& vaultPath);

    bool compactVault(const ProgressCallback& progress, QString* preservedContainerPath);

    bool prepareFileForEditing(const QString& vaultPath, QString* localPath);
    bool syncModifiedTempFiles();
    // Whether a decrypted copy of that file (any letter case) is tracked.
    bool isOpenForEditing(const QString& vaultPath) const;

    // Key hierarchy: which key, nonce and associated data protect what.
    QByteArray associatedData(const ContainerDocument& document, const QByteArray& purpose) const;
    QByteArray deriveSessionKey(const QByteArray& password, const ContainerCryptoMetadata& metadata) const;
    QByteArray encryptMasterKey(const ContainerDocument& document, const QByteArray& password,
                                const QByteArray& masterKey) const;
    QByteArray decryptMasterKey(const ContainerDocument& document, const QByteArray& password) const;
    QByteArray encryptIndex(const ContainerDocument& document, const SecureFileIndex& index) const;
    bool decryptIndex(const ContainerDocument& document, SecureFileIndex* output) const;

private:
    bool isNewPasswordLongEnough(const QByteArray& password) const;
    void forgetMasterKey();
    bool openContainer(const QString& path, const QByteArray& password, ContainerDocument* document,
                       SecureFileIndex* decrypted);
    QByteArray indexKey() const;
    void rememberUnlockedContainer(const ContainerDocument& document);
    bool isUnlockedContainer(const ContainerDocument& document) const;
    bool readUnlockedDocument(ContainerDocument* document) const;
    bool writeIndexIntoHeader(ContainerDocument& document, const SecureFileIndex& newIndex);
    bool isContainerFile(const QString& path) const;
    bool writeFileIntoVault(const QString& sourcePath, const QString& target, const ProgressCallback& progress);
    const VaultFileEntry* findEntry(const QString& vaultPath) const;
    bool writeEntryToDevice(const VaultFileEntry& entry, QFile& container, QIODevice* device) const;

    State vaultState = Locked;
    QString containerPath;
    QByteArray masterKey;
    SecureFileIndex index;
    ContainerManager containerManager;
    CryptoManager cryptoManager;
    TempWorkspaceManager workspace;
    FileSyncManager fileSync;

    // What identifies the unlocked container on disk: its key wrap, and the
    // index nonce this vault last read or wrote.
    ContainerCryptoMetadata unlockedIdentity;
    QByteArray lastPayloadNonce;
    // Where the block area of the unlocked container begins.
    qint64 payloadStart = ContainerManager::PayloadStart;
};

} // namespace Kavendru::Core

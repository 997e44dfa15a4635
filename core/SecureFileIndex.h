#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

namespace Kavendru::Core {

struct VaultFileBlock {
    qint64 offset = 0;
    qint64 plainSize = 0;
    qint64 encryptedSize = 0;
    QByteArray nonce;
};

struct VaultFileEntry {
    QString id;
    QString vaultPath;
    qint64 sizeBytes = 0;
    QDateTime lastModifiedUtc;
    QByteArray sha256;
    QList<VaultFileBlock> blocks;
};

struct VaultDirectoryEntry {
    QString path;
    QDateTime createdUtc;
    QDateTime modifiedUtc;
};

// The decrypted table of contents of a vault. Paths are compared exactly
// here; the case-insensitive rules live with the vault operations.
class SecureFileIndex {
public:
    QList<VaultFileEntry> entries() const { return files; }
    QList<VaultDirectoryEntry> directories() const { return directoryEntries; }

    // Cheap read access for callers that only walk the lists.
    const QList<VaultFileEntry>& fileList() const { return files; }
    const QList<VaultDirectoryEntry>& directoryList() const { return directoryEntries; }

    bool contains(const QString& vaultPath) const;
    bool containsDirectory(const QString& path) const;

    void clear();
    bool addOrReplace(const VaultFileEntry& entry);
    bool addDirectory(const VaultDirectoryEntry& entry);
    bool remove(const QString& vaultPath);
    bool removeDirectory(const QString& path);

    QByteArray toJson() const;
    // isObject, when given, tells whether the text was a JSON object at all.
    static SecureFileIndex fromJson(const QByteArray& json, bool* isObject = nullptr);

private:
    void rebuildFilePositions();
    void rebuildDirectoryPositions();

    QList<VaultFileEntry> files;
    QList<VaultDirectoryEntry> directoryEntries;
    // Exact path -> position of its first entry, so lookups and replaces
    // stay O(1) on large indexes.
    QHash<QString, qsizetype> filePositions;
    QHash<QString, qsizetype> directoryPositions;
};

} // namespace Kavendru::Core

#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

namespace Kavendru::Core {

struct TrackedTempFile {
    QString vaultPath;
    QString tempPath;
    QDateTime trackedModifiedUtc;
    qint64 trackedSizeBytes = -1;
};

// The decrypted copies opened for editing, each with the modification time
// and size it had when it was written. A copy whose time or size differs
// since counts as edited: an older version put back with its old time is an
// edit too.
class FileSyncManager {
public:
    bool track(const QString& vaultPath, const QString& tempPath);
    bool isModified(const QString& vaultPath) const;
    QList<TrackedTempFile> modifiedFiles() const;
    QList<TrackedTempFile> trackedFiles() const;
    void clear();
    void untrack(const QString& vaultPath);

private:
    QHash<QString, TrackedTempFile> trackedByVaultPath;
};

} // namespace Kavendru::Core

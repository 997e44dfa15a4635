#include "FileSyncManager.h"

#include <QFileDevice>
#include <QFileInfo>

namespace Kavendru::Core {

namespace {

QDateTime modificationTimeUtc(const QFileInfo& info)
{
    return info.fileTime(QFileDevice::FileModificationTime).toUTC();
}

} // namespace

bool FileSyncManager::track(const QString& vaultPath, const QString& tempPath)
{
    const QFileInfo info(tempPath);
    if (!info.exists() || !info.isFile())
        return false;
    trackedByVaultPath.insert(vaultPath, TrackedTempFile{vaultPath, tempPath, modificationTimeUtc(info), info.size()});
    return true;
}

bool FileSyncManager::isModified(const QString& vaultPath) const
{
    const auto found = trackedByVaultPath.constFind(vaultPath);
    if (found == trackedByVaultPath.constEnd())
        return false;
    const QFileInfo copy(found->tempPath);
    if (!copy.exists())
        return false;
    return modificationTimeUtc(copy) != found->trackedModifiedUtc || copy.size() != found->trackedSizeBytes;
}

QList<TrackedTempFile> FileSyncManager::modifiedFiles() const
{
    QList<TrackedTempFile> result;
    for (auto it = trackedByVaultPath.constBegin(); it != trackedByVaultPath.constEnd(); ++it) {
        if (isModified(it.key()))
            result.append(it.value());
    }
    return result;
}

QList<TrackedTempFile> FileSyncManager::trackedFiles() const
{
    return trackedByVaultPath.values();
}

void FileSyncManager::clear()
{
    trackedByVaultPath.clear();
}

void FileSyncManager::untrack(const QString& vaultPath)
{
    trackedByVaultPath.remove(vaultPath);
}

} // namespace Kavendru::Core

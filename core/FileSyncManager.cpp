#include "FileSyncManager.h"

#include <QFileDevice>
#include <QFileInfo>

namespace Kavendru::Core {

namespace {

QDateTime modificationTimeUtc(const QString& path)
{
    return QFileInfo(path).fileTime(QFileDevice::FileModificationTime).toUTC();
}

} // namespace

bool FileSyncManager::track(const QString& vaultPath, const QString& tempPath)
{
    const QFileInfo info(tempPath);
    if (!info.exists() || !info.isFile())
        return false;
    trackedByVaultPath.insert(vaultPath, TrackedTempFile{vaultPath, tempPath, modificationTimeUtc(tempPath)});
    return true;
}

bool FileSyncManager::isModified(const QString& vaultPath) const
{
    const auto found = trackedByVaultPath.constFind(vaultPath);
    if (found == trackedByVaultPath.constEnd())
        return false;
    if (!QFileInfo::exists(found->tempPath))
        return false;
    return found->trackedModifiedUtc < modificationTimeUtc(found->tempPath);
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

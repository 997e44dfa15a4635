#include "TempWorkspaceManager.h"

#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QUuid>

#ifndef Q_OS_WIN
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Kavendru::Core {

namespace {

#ifndef Q_OS_WIN
// A folder only this user can enter. Creates it 0700 when missing; an
// existing one must be a real folder of ours (tightened to 0700), or, for
// the shared parent, root's with the sticky bit like /tmp itself.
bool ensurePrivateFolder(const QString& path, bool acceptRootSticky)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    if (info.st_uid == ::geteuid()) {
        if ((info.st_mode & 07777) != 0700 && ::chmod(native.constData(), 0700) != 0)
            return false;
        return true;
    }
    return acceptRootSticky && info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0;
}
#else
bool ensurePrivateFolder(const QString& path, bool)
{
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction())
        return false;
    return QDir().mkpath(path) && QFileInfo(path).isDir();
}
#endif

} // namespace

TempWorkspaceManager::TempWorkspaceManager()
    : workspaceDir(QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
                       .filePath(QStringLiteral("Kavendru/%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces))))
{
}

TempWorkspaceManager::~TempWorkspaceManager() = default;

QString TempWorkspaceManager::workspacePath() const
{
    return workspaceDir.absolutePath();
}

QString TempWorkspaceManager::pathForVaultFile(const QString& vaultPath) const
{
    const QString root = QDir::cleanPath(workspacePath());
    const QString joined = QDir(root).filePath(vaultPath);
    const QString path = QDir::cleanPath(joined);
    if (!path.startsWith(root + QLatin1Char('/')))
        return QString();
    const QString relative = path.mid(root.size() + 1);
    if (relative.compare(lockFileName(), Qt::CaseInsensitive) == 0
        || relative.compare(lockFileName() + QLatin1String(".rmlock"), Qt::CaseInsensitive) == 0)
        return QString();
    return joined;
}

bool TempWorkspaceManager::prepare()
{
    const QString path = workspacePath();
    const QString parent = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(QFileInfo(parent).absolutePath()))
        return false;
    if (!ensurePrivateFolder(parent, true) || !ensurePrivateFolder(path, false))
        return false;

    auto lock = std::make_unique<QLockFile>(workspaceDir.filePath(lockFileName()));
    if (!lock->tryLock(0))
        return false;
    lockFile = std::move(lock);
    return true;
}

bool TempWorkspaceManager::cleanup()
{
    // Released even when the folder is already gone: an old lock object
    // left behind would remove the next prepare's lock file by name.
    if (lockFile) {
        lockFile->unlock();
        lockFile.reset();
    }
    if (!workspaceDir.exists())
        return true;
    return QDir(workspacePath()).removeRecursively();
}

} // namespace Kavendru::Core

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace KavendruTest {

namespace {
bool privateNamespace = false;
}

bool enterPrivateMountNamespace()
{
    if (privateNamespace)
        return true;
    if (::geteuid() != 0)
        return false;
    if (::unshare(CLONE_NEWNS) != 0)
        return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    privateNamespace = true;
    return true;
}

bool inPrivateMountNamespace()
{
    return privateNamespace;
}

ScopedTmpfs::ScopedTmpfs(const QString& path, qint64 sizeBytes)
    : mountPoint(path)
{
    if (!privateNamespace)
        return;
    QDir().mkpath(path);
    const QByteArray options = "size=" + QByteArray::number(sizeBytes) + ",mode=0755";
    mounted = ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0;
}

ScopedTmpfs::~ScopedTmpfs()
{
    if (mounted)
        ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
}

int runInChild(const std::function<int()>& function)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int code = function();
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

bool limitFileSize(qint64 bytes)
{
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    limit.rlim_max = static_cast<rlim_t>(bytes);
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool killAtFileSize(qint64 bytes)
{
    if (!limitFileSize(bytes))
        return false;
    ::signal(SIGXFSZ, SIG_DFL);
    return true;
}

QString baseTempPath()
{
    static const QString base = QDir::tempPath();
    return base;
}

std::unique_ptr<QTemporaryDir> makeTempDir()
{
    return std::make_unique<QTemporaryDir>(QDir(baseTempPath()).filePath(QStringLiteral("kavendru-test-XXXXXX")));
}

QByteArray readWholeFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeWholeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size() && file.flush();
}

QByteArray sha256OfFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QByteArray();
    return hash.result().toHex();
}

unsigned fileMode(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

} // namespace KavendruTest

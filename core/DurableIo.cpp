#include "DurableIo.h"

#include <QFile>
#include <QFileDevice>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Kavendru::Core {

bool writeFully(QIODevice& device, const char* data, qint64 size)
{
    while (size > 0) {
        const qint64 written = device.write(data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool syncFileToDevice(QFileDevice& file)
{
    if (!file.isOpen())
        return false;
    if (!file.flush())
        return false;
    const int fd = file.handle();
    if (fd < 0)
        return false;
#ifdef Q_OS_WIN
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    return FlushFileBuffers(handle) != 0;
#else
    int result;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    return result == 0;
#endif
}

void startWriteback(QFileDevice& file, qint64 offset, qint64 length)
{
#ifdef Q_OS_LINUX
    const int fd = file.handle();
    if (fd >= 0 && length > 0)
        ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(file);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

bool syncDirectory(const QString& directoryPath)
{
#ifdef Q_OS_WIN
    Q_UNUSED(directoryPath);
    return true; // NTFS and FAT journal directory entries with the file flush
#else
    const QByteArray path = QFile::encodeName(directoryPath);
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    // Some file systems (vfat on old kernels) refuse fsync on directories.
    const bool ok = result == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
#endif
}

} // namespace Kavendru::Core

#include "ContainerBackup.h"

#include "core/DurableIo.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Kavendru::UI {

BackupResult copyContainerBackup(const QString& containerPath, const QString& destinationPath,
                                 const BackupProgress& progress)
{
    QFile source(containerPath);
    if (!source.open(QIODevice::ReadOnly))
        return BackupResult::SourceOpenFailed;
    const qint64 total = source.size();

    // A folder, a device or a pipe under that name is no backup to replace.
    const QFileInfo existing(destinationPath);
    if (existing.exists() && !existing.isFile())
        return BackupResult::DestinationOpenFailed;
    QSaveFile destination(destinationPath);
    if (!destination.open(QIODevice::WriteOnly))
        return BackupResult::DestinationOpenFailed;

    QByteArray chunk(kBackupChunkSize, Qt::Uninitialized);
    qint64 done = 0;
    while (!source.atEnd()) {
        const qint64 read = source.read(chunk.data(), chunk.size());
        if (read <= 0) {
            destination.cancelWriting();
            return BackupResult::CopyFailed;
        }
        if (!Core::writeFully(destination, chunk.constData(), read)) {
            destination.cancelWriting();
            return BackupResult::CopyFailed;
        }
        done += read;
        if (progress)
            progress(done, total);
    }
    // The container shrank under us, or a read stopped early: not a backup.
    if (done < total || !Core::syncFileToDevice(destination) || !destination.commit()) {
        destination.cancelWriting();
        return BackupResult::CopyFailed;
    }
    // The new name must survive a pulled stick as well as the bytes.
    if (!Core::syncDirectory(QFileInfo(destinationPath).absolutePath()))
        return BackupResult::CopyFailed;
    return BackupResult::Copied;
}

} // namespace Kavendru::UI

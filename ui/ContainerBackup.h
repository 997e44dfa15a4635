#pragma once

#include <QString>

#include <functional>

namespace Kavendru::UI {

enum class BackupResult {
    Copied,
    SourceOpenFailed,
    DestinationOpenFailed,
    CopyFailed,
};

// The bytes copied so far and the container's size, after every chunk.
using BackupProgress = std::function<void(qint64 done, qint64 total)>;

constexpr qint64 kBackupChunkSize = 8388608;

// Copies the container byte for byte to the destination, one chunk of
// 8 MiB at a time. The copy goes through a temporary file beside the
// destination and replaces it only when whole and synced, so a failure
// (a full drive, a pulled stick) leaves an existing destination as it was.
// A destination that exists and is not a regular file is refused, and a
// copy shorter than the container is a failure.
BackupResult copyContainerBackup(const QString& containerPath, const QString& destinationPath,
                                 const BackupProgress& progress);

} // namespace Kavendru::UI

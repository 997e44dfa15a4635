#pragma once

#include <QString>

class QFileDevice;
class QIODevice;

namespace Kavendru::Core {

// Writes every byte or reports false: a short write is a failure.
bool writeFully(QIODevice& device, const char* data, qint64 size);

// Flushes Qt's buffer and asks the system to put the file's data on the
// device. Only after this returns true may anything rely on those bytes.
bool syncFileToDevice(QFileDevice& file);

// Asks the system to start writing a just-written range to the device now,
// without waiting: long copies then keep the device busy instead of piling
// up in memory and stalling at the final sync. Best effort; no result.
void startWriteback(QFileDevice& file, qint64 offset, qint64 length);

// Syncs a directory so a rename or a new entry in it survives a power cut.
// Best effort where the platform has no such call.
bool syncDirectory(const QString& directoryPath);

} // namespace Kavendru::Core

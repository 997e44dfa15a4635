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

// Syncs a directory so a rename or a new entry in it survives a power cut.
// Best effort where the platform has no such call.
bool syncDirectory(const QString& directoryPath);

} // namespace Kavendru::Core

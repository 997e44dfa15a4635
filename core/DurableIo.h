#pragma once

#include <QString>

class QFileDevice;

namespace Kavendru::Core {

// Flushes Qt's buffer and asks the system to put the file's data on the
// device. Only after this returns true may anything rely on those bytes.
bool syncFileToDevice(QFileDevice& file);

// Syncs a directory so a rename or a new entry in it survives a power cut.
// Best effort where the platform has no such call.
bool syncDirectory(const QString& directoryPath);

} // namespace Kavendru::Core

#pragma once

#include <QString>

namespace Kavendru::Core {

// Whether two existing paths name the same file: the same canonical path,
// or on POSIX the same device and inode, so links, "./" spellings, a second
// mount and a case-insensitive file system are all caught. On Windows the
// canonical paths are compared without regard to case.
bool sameFile(const QString& first, const QString& second);

} // namespace Kavendru::Core

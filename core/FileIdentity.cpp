#include "FileIdentity.h"

#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace Kavendru::Core {

bool sameFile(const QString& first, const QString& second)
{
    const QFileInfo a(first);
    const QFileInfo b(second);
    if (!a.exists() || !b.exists())
        return false;
#ifdef Q_OS_WIN
    return a.canonicalFilePath().compare(b.canonicalFilePath(), Qt::CaseInsensitive) == 0;
#else
    if (a.canonicalFilePath() == b.canonicalFilePath())
        return true;
    struct stat sa;
    struct stat sb;
    if (::stat(QFile::encodeName(first).constData(), &sa) != 0 || ::stat(QFile::encodeName(second).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

} // namespace Kavendru::Core

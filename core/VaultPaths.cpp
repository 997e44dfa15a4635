#include "VaultPaths.h"

#include <QDateTime>
#include <QStringList>

namespace Kavendru::Core::VaultPaths {

QString normalizedVaultPath(QString path)
{
    path = path.trimmed();
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);

    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList cleaned;
    cleaned.reserve(parts.size());
    for (const QString& part : parts) {
        const QString trimmed = part.trimmed();
        if (trimmed.isEmpty() || trimmed == QLatin1String(".") || trimmed == QLatin1String(".."))
            return QString();
        cleaned.append(trimmed);
    }
    return cleaned.join(QLatin1Char('/'));
}

bool indexContainsFilePath(const SecureFileIndex& index, const QString& vaultPath)
{
    for (const VaultFileEntry& entry : index.fileList()) {
        if (entry.vaultPath.compare(vaultPath, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool indexContainsDirectoryPath(const SecureFileIndex& index, const QString& path)
{
    for (const VaultDirectoryEntry& entry : index.directoryList()) {
        if (entry.path.compare(path, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool pathIsInsideDirectory(const QString& path, const QString& directory)
{
    return path.startsWith(directory + QLatin1Char('/'), Qt::CaseInsensitive);
}

void ensureParentDirectories(SecureFileIndex* index, const QString& vaultPath)
{
    const qsizetype slash = vaultPath.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0)
        return;
    const QString parent = vaultPath.left(slash);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QStringList parts = parent.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString ancestor;
    for (const QString& part : parts) {
        ancestor = ancestor.isEmpty() ? part : ancestor + QLatin1Char('/') + part;
        if (!indexContainsDirectoryPath(*index, ancestor))
            index->addDirectory(VaultDirectoryEntry{ancestor, now, now});
    }
}

} // namespace Kavendru::Core::VaultPaths

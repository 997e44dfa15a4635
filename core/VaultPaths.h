#pragma once

#include "SecureFileIndex.h"

#include <QString>

// The vault path rule and the case-insensitive lookups of the vault
// operations. Kept apart from VaultManager so they can be tested alone.
namespace Kavendru::Core::VaultPaths {

QString normalizedVaultPath(QString path);
bool indexContainsFilePath(const SecureFileIndex& index, const QString& vaultPath);
bool indexContainsDirectoryPath(const SecureFileIndex& index, const QString& path);
bool pathIsInsideDirectory(const QString& path, const QString& directory);
void ensureParentDirectories(SecureFileIndex* index, const QString& vaultPath);

} // namespace Kavendru::Core::VaultPaths

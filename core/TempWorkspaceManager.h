#pragma once

#include <QDir>
#include <QString>

#include <memory>

class QLockFile;

namespace Kavendru::Core {

// The per-run folder "Kavendru/<uuid>" in the temporary location that holds
// the decrypted copies of the open vault, and its lock file.
class TempWorkspaceManager {
public:
    TempWorkspaceManager();
    ~TempWorkspaceManager();
    TempWorkspaceManager(const TempWorkspaceManager&) = delete;
    TempWorkspaceManager& operator=(const TempWorkspaceManager&) = delete;

    static QString lockFileName() { return QStringLiteral(".kavendru-workspace.lock"); }

    QString workspacePath() const;
    // Empty when the vault path would not land strictly inside the workspace
    // or would name the lock file.
    QString pathForVaultFile(const QString& vaultPath) const;
    bool prepare();
    bool cleanup();

private:
    QDir workspaceDir;
    std::unique_ptr<QLockFile> lockFile;
};

} // namespace Kavendru::Core

#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace Kavendru::Deployment {

// What drive preparation is asked to deploy. An empty executable leaves that
// platform out; an empty runtime folder means the executable's own folder.
struct PortableBundleOptions {
    QString windowsExecutablePath;
    QString windowsRuntimeDirectory;
    QString linuxExecutablePath;
    QString linuxRuntimeDirectory;
};

struct PortableBundleResult {
    bool success = false;
    QString message;
    QStringList writtenPaths;
};

using BundleProgressCallback = std::function<void(int step, int total, const QString& stepLabel)>;

// Where the system programs and the Qt plug-ins are found. The default is
// the running system's; tests hand in their own folders.
struct PortableBundleSystem {
    // Folders searched for "ldd" and "ldconfig", in order (the PATH).
    QStringList searchPath;
    // Where "ldconfig" is looked for when it is not on the search path:
    // it lives in /sbin or /usr/sbin, often off an ordinary user's PATH.
    QStringList administratorFolders;
    // The Qt plug-in folder whose plug-ins an assembled Linux bundle gets.
    QString qtPluginFolder;

    static PortableBundleSystem running();
};

class PortableBundleManager {
public:
    PortableBundleManager();
    explicit PortableBundleManager(PortableBundleSystem system);

    PortableBundleResult preparePortableBundle(const QString& usbRoot, const PortableBundleOptions& options,
                                               const BundleProgressCallback& progress) const;
    // Deploys the running program as the Linux bundle.
    PortableBundleResult preparePortableBundle(const QString& usbRoot, const BundleProgressCallback& progress) const;

    // The fixed texts written onto every prepared drive.
    static QString windowsLauncherText();
    static QString linuxLauncherText();
    static QString readmeText();

    bool ensureDirectory(const QString& path, PortableBundleResult* result) const;
    bool writeTextFile(const QString& path, const QString& text, PortableBundleResult* result) const;

    qint64 fileSize(const QString& path) const;
    qint64 directorySize(const QString& path) const;
    qint64 estimateWindowsBundleSize(const PortableBundleOptions& options) const;
    qint64 estimateLinuxBundleSize(const PortableBundleOptions& options) const;
    bool validateBundleFitsUsb(const QString& usbRoot, const QString& productDirectory,
                               const PortableBundleOptions& options, PortableBundleResult* result) const;

    bool copyFileReplacing(const QString& sourcePath, const QString& targetPath, PortableBundleResult* result) const;
    bool copyExecutable(const QString& sourceExecutable, const QString& targetDirectory, QString* copiedPath,
                        PortableBundleResult* result) const;
    bool copyCurrentExecutable(const QString& targetDirectory, QString* copiedPath,
                               PortableBundleResult* result) const;
    bool copyDirectoryContents(const QString& sourceDirectory, const QString& targetDirectory,
                               PortableBundleResult* result) const;
    bool copyDeployedRuntime(const QString& targetDirectory, const QString& sourceDirectory,
                             PortableBundleResult* result) const;
    bool copyAdjacentRuntimeLibraries(const QString& targetDirectory, const QString& sourceDirectory,
                                      PortableBundleResult* result) const;
    bool deployWindowsRuntime(const QString& copiedExecutable, const QString& runtimeDirectory,
                              PortableBundleResult* result) const;

    QStringList linuxLibraryDependencies(const QString& path) const;
    bool copyLinuxLibraryDependencies(const QString& path, const QString& libraryDirectory,
                                      PortableBundleResult* result) const;
    bool copyLinuxTlsLibraries(const QString& libraryDirectory, PortableBundleResult* result) const;
    bool copyQtLinuxPlugins(const QString& pluginDirectory, PortableBundleResult* result) const;
    bool deployLinuxRuntime(const QString& copiedExecutable, PortableBundleResult* result) const;

private:
    bool copyDirectoryContents(const QString& sourceDirectory, const QString& targetDirectory,
                               QStringList* walkedFolders, PortableBundleResult* result) const;
    QString findSystemProgram(const QString& name, bool administrative) const;

    PortableBundleSystem system;
};

} // namespace Kavendru::Deployment

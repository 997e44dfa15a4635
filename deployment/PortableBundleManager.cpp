#include "PortableBundleManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QStorageInfo>

#include <cstring>
#include <utility>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Kavendru::Deployment {

namespace {

constexpr qint64 kChunkSize = 1048576;
constexpr int kProcessTimeoutMs = 30000;
constexpr int kTotalSteps = 7;

// The tool and the Linux bundle are x86-64 only.
const QLatin1String kLinuxArchitectureTag("x86-64");

const char* const kWindowsLauncherLines[] = {
    R"L(@echo off)L",
    R"L(setlocal)L",
    R"L(chcp 65001 >nul)L",
    R"L(set "APP_DIR=%~dp0Kavendru\windows")L",
    R"L(if not exist "%APP_DIR%\Kavendru.exe" goto :bundle_incompleto)L",
    R"L(for %%F in (vcruntime140.dll vcruntime140_1.dll msvcp140.dll) do if not exist "%APP_DIR%\%%F" goto :bundle_incompleto)L",
    R"L(cd /d "%APP_DIR%")L",
    R"L(start "Kavendru" "Kavendru.exe")L",
    R"L(exit /b 0)L",
    R"L(:bundle_incompleto)L",
    R"L(set "MENSAGEM=Não foi possível iniciar o Kavendru porque o bundle portátil está incompleto ou foi alterado. As bibliotecas de execução necessárias devem acompanhar o aplicativo. Solicite à equipe responsável uma nova preparação da unidade USB.")L",
    R"L(powershell.exe -NoProfile -Command "Add-Type -AssemblyName PresentationFramework; [System.Windows.MessageBox]::Show($env:MENSAGEM, 'Kavendru', 'OK', 'Error')" 2>nul)L",
    R"L(if errorlevel 1 echo %MENSAGEM%)L",
    R"L(exit /b 1)L",
};

const char* const kLinuxLauncherLines[] = {
    R"L(#!/bin/sh)L",
    R"L(SCRIPT_DIR="$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)")L",
    R"L(APP_DIR="$SCRIPT_DIR/Kavendru/linux")L",
    R"L(APP_BIN="$APP_DIR/Kavendru")L",
    R"L()L",
    R"L(show_error() {)L",
    R"L(    if command -v zenity >/dev/null 2>&1; then)L",
    R"L(        zenity --error --title="Kavendru" --text="$1")L",
    R"L(    elif command -v xmessage >/dev/null 2>&1; then)L",
    R"L(        xmessage -center "Kavendru: $1")L",
    R"L(    else)L",
    R"L(        printf 'Kavendru: %s\n' "$1" >&2)L",
    R"L(    fi)L",
    R"L(})L",
    R"L()L",
    R"L(if [ ! -f "$APP_BIN" ]; then)L",
    R"L(    show_error "Executavel Linux nao encontrado em: $APP_BIN")L",
    R"L(    exit 1)L",
    R"L(fi)L",
    R"L()L",
    R"L(if [ ! -x "$APP_BIN" ]; then)L",
    R"L(    chmod +x "$APP_BIN" 2>/dev/null || true)L",
    R"L(fi)L",
    R"L()L",
    R"L(export LD_LIBRARY_PATH="$APP_DIR/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}")L",
    R"L(export QT_PLUGIN_PATH="$APP_DIR/plugins${QT_PLUGIN_PATH:+:$QT_PLUGIN_PATH}")L",
    R"L(cd "$APP_DIR" || exit 1)L",
    R"L("$APP_BIN" "$@")L",
    R"L(status=$?)L",
    R"L(if [ "$status" -ne 0 ]; then)L",
    R"L(    show_error "Nao foi possivel iniciar o Kavendru. Codigo de saida: $status")L",
    R"L(fi)L",
    R"L(exit "$status")L",
};

const char* const kReadmeLines[] = {
    "Kavendru — unidade portátil",
    "",
    "Raiz da unidade USB:",
    "- kavendru.susb: container criptografado",
    "- Kavendru-Windows.bat: inicializador Windows",
    "- Kavendru-Linux.sh: inicializador Linux",
    "",
    "Para uso entre Windows e Linux, recomenda-se formatar a unidade em exFAT.",
    ("Antes de preparar ou atualizar, confirme que a unidade está montada com permissões de leitura, gravação e "
     "execução."),
    "Ejete a unidade com segurança após concluir a operação.",
    "",
    "A pasta Kavendru/windows contém o executável Windows quando um bundle Windows está disponível.",
    "A pasta Kavendru/linux contém o executável Linux e as dependências copiadas deste ambiente.",
    "As dependências Qt e bibliotecas de runtime são copiadas durante a preparação quando disponíveis.",
};

template <std::size_t N>
QString joinLines(const char* const (&lines)[N], const char* lineEnd)
{
    QString text;
    for (const char* line : lines) {
        text += QString::fromUtf8(line);
        text += QLatin1String(lineEnd);
    }
    return text;
}

void report(const BundleProgressCallback& progress, int step, const QString& label)
{
    if (progress)
        progress(step, kTotalSteps, label);
}

void addExecutePermission(const QString& path)
{
    // A drive mounted without execute support refuses this; the launcher
    // tries again on the computer where it runs.
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeUser
                                    | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

void keepWindowPainted()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool fail(PortableBundleResult* result, const QString& message)
{
    result->message = message;
    return false;
}

// The C library and its loader must come from the computer the program
// runs on: a bundled libc next to the host's own loader stops the program
// from starting wherever glibc was built differently.
bool isGlibcFamily(const QString& fileName)
{
    if (fileName.startsWith(QLatin1String("ld-linux")) || fileName.startsWith(QLatin1String("libnss_")))
        return true;
    static const char* const stems[] = {"libc",  "libm",      "libpthread", "libdl",  "librt",
                                        "libresolv", "libutil", "libanl",     "libmvec"};
    for (const char* stem : stems) {
        if (fileName.startsWith(QLatin1String(stem) + QLatin1String(".so")))
            return true;
    }
    return false;
}

// True only when both files were read to their end and hold the same bytes.
bool haveSameContent(const QString& firstPath, const QString& secondPath)
{
    QFile first(firstPath);
    QFile second(secondPath);
    if (!first.open(QIODevice::ReadOnly | QIODevice::Unbuffered)
        || !second.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QByteArray a(kChunkSize, Qt::Uninitialized);
    QByteArray b(kChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 countA = first.read(a.data(), kChunkSize);
        const qint64 countB = second.read(b.data(), kChunkSize);
        if (countA < 0 || countA != countB || std::memcmp(a.constData(), b.constData(), size_t(countA)) != 0)
            return false;
        if (countA == 0)
            return true;
        keepWindowPainted();
    }
}

// Copies up to length bytes between the files' current offsets inside the
// kernel. 0 or -1 when it copied nothing: at the end, refused (another file
// system, an old kernel) or failed.
qint64 copyChunkInKernel(int from, int to, qint64 length)
{
#ifdef Q_OS_LINUX
    if (from < 0 || to < 0)
        return -1;
    for (;;) {
        const ssize_t count = ::copy_file_range(from, nullptr, to, nullptr, size_t(length), 0);
        if (count >= 0 || errno != EINTR)
            return count;
    }
#else
    Q_UNUSED(from);
    Q_UNUSED(to);
    Q_UNUSED(length);
    return -1;
#endif
}

// Starts writing a range just copied out to the device, so the sync that
// commits the file waits for the last chunk only, not for all of it.
void startWriteback(int fd, qint64 offset, qint64 length)
{
#ifdef Q_OS_LINUX
    if (fd >= 0)
        ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(fd);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

// The absolute path with every part that exists resolved through its links,
// so two spellings of one place compare equal even before the target exists.
QString resolvedPath(const QString& path)
{
    QString existing = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList missingParts;
    while (!QFileInfo::exists(existing)) {
        const QFileInfo info(existing);
        const QString parent = info.path();
        if (parent == existing)
            break;
        missingParts.prepend(info.fileName());
        existing = parent;
    }
    QString resolved = QFileInfo(existing).canonicalFilePath();
    if (resolved.isEmpty())
        resolved = existing;
    for (const QString& part : std::as_const(missingParts))
        resolved = QDir(resolved).filePath(part);
    return QDir::cleanPath(resolved);
}

bool liesInside(const QString& path, const QString& folder)
{
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.startsWith(prefix);
}

qint64 walkDirectorySize(const QString& path, QStringList* walkedFolders)
{
    const QFileInfo info(path);
    if (!info.exists())
        return 0;
    if (info.isFile())
        return info.size();
    if (!info.isDir())
        return 0;
    // A link back to a folder being walked would never end.
    const QString canonical = info.canonicalFilePath();
    if (walkedFolders->contains(canonical))
        return 0;
    walkedFolders->append(canonical);
    qint64 total = 0;
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::Dirs | QDir::Files | QDir::Readable | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries)
        total += entry.isDir() ? walkDirectorySize(entry.absoluteFilePath(), walkedFolders) : entry.size();
    walkedFolders->removeLast();
    return total;
}

// By name: the plug-ins' libraries are then collected in the same order on
// every run, whatever order the folder lists them in.
QFileInfoList sharedObjectsIn(const QString& folder)
{
    return QDir(folder).entryInfoList({QStringLiteral("*.so")}, QDir::Files | QDir::Readable, QDir::Name);
}

// Runs a system program and hands back its standard output when it
// finished normally with code 0 in time.
bool runSystemProgram(const QString& program, const QStringList& arguments, QByteArray* output)
{
    if (program.isEmpty())
        return false;
    QProcess process;
    process.start(program, arguments, QIODevice::ReadWrite);
    const bool finished = process.waitForFinished(kProcessTimeoutMs);
    if (!finished) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return false;
    *output = process.readAllStandardOutput();
    return true;
}

} // namespace

PortableBundleSystem PortableBundleSystem::running()
{
    PortableBundleSystem system;
    const QString path = qEnvironmentVariable("PATH");
    system.searchPath = path.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    system.administratorFolders = {QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")};
    system.qtPluginFolder = QLibraryInfo::path(QLibraryInfo::PluginsPath);
    return system;
}

PortableBundleManager::PortableBundleManager()
    : system(PortableBundleSystem::running())
{
}

PortableBundleManager::PortableBundleManager(PortableBundleSystem system)
    : system(std::move(system))
{
}

QString PortableBundleManager::windowsLauncherText()
{
    return joinLines(kWindowsLauncherLines, "\r\n");
}

QString PortableBundleManager::linuxLauncherText()
{
    return joinLines(kLinuxLauncherLines, "\n");
}

QString PortableBundleManager::readmeText()
{
    return joinLines(kReadmeLines, "\n");
}

PortableBundleResult PortableBundleManager::preparePortableBundle(const QString& usbRoot,
                                                                  const PortableBundleOptions& options,
                                                                  const BundleProgressCallback& progress) const
{
    PortableBundleResult result;

    report(progress, 0, QStringLiteral("Validando unidade USB..."));
    // An empty root would be the current folder.
    if (usbRoot.isEmpty() || !QDir(usbRoot).exists()) {
        result.message = QStringLiteral("Unidade USB invalida.");
        return result;
    }

    const QDir root(usbRoot);
    const QString productDirectory = root.filePath(QStringLiteral("Kavendru"));
    const QString windowsDirectory = QDir(productDirectory).filePath(QStringLiteral("windows"));
    const QString linuxDirectory = QDir(productDirectory).filePath(QStringLiteral("linux"));

    report(progress, 1, QStringLiteral("Criando estrutura de pastas..."));
    if (!ensureDirectory(productDirectory, &result) || !ensureDirectory(windowsDirectory, &result)
        || !ensureDirectory(linuxDirectory, &result))
        return result;

    if (!validateBundleFitsUsb(usbRoot, productDirectory, options, &result))
        return result;

    report(progress, 2, QStringLiteral("Copiando bundle Windows..."));
    if (!options.windowsExecutablePath.isEmpty()) {
        const QString runtimeDirectory = options.windowsRuntimeDirectory.isEmpty()
                                             ? QFileInfo(options.windowsExecutablePath).absolutePath()
                                             : options.windowsRuntimeDirectory;
        const QDir runtime(runtimeDirectory);
        bool readyMade = true;
        for (const char* name : {"Qt6Core.dll", "platforms/qwindows.dll", "vcruntime140.dll", "vcruntime140_1.dll",
                                 "msvcp140.dll"}) {
            if (!QFileInfo::exists(runtime.filePath(QString::fromLatin1(name)))) {
                readyMade = false;
                break;
            }
        }
        if (readyMade) {
            if (!copyDirectoryContents(runtimeDirectory, windowsDirectory, &result))
                return result;
        } else {
            QString copiedExecutable;
            if (!copyExecutable(options.windowsExecutablePath, windowsDirectory, &copiedExecutable, &result)
                || !deployWindowsRuntime(copiedExecutable, runtimeDirectory, &result)
                || !copyAdjacentRuntimeLibraries(windowsDirectory, runtimeDirectory, &result))
                return result;
        }
    }

    report(progress, 3, QStringLiteral("Copiando bundle Linux..."));
    if (!options.linuxExecutablePath.isEmpty()) {
        const QString runtimeDirectory = options.linuxRuntimeDirectory.isEmpty()
                                             ? QFileInfo(options.linuxExecutablePath).absolutePath()
                                             : options.linuxRuntimeDirectory;
        const QDir runtime(runtimeDirectory);
        bool readyMade = false;
        for (const char* name : {"lib", "plugins", "qt.conf"}) {
            if (QFileInfo::exists(runtime.filePath(QString::fromLatin1(name)))) {
                readyMade = true;
                break;
            }
        }
        if (readyMade) {
            if (!copyDirectoryContents(runtimeDirectory, linuxDirectory, &result))
                return result;
        } else {
            QString copiedExecutable;
            if (!copyExecutable(options.linuxExecutablePath, linuxDirectory, &copiedExecutable, &result))
                return result;
            addExecutePermission(copiedExecutable);
            if (!deployLinuxRuntime(copiedExecutable, &result))
                return result;
        }
    }

    report(progress, 5, QStringLiteral("Criando inicializador Windows..."));
    if (!writeTextFile(root.filePath(QStringLiteral("Kavendru-Windows.bat")), windowsLauncherText(), &result))
        return result;

    report(progress, 6, QStringLiteral("Criando arquivos auxiliares..."));
    const QString linuxLauncher = root.filePath(QStringLiteral("Kavendru-Linux.sh"));
    if (!writeTextFile(linuxLauncher, linuxLauncherText(), &result))
        return result;
    addExecutePermission(linuxLauncher);
    if (!writeTextFile(QDir(productDirectory).filePath(QStringLiteral("README.txt")), readmeText(), &result))
        return result;

    report(progress, 7, QStringLiteral("Preparacao concluida."));
    result.success = true;
    result.message = QStringLiteral("USB preparado com estrutura portatil Kavendru.");
    return result;
}

PortableBundleResult PortableBundleManager::preparePortableBundle(const QString& usbRoot,
                                                                  const BundleProgressCallback& progress) const
{
    PortableBundleOptions options;
    options.linuxExecutablePath = QCoreApplication::applicationFilePath();
    options.linuxRuntimeDirectory = QCoreApplication::applicationDirPath();
    return preparePortableBundle(usbRoot, options, progress);
}

bool PortableBundleManager::ensureDirectory(const QString& path, PortableBundleResult* result) const
{
    // A linked folder on the drive would lead the writes elsewhere.
    if (path.isEmpty() || QFileInfo(path).isSymLink() || !QDir().mkpath(path))
        return fail(result, QStringLiteral("Nao foi possivel criar a pasta: %1").arg(path));
    result->writtenPaths.append(path);
    return true;
}

bool PortableBundleManager::writeTextFile(const QString& path, const QString& text,
                                          PortableBundleResult* result) const
{
    const QFileInfo info(path);
    // QSaveFile writes through a link to its target, which may be any file
    // of the user's.
    if (info.isSymLink())
        return fail(result, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(path));

    const QByteArray bytes = text.toUtf8();
    if (info.isFile() && info.size() == bytes.size()) {
        QFile existing(path);
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == bytes
            && existing.error() == QFileDevice::NoError) {
            result->writtenPaths.append(path);
            return true;
        }
    }

    // No text mode: the Windows launcher carries its own carriage returns.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(result, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(path));
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit()) {
        file.cancelWriting();
        return fail(result, QStringLiteral("Nao foi possivel salvar o arquivo: %1").arg(path));
    }
    result->writtenPaths.append(path);
    return true;
}

qint64 PortableBundleManager::fileSize(const QString& path) const
{
    const QFileInfo info(path);
    return info.isFile() ? info.size() : 0;
}

qint64 PortableBundleManager::directorySize(const QString& path) const
{
    QStringList walkedFolders;
    return walkDirectorySize(path, &walkedFolders);
}

qint64 PortableBundleManager::estimateWindowsBundleSize(const PortableBundleOptions& options) const
{
    if (options.windowsExecutablePath.isEmpty())
        return 0;
    const QString runtimeDirectory = options.windowsRuntimeDirectory.isEmpty()
                                         ? QFileInfo(options.windowsExecutablePath).absolutePath()
                                         : options.windowsRuntimeDirectory;
    const QDir runtime(runtimeDirectory);
    qint64 total = fileSize(options.windowsExecutablePath);
    const QFileInfoList libraries =
        runtime.entryInfoList({QStringLiteral("*.dll")}, QDir::Files | QDir::Readable, QDir::Unsorted);
    for (const QFileInfo& library : libraries)
        total += library.size();
    for (const char* name : {"platforms", "imageformats", "styles"})
        total += directorySize(runtime.filePath(QString::fromLatin1(name)));
    return total;
}

qint64 PortableBundleManager::estimateLinuxBundleSize(const PortableBundleOptions& options) const
{
    if (options.linuxExecutablePath.isEmpty())
        return 0;
    const QString runtimeDirectory = options.linuxRuntimeDirectory.isEmpty()
                                         ? QFileInfo(options.linuxExecutablePath).absolutePath()
                                         : options.linuxRuntimeDirectory;
    const qint64 executableSize = fileSize(options.linuxExecutablePath);
    if (QFileInfo::exists(runtimeDirectory)) {
        const qint64 runtimeSize = directorySize(runtimeDirectory);
        if (runtimeSize > executableSize)
            return runtimeSize;
    }

    qint64 total = executableSize;
    QSet<QString> libraries;
    for (const QString& library : linuxLibraryDependencies(options.linuxExecutablePath))
        libraries.insert(library);
    if (!system.qtPluginFolder.isEmpty()) {
        const QDir plugins(system.qtPluginFolder);
        for (const char* name : {"platforms", "imageformats", "xcbglintegrations", "tls"}) {
            const QString folder = plugins.filePath(QString::fromLatin1(name));
            total += directorySize(folder);
            for (const QFileInfo& plugin : sharedObjectsIn(folder)) {
                for (const QString& library : linuxLibraryDependencies(plugin.absoluteFilePath()))
                    libraries.insert(library);
            }
        }
    }
    for (const QString& library : std::as_const(libraries)) {
        if (!isGlibcFamily(QFileInfo(library).fileName()))
            total += fileSize(library);
    }
    return total;
}

bool PortableBundleManager::validateBundleFitsUsb(const QString& usbRoot, const QString& productDirectory,
                                                  const PortableBundleOptions& options,
                                                  PortableBundleResult* result) const
{
    const QStorageInfo storage(usbRoot);
    if (usbRoot.isEmpty() || !storage.isValid() || !storage.isReady())
        return fail(result, QStringLiteral("Nao foi possivel validar o espaco livre da unidade USB."));

    const qint64 capacity = storage.bytesTotal();
    const qint64 freeSpace = storage.bytesAvailable();
    const qint64 productSize = directorySize(productDirectory);
    const qint64 windowsSize = estimateWindowsBundleSize(options);
    const qint64 linuxSize = estimateLinuxBundleSize(options);

    const qint64 needed = windowsSize + linuxSize;
    const qint64 available = freeSpace + productSize;
    if (needed <= 0)
        return fail(result, QStringLiteral("Nenhum bundle valido foi encontrado para preparar a unidade USB."));
    if (needed > available)
        return fail(result, QStringLiteral("Espaco insuficiente na unidade USB.\n\nNecessario: %1 bytes\n"
                                           "Disponivel: %2 bytes")
                                .arg(QString::number(needed), QString::number(available)));
    if (capacity > 0 && needed > (capacity >> 2))
        return fail(result, QStringLiteral("A unidade USB nao e recomendada para Kavendru.\n\nCapacidade: %1 bytes\n"
                                           "Bundle estimado: %2 bytes\n\nO bundle ocuparia mais de 25% da unidade.")
                                .arg(QString::number(capacity), QString::number(needed)));
    return true;
}

bool PortableBundleManager::copyFileReplacing(const QString& sourcePath, const QString& targetPath,
                                              PortableBundleResult* result) const
{
    const QFileInfo sourceInfo(sourcePath);
    const QFileInfo targetInfo(targetPath);
    if (targetInfo.absoluteFilePath() == sourceInfo.absoluteFilePath()) {
        result->writtenPaths.append(targetPath);
        return true;
    }
    // QSaveFile would replace the file the link leads to, wherever it is.
    if (targetInfo.isSymLink())
        return fail(result, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(targetPath));
    // Equal size says nothing of a damaged or stale copy; identical files
    // are left untouched so a repeated preparation writes nothing.
    if (targetInfo.isFile() && sourceInfo.exists() && targetInfo.size() == sourceInfo.size()
        && haveSameContent(sourcePath, targetPath)) {
        result->writtenPaths.append(targetPath);
        return true;
    }

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(result, QStringLiteral("Nao foi possivel copiar o arquivo: %1").arg(sourceInfo.fileName()));
    QSaveFile target(targetPath);
    if (!target.open(QIODevice::WriteOnly))
        return fail(result, QStringLiteral("Nao foi possivel criar o arquivo: %1").arg(targetPath));

    const auto readFailed = [&] {
        target.cancelWriting();
        return fail(result, QStringLiteral("Nao foi possivel ler o arquivo: %1").arg(sourceInfo.fileName()));
    };
    const auto writeFailed = [&] {
        target.cancelWriting();
        return fail(result, QStringLiteral("Nao foi possivel gravar o arquivo: %1").arg(targetPath));
    };

    // The kernel copies without a trip through this process where it can;
    // on its first refusal or error the rest goes through plain reads and
    // writes, which tell the failures apart.
    const qint64 expectedSize = source.size();
    qint64 copied = 0;
    qint64 moved;
    while ((moved = copyChunkInKernel(source.handle(), target.handle(), kChunkSize)) > 0) {
        startWriteback(target.handle(), copied, moved);
        copied += moved;
        keepWindowPainted();
    }
    if (copied > 0 && (!source.seek(copied) || !target.seek(copied)))
        return readFailed();
    QByteArray buffer(kChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 count = source.read(buffer.data(), kChunkSize);
        if (count < 0)
            return readFailed();
        // Nothing read before the end is a failure too: some files report
        // a size they never deliver.
        if (count == 0) {
            if (copied < expectedSize)
                return readFailed();
            break;
        }
        if (target.write(buffer.constData(), count) != count || !target.flush())
            return writeFailed();
        startWriteback(target.handle(), copied, count);
        copied += count;
        keepWindowPainted();
    }
    // commit() alone does not see a failed buffered write.
    if (!target.flush())
        return writeFailed();
    if (!target.commit())
        return fail(result, QStringLiteral("Nao foi possivel finalizar o arquivo: %1").arg(targetPath));

    QFile::setPermissions(targetPath, source.permissions());
    result->writtenPaths.append(targetPath);
    return true;
}

bool PortableBundleManager::copyExecutable(const QString& sourceExecutable, const QString& targetDirectory,
                                           QString* copiedPath, PortableBundleResult* result) const
{
    const QString targetName = sourceExecutable.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)
                                   ? QStringLiteral("Kavendru.exe")
                                   : QStringLiteral("Kavendru");
    const QString targetPath = QDir(targetDirectory).filePath(targetName);
    if (!QFileInfo::exists(sourceExecutable))
        return fail(result, QStringLiteral("Executavel do Kavendru nao encontrado: %1").arg(sourceExecutable));
    if (QFileInfo(targetPath).absoluteFilePath() != QFileInfo(sourceExecutable).absoluteFilePath()
        && !copyFileReplacing(sourceExecutable, targetPath, result))
        return fail(result, QStringLiteral("Nao foi possivel copiar o executavel para: %1").arg(targetPath));
    if (copiedPath)
        *copiedPath = targetPath;
    result->writtenPaths.append(targetPath);
    return true;
}

bool PortableBundleManager::copyCurrentExecutable(const QString& targetDirectory, QString* copiedPath,
                                                  PortableBundleResult* result) const
{
    return copyExecutable(QCoreApplication::applicationFilePath(), targetDirectory, copiedPath, result);
}

bool PortableBundleManager::copyDirectoryContents(const QString& sourceDirectory, const QString& targetDirectory,
                                                  PortableBundleResult* result) const
{
    QStringList walkedFolders;
    return copyDirectoryContents(sourceDirectory, targetDirectory, &walkedFolders, result);
}

bool PortableBundleManager::copyDirectoryContents(const QString& sourceDirectory, const QString& targetDirectory,
                                                  QStringList* walkedFolders, PortableBundleResult* result) const
{
    if (!QDir(sourceDirectory).exists())
        return fail(result, QStringLiteral("Pasta de origem nao encontrada: %1").arg(sourceDirectory));
    // A target inside the source would grow with every folder copied.
    const QString source = resolvedPath(sourceDirectory);
    if (liesInside(resolvedPath(targetDirectory), source))
        return fail(result,
                    QStringLiteral("Nao foi possivel copiar a pasta para dentro dela mesma: %1").arg(sourceDirectory));
    if (!ensureDirectory(targetDirectory, result))
        return false;

    walkedFolders->append(source);
    const QDir target(targetDirectory);
    const QFileInfoList entries = QDir(sourceDirectory)
                                      .entryInfoList(QDir::Dirs | QDir::Files | QDir::Readable | QDir::NoDotAndDotDot,
                                                     QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        const QString entryTarget = target.filePath(entry.fileName());
        bool copied;
        if (entry.isDir()) {
            // A link back to a folder being copied is a loop: left out.
            if (walkedFolders->contains(entry.canonicalFilePath()))
                continue;
            copied = copyDirectoryContents(entry.absoluteFilePath(), entryTarget, walkedFolders, result);
        } else {
            copied = copyFileReplacing(entry.absoluteFilePath(), entryTarget, result);
        }
        if (!copied)
            return false;
    }
    walkedFolders->removeLast();
    return true;
}

bool PortableBundleManager::copyDeployedRuntime(const QString& targetDirectory, const QString& sourceDirectory,
                                                PortableBundleResult* result) const
{
    const QString source = sourceDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : sourceDirectory;
    if (QFileInfo(source).absoluteFilePath() == QFileInfo(targetDirectory).absoluteFilePath()) {
        result->writtenPaths.append(targetDirectory);
        return true;
    }
    return copyDirectoryContents(source, targetDirectory, result);
}

bool PortableBundleManager::copyAdjacentRuntimeLibraries(const QString& targetDirectory,
                                                         const QString& sourceDirectory,
                                                         PortableBundleResult* result) const
{
    const QString source = sourceDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : sourceDirectory;
    const QDir target(targetDirectory);
    const QFileInfoList libraries =
        QDir(source).entryInfoList({QStringLiteral("*.dll")}, QDir::Files | QDir::Readable, QDir::Unsorted);
    for (const QFileInfo& library : libraries) {
        const QString targetPath = target.filePath(library.fileName());
        if (QFileInfo(targetPath).absoluteFilePath() == library.absoluteFilePath())
            continue;
        if (!copyFileReplacing(library.absoluteFilePath(), targetPath, result))
            return fail(result, QStringLiteral("Nao foi possivel copiar a biblioteca: %1").arg(library.fileName()));
    }
    return true;
}

bool PortableBundleManager::deployWindowsRuntime(const QString& copiedExecutable, const QString& runtimeDirectory,
                                                 PortableBundleResult* result) const
{
    // The Windows build comes with its runtime beside it; nothing to collect.
    Q_UNUSED(copiedExecutable);
    Q_UNUSED(runtimeDirectory);
    Q_UNUSED(result);
    return true;
}

QString PortableBundleManager::findSystemProgram(const QString& name, bool administrative) const
{
    QString found;
    if (!system.searchPath.isEmpty())
        found = QStandardPaths::findExecutable(name, system.searchPath);
    if (found.isEmpty() && administrative && !system.administratorFolders.isEmpty())
        found = QStandardPaths::findExecutable(name, system.administratorFolders);
    return found;
}

QStringList PortableBundleManager::linuxLibraryDependencies(const QString& path) const
{
    QByteArray output;
    if (!runSystemProgram(findSystemProgram(QStringLiteral("ldd"), false), {path}, &output))
        return {};

    const QRegularExpression resolved(QStringLiteral("=>\\s+(/[^\\s]+)"));
    const QRegularExpression leading(QStringLiteral("^\\s*(/[^\\s]+)"));
    // In the order ldd lists them, so that every run picks the same one of
    // two libraries that share a file name.
    QStringList libraries;
    QSet<QString> seen;
    const QStringList lines = QString::fromLocal8Bit(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        QString library;
        const QRegularExpressionMatch arrow = resolved.match(line);
        if (arrow.hasMatch()) {
            library = arrow.captured(1);
        } else {
            const QRegularExpressionMatch start = leading.match(line);
            if (start.hasMatch())
                library = start.captured(1);
        }
        if (!library.isEmpty() && !library.contains(QLatin1String("linux-vdso")) && !seen.contains(library)) {
            seen.insert(library);
            libraries.append(library);
        }
    }
    return libraries;
}

bool PortableBundleManager::copyLinuxLibraryDependencies(const QString& path, const QString& libraryDirectory,
                                                         PortableBundleResult* result) const
{
    const QStringList libraries = linuxLibraryDependencies(path);
    if (libraries.isEmpty())
        return fail(result, QStringLiteral("Nao foi possivel identificar dependencias Linux para: %1").arg(path));
    const QDir target(libraryDirectory);
    // Two libraries of one name land on one file: the first listed wins.
    QSet<QString> taken;
    for (const QString& library : libraries) {
        const QFileInfo info(library);
        if (!info.exists() || !info.isFile() || isGlibcFamily(info.fileName()) || taken.contains(info.fileName()))
            continue;
        taken.insert(info.fileName());
        if (!copyFileReplacing(library, target.filePath(info.fileName()), result))
            return false;
    }
    return true;
}

bool PortableBundleManager::copyLinuxTlsLibraries(const QString& libraryDirectory,
                                                  PortableBundleResult* result) const
{
    QByteArray output;
    if (!runSystemProgram(findSystemProgram(QStringLiteral("ldconfig"), true), {QStringLiteral("-p")}, &output))
        return fail(result, QStringLiteral("Nao foi possivel localizar bibliotecas TLS do Linux."));

    const QRegularExpression entry(
        QStringLiteral("\\s+libssl\\.so\\.[0-9][^\\s]*\\s+\\(([^)]+)\\)\\s+=>\\s+(/[^\\s]+)"));
    const QDir target(libraryDirectory);
    QSet<QString> copied;
    const QStringList lines = QString::fromLocal8Bit(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = entry.match(line);
        if (!match.hasMatch())
            continue;
        // Another architecture's libssl of the same name would replace ours.
        bool ourArchitecture = false;
        const QStringList tags = match.captured(1).split(QLatin1Char(','));
        for (const QString& tag : tags)
            ourArchitecture = ourArchitecture || tag.trimmed() == kLinuxArchitectureTag;
        const QString library = match.captured(2);
        if (!ourArchitecture || copied.contains(library))
            continue;
        const QFileInfo info(library);
        if (!info.exists() || !info.isFile())
            continue;
        if (!copyFileReplacing(library, target.filePath(info.fileName()), result))
            return false;
        copied.insert(library);
    }
    if (copied.isEmpty())
        return fail(result, QStringLiteral("Biblioteca libssl.so nao encontrada no ambiente Linux."));
    return true;
}

bool PortableBundleManager::copyQtLinuxPlugins(const QString& pluginDirectory, PortableBundleResult* result) const
{
    if (system.qtPluginFolder.isEmpty())
        return true;
    const QDir source(system.qtPluginFolder);
    const QString libraryDirectory = QDir(QFileInfo(pluginDirectory).absolutePath()).filePath(QStringLiteral("lib"));
    const QDir target(pluginDirectory);
    for (const char* name : {"platforms", "imageformats", "xcbglintegrations", "tls"}) {
        const QString folderName = QString::fromLatin1(name);
        const QString sourceFolder = source.filePath(folderName);
        if (!QFileInfo::exists(sourceFolder))
            continue;
        const QString targetFolder = target.filePath(folderName);
        if (!copyDirectoryContents(sourceFolder, targetFolder, result))
            return false;
        for (const QFileInfo& plugin : sharedObjectsIn(targetFolder)) {
            if (!copyLinuxLibraryDependencies(plugin.absoluteFilePath(), libraryDirectory, result))
                return false;
        }
    }
    return true;
}

bool PortableBundleManager::deployLinuxRuntime(const QString& copiedExecutable, PortableBundleResult* result) const
{
    const QDir bundle(QFileInfo(copiedExecutable).absolutePath());
    const QString libraryDirectory = bundle.filePath(QStringLiteral("lib"));
    const QString pluginDirectory = bundle.filePath(QStringLiteral("plugins"));
    return ensureDirectory(libraryDirectory, result) && ensureDirectory(pluginDirectory, result)
           && copyLinuxLibraryDependencies(copiedExecutable, libraryDirectory, result)
           && copyLinuxTlsLibraries(libraryDirectory, result) && copyQtLinuxPlugins(pluginDirectory, result);
}

} // namespace Kavendru::Deployment

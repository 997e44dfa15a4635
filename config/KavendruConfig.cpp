// KavendruConfig: prepares USB drives with the portable Kavendru bundles,
// keeps their update state and recycles the vault program's stale
// workspaces on this computer.
#include "deployment/PortableBundleManager.h"
#include "platform/DeviceManager.h"
#include "platform/linux/LinuxDeviceManager.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QFrame>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QList>
#include <QLockFile>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRandomGenerator64>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScreen>
#include <QSet>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStorageInfo>
#include <QStringList>
#include <QSysInfo>
#include <QTextEdit>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QVersionNumber>
#include <QVBoxLayout>
#include <QWidget>
#include <QtConcurrent>
#include <QtNumeric>

#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KAVENDRU_DEVELOPER_BUILD_DIR
#error "KAVENDRU_DEVELOPER_BUILD_DIR must name the developer build folder"
#endif
#ifndef KAVENDRU_UPDATE_HOST
#error "KAVENDRU_UPDATE_HOST must name the update host"
#endif

namespace {

using Kavendru::Deployment::PortableBundleManager;
using Kavendru::Deployment::PortableBundleOptions;
using Kavendru::Deployment::PortableBundleResult;
using Kavendru::Platform::DeviceManager;
using Kavendru::Platform::UsbDevice;
using Kavendru::Platform::Linux::LinuxDeviceManager;

const char* const kApplicationVersion = "1.0.5";

QString toolTitle()
{
    return QStringLiteral("Kavendru - Gerenciador");
}

void applyApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("KavendruConfig"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));
    QCoreApplication::setOrganizationName(QStringLiteral("Kavendru"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/Kavendru.ico")));
}

// ---------------------------------------------------------------------------
// Message boxes

bool askYesNo(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Question);
    box.setWindowTitle(title);
    // Drive roots carry the drive's label and the update question the
    // server's notes: neither is read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    QPushButton* yes = box.addButton(QStringLiteral("Sim"), QMessageBox::AcceptRole);
    QPushButton* no = box.addButton(QStringLiteral("Não"), QMessageBox::RejectRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void showBox(QMessageBox::Icon icon, QWidget* parent, const QString& text)
{
    QMessageBox box(icon, toolTitle(), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void showInformation(QWidget* parent, const QString& text)
{
    showBox(QMessageBox::Information, parent, text);
}

void showWarning(QWidget* parent, const QString& text)
{
    showBox(QMessageBox::Warning, parent, text);
}

// A dialog shown while a task works on a drive. It closes only when the task
// is done: neither Escape nor the frame's close button may hand the window
// back to the user, who could then start a second task on the same drive.
class BusyProgressDialog : public QProgressDialog {
public:
    BusyProgressDialog(const QString& label, int minimum, int maximum, QWidget* parent)
        : QProgressDialog(label, QString(), minimum, maximum, parent)
    {
        setWindowTitle(toolTitle());
        setCancelButton(nullptr);
        setWindowModality(Qt::ApplicationModal);
        setMinimumDuration(0);
        setMinimumWidth(360);
    }
    ~BusyProgressDialog() override = default;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Escape) {
            event->accept();
            return;
        }
        QProgressDialog::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
    void reject() override {}
};

// ---------------------------------------------------------------------------
// Window size

// The 16:9 central area for the primary screen's available size; without a
// screen, a fixed 960 x 540.
QSize centralAreaSize(const std::optional<QSize>& availableScreenSize)
{
    if (!availableScreenSize)
        return QSize(960, 540);
    const int availableHeight = availableScreenSize->height();
    int width = availableScreenSize->width() * 6 / 10;
    int height;
    if (width > 1152) {
        width = 1152;
        height = 648;
    } else {
        width = qMax(width, 900);
        height = width * 9 / 16;
    }
    if (height > availableHeight) {
        height = availableHeight;
        width = availableHeight * 16 / 9;
    }
    return QSize(width, height);
}

// ---------------------------------------------------------------------------
// Bundle sources

struct BundleSource {
    QString executablePath;
    QString runtimeDirectory;
    bool fromBuildTree = false;
};

const QStringList& windowsCandidatesBesideTool()
{
    static const QStringList candidates{QStringLiteral("bundles/windows-x64/Kavendru.exe"),
                                        QStringLiteral("../windows-x64/Kavendru.exe"), QStringLiteral("Kavendru.exe")};
    return candidates;
}

const QStringList& windowsCandidatesInBuildTree()
{
    static const QStringList candidates{
        QStringLiteral("bundles/windows-x64/Kavendru.exe"),
        QStringLiteral("../out/build/x64-release/Kavendru/Kavendru.exe"),
        QStringLiteral("out/build/x64-release/Kavendru.exe"),
        QStringLiteral("out/build/x64-release/Release/Kavendru.exe"),
        QStringLiteral("out/install/x64-release/bin/Kavendru.exe")};
    return candidates;
}

const QStringList& linuxCandidatesBesideTool()
{
    static const QStringList candidates{QStringLiteral("bundles/linux-x64/Kavendru"),
                                        QStringLiteral("../linux-x64/Kavendru"),
                                        QStringLiteral("../../linux-x64/Kavendru"), QStringLiteral("Kavendru")};
    return candidates;
}

const QStringList& linuxCandidatesInBuildTree()
{
    static const QStringList candidates{QStringLiteral("../out/build/linux-x64-release/Kavendru/Kavendru"),
                                        QStringLiteral("bundles/linux-x64/Kavendru"),
                                        QStringLiteral("out/build/linux-x64-release/Kavendru")};
    return candidates;
}

QString developerBuildDirectory()
{
    return QStringLiteral(KAVENDRU_DEVELOPER_BUILD_DIR);
}

std::optional<QString> firstExisting(const QString& folder, const QStringList& candidates)
{
    const QDir base(folder);
    for (const QString& candidate : candidates) {
        const QString path = base.filePath(candidate);
        if (QFileInfo::exists(path))
            return path;
    }
    return std::nullopt;
}

// The build of one platform: first beside the tool, then in the developer
// build folder.
BundleSource findBundleSource(const QStringList& besideTool, const QStringList& inBuildTree,
                              const QString& toolDirectory, const QString& buildDirectory)
{
    BundleSource source;
    std::optional<QString> found = firstExisting(toolDirectory, besideTool);
    if (!found) {
        found = firstExisting(buildDirectory, inBuildTree);
        source.fromBuildTree = found.has_value();
    }
    if (found) {
        source.executablePath = *found;
        source.runtimeDirectory = QFileInfo(*found).absolutePath();
    }
    return source;
}

// ---------------------------------------------------------------------------
// Update state file

QString updateStatePath(const QString& usbRoot)
{
    return QDir(usbRoot).filePath(QStringLiteral("Kavendru/update-state.json"));
}

enum class SaveResult { Saved, OpenFailed, WriteFailed, CommitFailed };

// Replaces the file in one step with exactly these bytes. commit() does not
// see a write that failed in Qt's buffer, so the write and the flush are
// checked before it.
SaveResult saveWholeFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return SaveResult::OpenFailed;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return SaveResult::WriteFailed;
    }
    return file.commit() ? SaveResult::Saved : SaveResult::CommitFailed;
}

QString linkedProductFolderRefusal(const QString& folder)
{
    return QStringLiteral("A pasta Kavendru da unidade é um link simbólico: %1").arg(folder);
}

bool writeUpdateState(const QString& usbRoot, const QString& installedVersion, const QString& packageSha256,
                      QString* error)
{
    const QString path = updateStatePath(usbRoot);
    const QString folder = QFileInfo(path).absolutePath();
    // mkpath and QSaveFile follow links: a link on the drive would have the
    // state written wherever it points.
    if (QFileInfo(folder).isSymLink()) {
        *error = linkedProductFolderRefusal(folder);
        return false;
    }
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("Não foi possível criar a pasta de estado da atualização.");
        return false;
    }
    if (QFileInfo(path).isSymLink()) {
        *error = QStringLiteral("O arquivo de estado da atualização é um link simbólico: %1").arg(path);
        return false;
    }

    const QJsonObject bundles{
        {QStringLiteral("windows-x64"),
         QJsonObject{{QStringLiteral("path"), QStringLiteral("Kavendru/windows")},
                     {QStringLiteral("entryPoint"), QStringLiteral("Kavendru.exe")}}},
        {QStringLiteral("linux-x64"),
         QJsonObject{{QStringLiteral("path"), QStringLiteral("Kavendru/linux")},
                     {QStringLiteral("entryPoint"), QStringLiteral("Kavendru")}}},
    };
    QJsonObject state{
        {QStringLiteral("schemaVersion"), 1},
        {QStringLiteral("app"), QStringLiteral("Kavendru")},
        {QStringLiteral("installedVersion"), installedVersion},
        {QStringLiteral("installedAt"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {QStringLiteral("updatedByConfigVersion"), QCoreApplication::applicationVersion()},
        {QStringLiteral("bundles"), bundles},
    };
    if (!packageSha256.isEmpty())
        state.insert(QStringLiteral("lastPackageSha256"), packageSha256);
    const QByteArray bytes = QJsonDocument(state).toJson(QJsonDocument::Indented);

    switch (saveWholeFile(path, bytes)) {
    case SaveResult::Saved:
        return true;
    case SaveResult::OpenFailed:
        *error = QStringLiteral("Não foi possível abrir o arquivo de estado: %1").arg(path);
        return false;
    case SaveResult::WriteFailed:
        *error = QStringLiteral("Não foi possível gravar o arquivo de estado: %1").arg(path);
        return false;
    case SaveResult::CommitFailed:
        break;
    }
    *error = QStringLiteral("Não foi possível salvar o arquivo de estado: %1").arg(path);
    return false;
}

// Far above any state file the tool writes.
constexpr qint64 kMaxStateFileSize = 1 << 20;

// Opens a file of the drive only when it is a regular file, never waiting on
// it: a fifo or a device planted in its place would block the open, the
// read or the write for good. Links are not followed. -1 with errno set
// otherwise (ENOENT: nothing there).
int openDriveFile(const QString& path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// A file of the drive opened by openDriveFile, handed to a QFile that closes
// it; false (descriptor closed) when either fails.
bool openDriveFile(QFile* file, const QString& path, int flags, QIODevice::OpenMode mode)
{
    const int fd = openDriveFile(path, flags);
    if (fd < 0)
        return false;
    if (file->open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}

// The whole of a small regular file of the drive; nothing when it is
// absent, not a regular file, unreadable or larger than maxSize.
std::optional<QByteArray> readSmallDriveFile(const QString& path, qint64 maxSize)
{
    QFile file;
    if (!openDriveFile(&file, path, O_RDONLY, QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray content = file.read(maxSize + 1);
    if (file.error() != QFileDevice::NoError || content.size() > maxSize)
        return std::nullopt;
    return content;
}

QString installedBundleVersion(const QString& usbRoot)
{
    const std::optional<QByteArray> content = readSmallDriveFile(updateStatePath(usbRoot), kMaxStateFileSize);
    if (!content)
        return QString();
    const QJsonDocument document = QJsonDocument::fromJson(*content);
    if (!document.isObject())
        return QString();
    const QJsonObject state = document.object();
    if (state.value(QStringLiteral("app")).toString() != QLatin1String("Kavendru"))
        return QString();
    return state.value(QStringLiteral("installedVersion")).toString();
}

// ---------------------------------------------------------------------------
// Update journal: reading what a drive holds

QString productFolderPath(const QString& usbRoot)
{
    return QDir(usbRoot).filePath(QStringLiteral("Kavendru"));
}

QString updateJournalPath(const QString& usbRoot)
{
    return QDir(usbRoot).filePath(QStringLiteral("Kavendru/update-journal.json"));
}

// A link in place of a file or folder of the drive, dangling or not.
bool isLink(const QString& path)
{
    return QFileInfo(path).isSymLink();
}

// Whether anything, a link included, stands at the path.
bool pathPresent(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

enum class JournalRead { Absent, Unreadable, Invalid, Valid };

// Far above any journal the tool writes.
constexpr qint64 kMaxJournalSize = 1 << 20;

// The journal a drive holds, as far as it can be read; Valid means a JSON
// object of this tool's schema, nothing more.
JournalRead readUpdateJournal(const QString& usbRoot, QJsonObject* journal)
{
    const QString path = updateJournalPath(usbRoot);
    if (!pathPresent(path))
        return JournalRead::Absent;
    // A link, a fifo or a device would point the reader elsewhere or block it.
    const std::optional<QByteArray> content = readSmallDriveFile(path, kMaxJournalSize);
    if (!content)
        return JournalRead::Unreadable;
    const QJsonDocument document = QJsonDocument::fromJson(*content);
    if (!document.isObject())
        return JournalRead::Invalid;
    *journal = document.object();
    if (journal->value(QStringLiteral("schemaVersion")).toInt(0) != 1
        || journal->value(QStringLiteral("app")).toString() != QLatin1String("Kavendru"))
        return JournalRead::Invalid;
    return JournalRead::Valid;
}

// An update left unfinished on the drive must be recovered before another
// one may overwrite its journal; only a rolled-back one is done with.
bool pendingUpdateOnDrive(const QString& usbRoot)
{
    QJsonObject journal;
    switch (readUpdateJournal(usbRoot, &journal)) {
    case JournalRead::Absent:
        return false;
    case JournalRead::Valid:
        return journal.value(QStringLiteral("phase")).toString() != QLatin1String("rolled-back");
    case JournalRead::Unreadable:
    case JournalRead::Invalid:
        break;
    }
    return true;
}

QString pendingUpdateRefusal()
{
    return QStringLiteral("Há uma atualização pendente nesta unidade. Atualize a lista para recuperá-la antes de "
                          "iniciar outra atualização.");
}

// ---------------------------------------------------------------------------
// Update journal and transaction log: writing

QString utcTimestamp()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// Runs a sync on a descriptor of the folder itself, a link not followed.
bool syncThroughFolder(const QString& folder, bool (*sync)(int fd))
{
    const int fd = ::open(QFile::encodeName(folder).constData(),
                          O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = sync(fd);
    return ::close(fd) == 0 && synced;
}

// Makes a rename or a new entry in the folder survive a power cut.
bool syncFolder(const QString& folder)
{
    return syncThroughFolder(folder, [](int fd) { return ::fsync(fd) == 0; });
}

// Everything written to the file system of the folder reaches its device:
// unzip's files as well as our own, and every rename and removal so far.
// FAT and exFAT keep no order among their metadata writes, so this comes
// between a change to the bundles and the journal that records it. The
// folder's own fsync reaches file systems in user space (FUSE), for which
// syncfs stops at the kernel.
bool syncFileSystem(const QString& folder)
{
    return syncThroughFolder(folder, [](int fd) { return ::syncfs(fd) == 0 && ::fsync(fd) == 0; });
}

bool writeUpdateJournal(const QString& usbRoot, QJsonObject journal, QString* error)
{
    const QString path = updateJournalPath(usbRoot);
    const QString folder = productFolderPath(usbRoot);
    journal.insert(QStringLiteral("schemaVersion"), 1);
    journal.insert(QStringLiteral("app"), QStringLiteral("Kavendru"));
    journal.insert(QStringLiteral("updatedAt"), utcTimestamp());
    const QByteArray bytes = QJsonDocument(journal).toJson(QJsonDocument::Indented);

    // QSaveFile writes to where a link points.
    bool written = !isLink(folder) && QFileInfo(folder).isDir() && !isLink(path);
    // What the journal records is on the device before the journal is;
    // commit() syncs the file, then the folder holds its new name.
    written = written && syncFileSystem(folder) && saveWholeFile(path, bytes) == SaveResult::Saved
              && syncFolder(folder);
    if (!written && error)
        *error = QStringLiteral("Não foi possível registrar a transação de atualização: %1").arg(path);
    return written;
}

bool appendUpdateTransactionLog(const QString& usbRoot, const QString& transactionId, const QString& phase,
                                const QString& detail, QString* error)
{
    const QString path =
        QDir(usbRoot).filePath(QStringLiteral("Kavendru/update-log-%1.jsonl").arg(transactionId));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QJsonObject line{{QStringLiteral("timestamp"), now.toString(Qt::ISODateWithMs)},
                     {QStringLiteral("transactionId"), transactionId},
                     {QStringLiteral("phase"), phase},
                     {QStringLiteral("detail"), detail}};
    QJsonObject journal;
    const JournalRead read = readUpdateJournal(usbRoot, &journal);
    if (read == JournalRead::Valid || read == JournalRead::Invalid) {
        const QDateTime started =
            QDateTime::fromString(journal.value(QStringLiteral("startedAt")).toString(), Qt::ISODateWithMs);
        if (started.isValid())
            line.insert(QStringLiteral("elapsedMs"), now.toMSecsSinceEpoch() - started.toMSecsSinceEpoch());
    }
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';

    // Neither a link in the log's place nor in the product folder's is
    // written through.
    bool written = !isLink(productFolderPath(usbRoot));
    if (written) {
        QFile file;
        written = openDriveFile(&file, path, O_WRONLY | O_APPEND | O_CREAT,
                                QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)
                  && file.write(bytes) == bytes.size() && file.flush();
    }
    if (!written && error)
        *error = QStringLiteral("Não foi possível registrar o log da transação: %1").arg(path);
    return written;
}

// ---------------------------------------------------------------------------
// Update check

QUrl defaultManifestUrl()
{
    return QUrl(QStringLiteral("https://%1/000Updates/kavendru/manifest.json")
                    .arg(QStringLiteral(KAVENDRU_UPDATE_HOST)));
}

constexpr int kManifestTimeoutMs = 30000;
constexpr int kPackageTimeoutMs = 600000;
constexpr qint64 kMaxManifestSize = 1 << 20;
// The most a package may bring when the manifest gives no size.
constexpr qint64 kMaxPackageSize = qint64(4) << 30;
// A "size" in the manifest that no package can have.
constexpr qint64 kInvalidPackageSize = std::numeric_limits<qint64>::min();

struct UpdateManifest {
    QString version;
    QString packageUrl;
    QString sha256;
    qint64 size = -1;
    QString publishedAt;
    QString releaseNotes;
};

struct UpdateCheckResult {
    bool success = false;
    bool updateAvailable = false;
    UpdateManifest manifest;
    QString installedVersion;
    QString error;
};

// Hands the body to the sink part by part as it arrives. Blocks until the
// reply finished, the time-out passed, the body grew past maxBytes or the
// sink refused a part (then error is left to the caller). The network
// objects live and die on the calling thread.
bool httpFetch(const QUrl& url, int timeoutMs, QString* error, qint64 maxBytes,
               const std::function<bool(const QByteArray&)>& sink)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setRawHeader("User-Agent", "KavendruConfig/" + QCoreApplication::applicationVersion().toLatin1());
    request.setRawHeader("Accept", "*/*");

    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    qint64 received = 0;
    bool tooLarge = false;
    bool refused = false;
    // Parts of at least 256 KiB while the body comes: fewer writes and
    // wake-ups for a package, the same body.
    const auto take = [&](qint64 least) {
        const qint64 available = reply->bytesAvailable();
        if (tooLarge || refused || available <= 0 || available < least)
            return;
        if (received + available > maxBytes) {
            tooLarge = true;
            return;
        }
        const QByteArray part = reply->read(available);
        received += part.size();
        refused = !sink(part);
    };

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, [&] {
        take(256 * 1024);
        if (tooLarge || refused)
            loop.quit();
    });
    timer.start(timeoutMs);
    loop.exec();

    if (!tooLarge && !refused && !timer.isActive()) {
        reply->abort();
        *error = QStringLiteral("Tempo limite excedido ao acessar: %1").arg(url.toString());
        return false;
    }
    timer.stop();
    take(0);
    if (refused) {
        reply->abort();
        return false;
    }
    if (tooLarge) {
        reply->abort();
        *error = QStringLiteral("Resposta acima de %1 bytes ao acessar: %2").arg(maxBytes).arg(url.toString());
        return false;
    }
    if (reply->error() != QNetworkReply::NoError) {
        *error = reply->errorString();
        return false;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() > 399) {
        *error = QStringLiteral("HTTP %1 ao acessar: %2").arg(status.toInt()).arg(url.toString());
        return false;
    }
    return true;
}

// The whole body, empty on failure.
QByteArray httpGet(const QUrl& url, int timeoutMs, QString* error, qint64 maxBytes)
{
    QByteArray body;
    const bool fetched = httpFetch(url, timeoutMs, error, maxBytes, [&body](const QByteArray& part) {
        body.append(part);
        return true;
    });
    return fetched ? body : QByteArray();
}

// SHA-256 on a thread of its own, so the hashing of a package runs beside
// its download instead of after it.
class BackgroundSha256 {
public:
    BackgroundSha256()
        : worker([this] { run(); })
    {
    }
    ~BackgroundSha256() { finish(); }
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    void add(const QByteArray& part)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            parts.append(part);
        }
        wake.notify_one();
    }

    // Lower-case hexadecimal of everything added.
    QString finish()
    {
        if (worker.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
            }
            wake.notify_one();
            worker.join();
        }
        return QString::fromLatin1(hash.result().toHex());
    }

private:
    void run()
    {
        for (;;) {
            QList<QByteArray> taken;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return done || !parts.isEmpty(); });
                if (parts.isEmpty())
                    return;
                taken.swap(parts);
            }
            for (const QByteArray& part : std::as_const(taken))
                hash.addData(part);
        }
    }

    QCryptographicHash hash{QCryptographicHash::Sha256};
    std::mutex mutex;
    std::condition_variable wake;
    QList<QByteArray> parts;
    bool done = false;
    std::thread worker;
};

// Below 2^63 only: anything larger, or no number at all, can match no
// package. A negative size tells none.
qint64 manifestPackageSize(const QJsonValue& value)
{
    if (!value.isDouble())
        return -1;
    const double size = value.toDouble();
    if (!std::isfinite(size) || size >= 9223372036854775808.0)
        return kInvalidPackageSize;
    if (size < 0)
        return -1;
    return qint64(size);
}

// The journal and the state file carry the version: it must fit them and
// compare as what it says.
bool isUsableVersion(const QString& version)
{
    constexpr qsizetype kMaxVersionLength = 64;
    if (version.isEmpty() || version.size() > kMaxVersionLength)
        return false;
    qsizetype readUpTo = -1;
    const QVersionNumber number = QVersionNumber::fromString(version, &readUpTo);
    return !number.isNull() && readUpTo == version.size();
}

QString unusableVersionRefusal()
{
    return QStringLiteral("Manifesto com version inválida.");
}

bool isHttpsUrl(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

QString httpsOnlyRefusal(const QString& packageUrl)
{
    return QStringLiteral("O pacote de atualização precisa ser baixado por HTTPS: %1").arg(packageUrl);
}

UpdateCheckResult checkForUpdate(const QString& usbRoot, const QUrl& manifestUrl)
{
    UpdateCheckResult result;
    QByteArray body = httpGet(manifestUrl, kManifestTimeoutMs, &result.error, kMaxManifestSize);
    if (body.isEmpty())
        return result;
    if (body.startsWith("\xEF\xBB\xBF"))
        body.remove(0, 3);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        result.error = QStringLiteral("Manifesto inválido: %1").arg(parseError.errorString());
        return result;
    }
    const QJsonObject object = document.object();
    if (object.value(QStringLiteral("schemaVersion")).toInt(0) != 1
        || object.value(QStringLiteral("app")).toString() != QLatin1String("Kavendru")) {
        result.error = QStringLiteral("Manifesto não pertence ao Kavendru ou usa schema não suportado.");
        return result;
    }
    UpdateManifest& manifest = result.manifest;
    manifest.version = object.value(QStringLiteral("version")).toString();
    manifest.packageUrl = object.value(QStringLiteral("packageUrl")).toString();
    manifest.sha256 = object.value(QStringLiteral("sha256")).toString().toLower();
    manifest.size = manifestPackageSize(object.value(QStringLiteral("size")));
    manifest.publishedAt = object.value(QStringLiteral("publishedAt")).toString();
    manifest.releaseNotes = object.value(QStringLiteral("releaseNotes")).toString();
    if (manifest.version.isEmpty() || manifest.packageUrl.isEmpty() || manifest.sha256.isEmpty()) {
        result.error = QStringLiteral("Manifesto sem version, packageUrl ou sha256.");
        return result;
    }
    if (!isUsableVersion(manifest.version)) {
        result.error = unusableVersionRefusal();
        return result;
    }
    if (!isHttpsUrl(manifest.packageUrl)) {
        result.error = httpsOnlyRefusal(manifest.packageUrl);
        return result;
    }
    result.installedVersion = installedBundleVersion(usbRoot);
    const QString installed = result.installedVersion.isEmpty() ? QStringLiteral("0.0.0") : result.installedVersion;
    result.updateAvailable =
        QVersionNumber::compare(QVersionNumber::fromString(manifest.version), QVersionNumber::fromString(installed))
        > 0;
    result.success = true;
    return result;
}

// Whether a process named exactly "Kavendru" runs here; when pgrep cannot
// tell, it counts as running.
bool vaultProgramRunning()
{
    QProcess pgrep;
    pgrep.start(QStringLiteral("pgrep"), {QStringLiteral("-x"), QStringLiteral("Kavendru")}, QIODevice::ReadWrite);
    if (!pgrep.waitForFinished(5000) || pgrep.exitStatus() != QProcess::NormalExit)
        return true;
    if (pgrep.exitCode() == 1)
        return false;
    // 2 and 3 are pgrep's own failures: nobody looked.
    if (pgrep.exitCode() != 0)
        return true;
    return !QString::fromLocal8Bit(pgrep.readAllStandardOutput()).trimmed().isEmpty();
}

// ---------------------------------------------------------------------------
// Update download and promotion

bool syncDrive(const QString& usbRoot, QString* error)
{
    if (syncFileSystem(productFolderPath(usbRoot)))
        return true;
    *error = QStringLiteral("Não foi possível sincronizar a unidade USB: %1").arg(usbRoot);
    return false;
}

struct UpdateApplyResult {
    bool success = false;
    QString version;
    QString error;
};

bool removeDirectory(const QString& path, QString* error)
{
    // QDir of an empty path is the working folder.
    if (path.isEmpty())
        return true;
    const QFileInfo info(path);
    bool removed = true;
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        removed = QFile::remove(path); // a link goes as a link, never followed
    else if (info.exists())
        removed = QDir(path).removeRecursively();
    if (!removed && error)
        *error = QStringLiteral("Não foi possível remover: %1").arg(path);
    return removed;
}

// The end of an update whose new bundles and state are in place: they reach
// the device under their names before the backups go, then the journal goes.
bool finishUpdateForward(const QString& usbRoot, const QString& windowsBackup, const QString& linuxBackup,
                         const QString& journalNotRemoved, QString* error)
{
    if (!syncDrive(usbRoot, error) || !removeDirectory(windowsBackup, error) || !removeDirectory(linuxBackup, error)
        || !syncDrive(usbRoot, error))
        return false;
    if (!QFile::remove(updateJournalPath(usbRoot))) {
        *error = journalNotRemoved;
        return false;
    }
    return true;
}

bool replaceBundleDirectory(const QString& target, const QString& staged, const QString& backup, QString* error)
{
    if (pathPresent(backup) && !removeDirectory(backup, error))
        return false;
    if (pathPresent(target) && !QDir().rename(target, backup)) {
        *error = QStringLiteral("Não foi possível criar backup de: %1").arg(target);
        return false;
    }
    if (QDir().rename(staged, target))
        return true;
    if (pathPresent(backup))
        QDir().rename(backup, target);
    *error = QStringLiteral("Não foi possível aplicar novo bundle em: %1").arg(target);
    return false;
}

bool restoreBundleFromBackup(const QString& target, const QString& backup, QString* error)
{
    if (!pathPresent(backup))
        return true;
    if (pathPresent(target) && !removeDirectory(target, error))
        return false;
    const bool renamed = QDir().rename(backup, target);
    if (!renamed && error)
        *error = QStringLiteral("Não foi possível restaurar o backup de: %1").arg(target);
    return renamed;
}

bool validateExtractedPackage(const QString& extractedDir, QString* error)
{
    const QDir product(QDir(extractedDir).filePath(QStringLiteral("Kavendru")));
    static const char* const requiredFiles[] = {"windows/Kavendru.exe",
                                                "windows/platforms/qwindows.dll",
                                                "linux/Kavendru",
                                                "linux/Kavendru-Linux.sh",
                                                "linux/qt.conf",
                                                "linux/lib/libssl.so.3",
                                                "linux/plugins/tls/libqopensslbackend.so"};
    for (const char* name : requiredFiles) {
        const QString path = product.filePath(QLatin1String(name));
        if (!QFileInfo::exists(path)) {
            *error = QStringLiteral("Pacote sem arquivo obrigatório: %1").arg(path);
            return false;
        }
    }
    for (const char* name : {"linux/lib", "linux/plugins"}) {
        const QString path = product.filePath(QLatin1String(name));
        if (!QFileInfo(path).isDir()) {
            *error = QStringLiteral("Pacote sem diretório obrigatório: %1").arg(path);
            return false;
        }
    }
    return true;
}

// A package brings files and folders only: a link could have the bundles
// reach elsewhere. Every folder is listed, links not followed; one that
// cannot be listed could hide one.
bool packageHoldsOnlyItsOwnFiles(const QString& extractedDir, QString* error)
{
    QStringList folders{extractedDir};
    while (!folders.isEmpty()) {
        const QString folder = folders.takeLast();
        DIR* listing = ::opendir(QFile::encodeName(folder).constData());
        if (!listing) {
            *error = QStringLiteral("Não foi possível ler a pasta do pacote: %1").arg(folder);
            return false;
        }
        QString link;
        bool listed = true;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(listing);
            if (!entry) {
                listed = errno == 0;
                break;
            }
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            const QString path = QDir(folder).filePath(QFile::decodeName(name));
            struct stat info;
            if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                listed = false;
                break;
            }
            if (S_ISLNK(info.st_mode)) {
                link = path;
                break;
            }
            if (S_ISDIR(info.st_mode))
                folders.append(path);
        }
        ::closedir(listing);
        if (!link.isEmpty()) {
            *error = QStringLiteral("Pacote contém link simbólico: %1").arg(link);
            return false;
        }
        if (!listed) {
            *error = QStringLiteral("Não foi possível ler a pasta do pacote: %1").arg(folder);
            return false;
        }
    }
    return true;
}

constexpr int kUnzipTimeoutMs = 180000;

// Extracts the package into the folder. An unzip still running at the
// time-out is killed and waited for: nothing writes into the folder once
// this returns, so it can be deleted.
bool extractPackage(const QString& packagePath, const QString& folder, int timeoutMs, QString* error)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"),
                {QStringLiteral("-q"), QStringLiteral("-o"), packagePath, QStringLiteral("-d"), folder},
                QIODevice::ReadWrite);
    const bool finished = unzip.waitForFinished(timeoutMs);
    if (finished && unzip.exitStatus() == QProcess::NormalExit && unzip.exitCode() == 0)
        return true;
    if (unzip.state() != QProcess::NotRunning) {
        unzip.kill();
        unzip.waitForFinished(-1);
    }
    *error = QStringLiteral("Falha ao extrair ZIP: %1%2")
                 .arg(QString::fromLocal8Bit(unzip.readAllStandardError()),
                      QString::fromLocal8Bit(unzip.readAllStandardOutput()));
    return false;
}

bool failUpdatePhaseForTest(const QString& phase, QString* error)
{
    if (qEnvironmentVariable("KAVENDRU_TEST_FAIL_UPDATE_PHASE").trimmed() != phase)
        return false;
    *error = QStringLiteral("Falha de teste injetada na fase: %1").arg(phase);
    return true;
}

QString vaultProgramRefusal()
{
    return QStringLiteral("Feche o Kavendru antes de atualizar os bundles da unidade USB.");
}

// Three times the size, without the product overflowing for sizes that
// no drive has room for.
bool roomForThreeTimes(qint64 available, qint64 alreadyWritten, qint64 size)
{
    qint64 room = 0;
    if (qAddOverflow(available, alreadyWritten, &room))
        room = std::numeric_limits<qint64>::max();
    return size >= 0 && room >= 0 && size <= room / 3;
}

UpdateApplyResult applyUpdatePackage(const QString& usbRoot, const UpdateManifest& manifest)
{
    UpdateApplyResult result;
    result.version = manifest.version;
    QString& error = result.error;

    if (!isHttpsUrl(manifest.packageUrl)) {
        error = httpsOnlyRefusal(manifest.packageUrl);
        return result;
    }
    if (manifest.size == kInvalidPackageSize) {
        error = QStringLiteral("Tamanho do pacote inválido no manifesto.");
        return result;
    }
    if (!isUsableVersion(manifest.version)) {
        error = unusableVersionRefusal();
        return result;
    }
    const QString product = productFolderPath(usbRoot);
    if (isLink(product)) {
        error = linkedProductFolderRefusal(product);
        return result;
    }
    // Room for the package, its extraction and the backups: three times its
    // size, asked before it comes when the manifest tells its size.
    const auto enoughRoom = [&usbRoot](qint64 size, qint64 alreadyWritten) {
        const QStorageInfo storage(usbRoot);
        return storage.isValid() && storage.isReady() && roomForThreeTimes(storage.bytesAvailable(), alreadyWritten, size);
    };
    const QString noRoom =
        QStringLiteral("Espaço livre insuficiente na unidade USB para preparar a atualização com segurança.");
    if (manifest.size >= 0 && !enoughRoom(manifest.size, 0)) {
        error = noRoom;
        return result;
    }

    const QDir productDir(product);
    const QString workRoot = productDir.filePath(
        QStringLiteral(".update-%1").arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddHHmmsszzz"))));
    const QString packagePath = QDir(workRoot).filePath(QStringLiteral("package.zip"));
    const QString extracted = QDir(workRoot).filePath(QStringLiteral("extracted"));
    // A plain mkdir: whatever already stands at that name, a link above all,
    // is not ours to write into.
    if (!QDir().mkpath(product) || ::mkdir(QFile::encodeName(workRoot).constData(), 0777) != 0) {
        error = QStringLiteral("Não foi possível criar área temporária na unidade USB.");
        return result;
    }
    const auto stop = [&result, &workRoot] {
        removeDirectory(workRoot, nullptr);
        return result;
    };

    // The package goes to the work folder as it comes, hashed meanwhile; the
    // download stops as soon as it outgrows what the manifest announced.
    // Nothing of it is used before its size and hash are checked.
    const QString writeFailed = QStringLiteral("Não foi possível gravar o pacote temporário na unidade USB.");
    QString hash;
    qint64 received = 0;
    {
        QFile file;
        if (!openDriveFile(&file, packagePath, O_WRONLY | O_CREAT | O_EXCL, QIODevice::WriteOnly)) {
            error = writeFailed;
            return stop();
        }
        BackgroundSha256 digest;
        bool written = true;
        const bool fetched = httpFetch(QUrl(manifest.packageUrl), kPackageTimeoutMs, &error,
                                       manifest.size >= 0 ? manifest.size : kMaxPackageSize,
                                       [&](const QByteArray& part) {
                                           digest.add(part);
                                           received += part.size();
                                           written = file.write(part) == part.size();
                                           return written;
                                       });
        hash = digest.finish();
        written = written && file.flush();
        file.close();
        if (!written) {
            error = writeFailed;
            return stop();
        }
        // An empty body ends the update with what the download said.
        if (!fetched || received == 0)
            return stop();
    }
    if (manifest.size >= 0 && manifest.size != received) {
        error = QStringLiteral("Tamanho do pacote divergente. Esperado: %1 bytes. Recebido: %2 bytes.")
                    .arg(manifest.size)
                    .arg(received);
        return stop();
    }
    if (hash != manifest.sha256) {
        error = QStringLiteral("Hash SHA-256 divergente. O pacote não será aplicado.");
        return stop();
    }
    if (manifest.size < 0 && !enoughRoom(received, received)) {
        error = noRoom;
        return stop();
    }
    if (::mkdir(QFile::encodeName(extracted).constData(), 0777) != 0) {
        error = QStringLiteral("Não foi possível criar staging: %1").arg(extracted);
        return stop();
    }
    if (!extractPackage(packagePath, extracted, kUnzipTimeoutMs, &error))
        return stop();
    if (!packageHoldsOnlyItsOwnFiles(extracted, &error) || !validateExtractedPackage(extracted, &error))
        return stop();
    // unzip leaves its files in the page cache: they reach the device before
    // any old bundle is moved aside.
    if (!syncDrive(usbRoot, &error))
        return stop();
    // Both may have changed while the package came.
    if (pendingUpdateOnDrive(usbRoot)) {
        error = pendingUpdateRefusal();
        return stop();
    }
    if (vaultProgramRunning()) {
        error = vaultProgramRefusal();
        return stop();
    }

    const QString id = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddHHmmss"));
    const QString windowsPath = productDir.filePath(QStringLiteral("windows"));
    const QString linuxPath = productDir.filePath(QStringLiteral("linux"));
    const QString windowsBackup = productDir.filePath(QStringLiteral("windows.backup-%1").arg(id));
    const QString linuxBackup = productDir.filePath(QStringLiteral("linux.backup-%1").arg(id));
    const QString stagedWindows = QDir(extracted).filePath(QStringLiteral("Kavendru/windows"));
    const QString stagedLinux = QDir(extracted).filePath(QStringLiteral("Kavendru/linux"));

    QJsonObject journal{{QStringLiteral("id"), id},
                        {QStringLiteral("startedAt"), utcTimestamp()},
                        {QStringLiteral("phase"), QStringLiteral("staged")},
                        {QStringLiteral("version"), manifest.version},
                        {QStringLiteral("packageSha256"), hash},
                        {QStringLiteral("workRoot"), QFileInfo(workRoot).absoluteFilePath()},
                        {QStringLiteral("windowsPath"), windowsPath},
                        {QStringLiteral("linuxPath"), linuxPath},
                        {QStringLiteral("windowsBackup"), windowsBackup},
                        {QStringLiteral("linuxBackup"), linuxBackup}};
    const auto enterPhase = [&](const QString& phase) {
        journal.insert(QStringLiteral("phase"), phase);
        return writeUpdateJournal(usbRoot, journal, &error);
    };
    const auto logLine = [&](const QString& phase, const QString& detail) {
        appendUpdateTransactionLog(usbRoot, id, phase, detail, nullptr);
    };
    // A phase done: in the journal, then in the log; a test may stop here.
    const auto reachPhase = [&](const QString& phase, const QString& detail) {
        if (!enterPhase(phase))
            return false;
        logLine(phase, detail);
        return !failUpdatePhaseForTest(phase, &error);
    };

    if (!writeUpdateJournal(usbRoot, journal, &error))
        return stop();
    if (!appendUpdateTransactionLog(usbRoot, id, QStringLiteral("staged"),
                                    QStringLiteral("Pacote validado e pronto para promoção."), &error))
        return stop();

    logLine(QStringLiteral("promoting-windows"), QStringLiteral("Iniciando substituição do bundle Windows."));
    if (!enterPhase(QStringLiteral("promoting-windows")))
        return stop();
    if (!replaceBundleDirectory(windowsPath, stagedWindows, windowsBackup, &error)) {
        logLine(QStringLiteral("failed"), QStringLiteral("Falha na promoção do bundle Windows."));
        return stop();
    }
    if (!reachPhase(QStringLiteral("windows-promoted"), QStringLiteral("Bundle Windows promovido.")))
        return stop();

    if (!enterPhase(QStringLiteral("promoting-linux")))
        return stop();
    logLine(QStringLiteral("promoting-linux"), QStringLiteral("Iniciando substituição do bundle Linux."));
    if (!replaceBundleDirectory(linuxPath, stagedLinux, linuxBackup, &error)) {
        // The Linux bundle needs its backup back only when the failed
        // replacement could not put it back itself.
        const bool windowsRestored = restoreBundleFromBackup(windowsPath, windowsBackup, nullptr);
        const bool linuxRestored =
            pathPresent(linuxPath) || restoreBundleFromBackup(linuxPath, linuxBackup, nullptr);
        // Otherwise the journal stays at this phase for a recovery to finish.
        if (windowsRestored && linuxRestored) {
            journal.insert(QStringLiteral("phase"), QStringLiteral("rolled-back"));
            if (writeUpdateJournal(usbRoot, journal, nullptr))
                logLine(QStringLiteral("rolled-back"), QStringLiteral("Falha na promoção Linux; bundle Windows restaurado."));
        }
        return stop();
    }
    if (!reachPhase(QStringLiteral("bundles-promoted"), QStringLiteral("Bundles Windows e Linux promovidos.")))
        return stop();

    if (!writeUpdateState(usbRoot, manifest.version, hash, &error)) {
        logLine(QStringLiteral("failed"), QStringLiteral("Falha ao publicar o estado da atualização."));
        return stop();
    }
    if (!reachPhase(QStringLiteral("state-written"), QStringLiteral("Estado da versão publicado com sucesso.")))
        return stop();

    if (!finishUpdateForward(usbRoot, windowsBackup, linuxBackup,
                             QStringLiteral("A atualização foi aplicada, mas não foi possível finalizar o journal de "
                                            "transação."),
                             &error))
        return stop();
    logLine(QStringLiteral("completed"), QStringLiteral("Transação concluída e backups removidos."));
    result.success = removeDirectory(workRoot, &error);
    return result;
}

// ---------------------------------------------------------------------------
// Recovery of interrupted updates

struct UpdateRecoveryResult {
    bool success = false;
    QString usbRoot;
    QString message;
    QString error;
};

// The folders a journal names, each taken only by its own name and re-based
// onto the drive's current mount: a journal on a drive is anyone's to write.
struct JournalFolders {
    QString id;
    QString windowsPath;
    QString linuxPath;
    QString windowsBackup;
    QString linuxBackup;
};

bool trustedJournalFolders(const QString& usbRoot, const QJsonObject& journal, JournalFolders* folders)
{
    // The whole text: "$" would also let a line break through.
    static const QRegularExpression idPattern(QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{14}")));
    const QString id = journal.value(QStringLiteral("id")).toString();
    if (!idPattern.match(id).hasMatch())
        return false;
    const QDir product(productFolderPath(usbRoot));
    const auto take = [&](const char* key, const QString& name, QString* path) {
        const QString stored = journal.value(QLatin1String(key)).toString();
        if (stored.isEmpty() || QFileInfo(stored).fileName() != name)
            return false;
        *path = product.filePath(name);
        return true;
    };
    folders->id = id;
    return take("windowsPath", QStringLiteral("windows"), &folders->windowsPath)
           && take("linuxPath", QStringLiteral("linux"), &folders->linuxPath)
           && take("windowsBackup", QStringLiteral("windows.backup-") + id, &folders->windowsBackup)
           && take("linuxBackup", QStringLiteral("linux.backup-") + id, &folders->linuxBackup);
}

bool recoverInterruptedUpdate(const QString& usbRoot, QString* message, QString* error)
{
    const QString unreadable = QStringLiteral("Não foi possível ler o journal de atualização pendente.");
    const QString product = productFolderPath(usbRoot);
    if (isLink(product)) {
        *error = linkedProductFolderRefusal(product);
        return false;
    }
    QJsonObject journal;
    switch (readUpdateJournal(usbRoot, &journal)) {
    case JournalRead::Absent:
        return true;
    case JournalRead::Unreadable:
        *error = unreadable;
        return false;
    case JournalRead::Invalid:
        *error = QStringLiteral("O journal de atualização pendente é inválido e foi preservado para diagnóstico.");
        return false;
    case JournalRead::Valid:
        break;
    }
    JournalFolders folders;
    if (!trustedJournalFolders(usbRoot, journal, &folders)) {
        *error = unreadable;
        return false;
    }
    const QString phase = journal.value(QStringLiteral("phase")).toString();
    const QString version = journal.value(QStringLiteral("version")).toString();
    const auto logLine = [&](const QString& event, const QString& detail) {
        appendUpdateTransactionLog(usbRoot, folders.id, event, detail, nullptr);
    };

    if (phase == QLatin1String("rolled-back")) {
        *message = QStringLiteral("Uma atualização anterior já havia sido revertida; os arquivos de diagnóstico foram "
                                  "preservados.");
        return true;
    }
    // A vault program started from the drive may run from the very bundle
    // folders the rules below move and delete; a refresh after it has ended
    // takes the journal up again.
    if (vaultProgramRunning()) {
        *message = QStringLiteral("O Kavendru está em execução: a atualização pendente em %1 foi mantida e será "
                                  "recuperada quando a lista for atualizada com o Kavendru fechado.")
                       .arg(usbRoot);
        return true;
    }
    // Once the state file names the new version, both new bundles are in
    // place: the update is finished forward, never undone over them.
    if ((!version.isEmpty() && version == installedBundleVersion(usbRoot))
        || phase == QLatin1String("state-written")) {
        if (!finishUpdateForward(usbRoot, folders.windowsBackup, folders.linuxBackup,
                                 QStringLiteral("A atualização foi concluída, mas o journal não pôde ser removido."),
                                 error))
            return false;
        logLine(QStringLiteral("recovered-complete"), QStringLiteral("Estado publicado encontrado; limpeza concluída."));
        *message = QStringLiteral("Uma atualização interrompida foi concluída com segurança.");
        return true;
    }
    if (phase == QLatin1String("staged")) {
        if (!QFile::remove(updateJournalPath(usbRoot))) {
            *error = QStringLiteral("Não foi possível remover o journal de um staging não promovido.");
            return false;
        }
        logLine(QStringLiteral("recovered-staged"), QStringLiteral("Staging sem promoção descartado."));
        *message = QStringLiteral("Uma atualização interrompida antes da promoção foi descartada; o staging foi "
                                  "preservado para diagnóstico.");
        return true;
    }
    // "rolled-back" is written only once both bundles are back.
    if (!restoreBundleFromBackup(folders.windowsPath, folders.windowsBackup, error)
        || !restoreBundleFromBackup(folders.linuxPath, folders.linuxBackup, error))
        return false;
    journal.insert(QStringLiteral("phase"), QStringLiteral("rolled-back"));
    if (!writeUpdateJournal(usbRoot, journal, error))
        return false;
    logLine(QStringLiteral("recovered-rollback"), QStringLiteral("Bundles restaurados a partir dos backups."));
    *message = QStringLiteral("Uma atualização interrompida foi revertida com segurança; os arquivos de diagnóstico "
                              "foram preservados.");
    return true;
}

// ---------------------------------------------------------------------------
// Workspace recycling

enum class WorkspaceRecycleOutcome { Recycled = 0, Busy = 1, Failed = 2 };

QString workspaceLockName()
{
    return QStringLiteral(".kavendru-workspace.lock");
}

// Deletes everything in the folder but the named entry; links are removed
// as links.
bool removeContentsExcept(const QString& folder, const QString& keptName)
{
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (entry.fileName() == keptName)
            continue;
        const bool removed = entry.isDir() && !entry.isSymLink() ? QDir(entry.filePath()).removeRecursively()
                                                                 : QFile::remove(entry.filePath());
        if (!removed)
            return false;
    }
    return true;
}

bool containsSymbolicLink(const QString& folder)
{
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isSymLink())
            return true;
    }
    return false;
}

QString comparablePath(const QString& path)
{
    return QDir::cleanPath(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')));
}

WorkspaceRecycleOutcome recycleKavendruWorkspace(QString* error)
{
    static const QRegularExpression workspaceNamePattern(QStringLiteral(
        "^[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}$"));
    const QString recycleFailed = QStringLiteral("Não foi possível reciclar o espaço de trabalho.");
    const auto failed = [error](const QString& text) {
        *error = text;
        return WorkspaceRecycleOutcome::Failed;
    };

    const QString root =
        QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).filePath(QStringLiteral("Kavendru"));
    if (!QDir(root).exists())
        return WorkspaceRecycleOutcome::Recycled;

    // In a temporary location shared with other users, a folder someone else
    // made could hold anything.
    const QFileInfo rootInfo(QFileInfo(root).absoluteFilePath());
    const QString canonicalRoot = rootInfo.canonicalFilePath();
    if (rootInfo.isSymLink() || canonicalRoot.isEmpty() || rootInfo.ownerId() != ::geteuid())
        return failed(QStringLiteral("Não foi possível validar o espaço de trabalho."));

    const QFileInfoList entries = QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() || !workspaceNamePattern.match(entry.fileName()).hasMatch())
            continue;
        const QString folder = entry.canonicalFilePath();
        if (folder.isEmpty())
            return failed(recycleFailed);

        // Held while the decrypted copies go, so a vault program cannot
        // take this workspace back half-deleted.
        QLockFile lock(QDir(folder).filePath(workspaceLockName()));
        if (!lock.tryLock(0))
            return WorkspaceRecycleOutcome::Busy;

        const QFileInfo folderInfo(folder);
        const QString canonicalFolder = folderInfo.canonicalFilePath();
        if (folderInfo.isSymLink() || canonicalFolder.isEmpty()
            || comparablePath(QFileInfo(canonicalFolder).dir().canonicalPath()) != comparablePath(canonicalRoot))
            return failed(recycleFailed);
        if (containsSymbolicLink(folder))
            return failed(recycleFailed);
        if (!removeContentsExcept(folder, workspaceLockName()))
            return failed(recycleFailed);
        lock.unlock();
        // Only an empty folder goes: a vault program that took the lock in
        // the meantime keeps its folder.
        if (!QDir().rmdir(folder))
            return failed(recycleFailed);
    }
    return WorkspaceRecycleOutcome::Recycled;
}

// ---------------------------------------------------------------------------
// Widgets

QString chooseBackground()
{
    static const QStringList backgrounds{QStringLiteral(":/backgrounds/Fundo01.png"),
                                         QStringLiteral(":/backgrounds/Fundo02.png")};
    return backgrounds.at(QRandomGenerator64::global()->bounded(int(backgrounds.size())));
}

class BackgroundWidget : public QWidget {
public:
    using QWidget::QWidget;
    ~BackgroundWidget() override = default;

    QPixmap pixmap;

protected:
    // Fills the widget, centred and cropped on the overflowing axis: the
    // picture keeps its proportions whatever the window's.
    void paintEvent(QPaintEvent* event) override
    {
        QWidget::paintEvent(event);
        if (pixmap.isNull())
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QPixmap scaled = pixmap.scaled(size(), Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        painter.drawPixmap((width() - scaled.width()) / 2, (height() - scaled.height()) / 2, scaled);
    }
};

class ConfigAboutDialog : public QDialog {
public:
    explicit ConfigAboutDialog(QWidget* parent)
        : QDialog(parent)
    {
        setWindowTitle(QStringLiteral("Sobre o Kavendru - Gerenciador"));
        setModal(true);
        resize(720, 430);

        auto* header = new QHBoxLayout;
        header->setSpacing(8);
        auto* icon = new QLabel(this);
        icon->setFixedSize(42, 42);
        icon->setPixmap(QIcon(QStringLiteral(":/icons/Kavendru.ico")).pixmap(42, 42));
        icon->setAlignment(Qt::AlignCenter);
        auto* title = new QLabel(QStringLiteral("Kavendru - Gerenciador"), this);
        QFont titleFont = title->font();
        titleFont.setPointSize(titleFont.pointSize() + 12);
        titleFont.setWeight(QFont::DemiBold);
        title->setFont(titleFont);
        title->setStyleSheet(QStringLiteral("color: #0B4F8A;"));
        header->addWidget(icon);
        header->addWidget(title);
        header->addStretch();

        auto* product = new QLabel(this);
        product->setTextFormat(Qt::RichText);
        product->setText(QStringLiteral("Preparador e atualizador de unidades USB Kavendru<br>Versão %1"
                                        "<br><br>Prepara unidades USB com o ambiente portátil Kavendru<br>"
                                        "para Windows e Linux e mantém seus bundles atualizados.")
                             .arg(QCoreApplication::applicationVersion()));
        auto* runtime = new QLabel(QStringLiteral("Ambiente de execução\n%1\nQt %2\n%3")
                                       .arg(QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()),
                                            QSysInfo::currentCpuArchitecture()),
                                   this);

        auto* grid = new QGridLayout;
        grid->addLayout(header, 0, 0, 1, 2);
        grid->addWidget(product, 1, 0, Qt::AlignTop);
        grid->addWidget(runtime, 1, 1, Qt::AlignTop);
        grid->setColumnStretch(0, 1);
        grid->setColumnStretch(1, 1);

        auto* components = new QPlainTextEdit(this);
        components->setReadOnly(true);
        components->setMinimumHeight(120);
        components->setPlainText(
            QStringLiteral("Qt Core/Network/Widgets - %1\n"
                           "Usado para interface gráfica, acesso HTTP, JSON, hash SHA-256 e operações de arquivo.\n"
                           "\n"
                           "Microsoft Visual C++ Runtime (MSVC)\n"
                           "Runtime necessário para os builds produzidos com Microsoft Visual Studio/MSVC.\n"
                           "\n"
                           "Microsoft Windows APIs\n"
                           "Usadas para detecção de unidades removíveis e integração nativa com o sistema.")
                .arg(QString::fromLatin1(qVersion())));

        auto* note = new QLabel(QString(), this);
        note->setWordWrap(true);

        auto* buttons = new QDialogButtonBox(this);
        buttons->addButton(QStringLiteral("Fechar"), QDialogButtonBox::AcceptRole);
        connect(buttons, &QDialogButtonBox::accepted, this, [this] { accept(); });

        auto* layout = new QVBoxLayout(this);
        layout->addLayout(grid);
        layout->addSpacing(8);
        layout->addWidget(new QLabel(QStringLiteral("Componentes relevantes:"), this));
        layout->addWidget(components);
        layout->addWidget(note);
        layout->addWidget(buttons);
    }
    ~ConfigAboutDialog() override = default;
};

bool isUsable(const UsbDevice& device)
{
    return device.mounted && !device.mountPoint.isEmpty();
}

QString deviceRowText(const UsbDevice& device)
{
    QString location = device.mountPoint;
    if (!device.mounted)
        location = device.devicePath.isEmpty() ? QStringLiteral("não montado") : device.devicePath;
    const QString name = device.label.isEmpty() ? location : device.label;
    QString text = QStringLiteral("%1 (%2)").arg(name, location);
    if (!device.mounted)
        text += QStringLiteral(" | não montado");
    return text;
}

const char* const kContentPanelStyle =
    "QFrame#contentPanel {  background-color: rgba(10, 16, 28, 0);  border: 1px solid rgba(255, 255, 255, 92);  "
    "border-radius: 8px;}"
    "QFrame#contentPanel QLabel {  color: #ffffff;}"
    "QFrame#contentPanel QLabel#marketingLabel {  font-size: 12px;}"
    "QFrame#contentPanel QLabel#subtitleLabel {  font-size: 12px;}"
    "QFrame#contentPanel QTextEdit {  background-color: rgba(255, 255, 255, 205);  color: #111827;  border: 1px "
    "solid rgba(31, 41, 55, 70);  border-radius: 4px;}"
    "QFrame#contentPanel QTextEdit {  padding: 8px;}"
    "QFrame#contentPanel QPushButton {  background-color: rgba(255, 255, 255, 255);  color: #111827;  border: 1px "
    "solid rgba(31, 41, 55, 85);  border-radius: 4px;  font-size: 12px;  padding: 6px 12px;}"
    "QFrame#contentPanel QPushButton:hover {  background-color: rgba(245, 248, 252, 255);}"
    "QFrame#contentPanel QPushButton:pressed {  background-color: rgba(229, 236, 246, 255);}";

class ConfigWindow : public QMainWindow {
public:
    ConfigWindow()
        : ConfigWindow(std::unique_ptr<DeviceManager>(new LinuxDeviceManager))
    {
    }

    explicit ConfigWindow(std::unique_ptr<DeviceManager> detector)
        : deviceManager(std::move(detector))
    {
        setWindowTitle(toolTitle());
        createActions();
        createMenus();
        BackgroundWidget* background = createCentralArea();
        createStatusBar();
        setCentralWidget(background);
        adjustSize();
        setFixedSize(sizeHint());
        connectSignals();
        discoverBundleSources();
        refreshDevices();
    }

    ~ConfigWindow() override = default;

    void refreshDevices();
    void prepareSelectedDevice();
    void recycleWorkspace();
    void updateSelectedDevice();

    // Whether a background task works on the drive at this root now.
    bool driveTaskRunning(const QString& usbRoot) const
    {
        return runningRecoveryRoots.contains(usbRoot) || (!activeUpdateRoot.isEmpty() && activeUpdateRoot == usbRoot);
    }

    std::unique_ptr<DeviceManager> deviceManager;
    QList<UsbDevice> devices;
    BundleSource windowsSource;
    BundleSource linuxSource;
    PortableBundleManager bundleManager;
    QAction* quitAction = nullptr;
    QAction* refreshDevicesAction = nullptr;
    QAction* prepareDriveAction = nullptr;
    QAction* recycleWorkspaceAction = nullptr;
    QAction* checkUpdatesAction = nullptr;
    QAction* aboutAction = nullptr;
    QComboBox* deviceCombo = nullptr;
    QLabel* windowsSourceLabel = nullptr;
    QLabel* linuxSourceLabel = nullptr;
    QLabel* versionLabel = nullptr;
    QPushButton* refreshButton = nullptr;
    QPushButton* prepareButton = nullptr;
    QPushButton* checkUpdatesButton = nullptr;
    QTextEdit* log = nullptr;
    int pendingRecoveryCount = 0;
    QSet<QString> failedRecoveryRoots;
    QSet<QString> runningRecoveryRoots;
    // The drive whose update check or update runs; empty when none does.
    QString activeUpdateRoot;
    QUrl manifestUrl = defaultManifestUrl();

    void startUpdateApply(const QString& usbRoot, const UpdateManifest& manifest);
    void recoverPendingUpdateInBackground(const QString& usbRoot);

private:
    void setUpdateControlsEnabled();
    void takeUpdateCheckResult(QFutureWatcher<UpdateCheckResult>* watcher, QProgressDialog* busy);
    void takeUpdateApplyResult(QFutureWatcher<UpdateApplyResult>* watcher, QProgressDialog* busy);
    void takeRecoveryResult(QFutureWatcher<UpdateRecoveryResult>* watcher);

    void createActions();
    void createMenus();
    BackgroundWidget* createCentralArea();
    void createStatusBar();
    void connectSignals();
    void discoverBundleSources();
};

void ConfigWindow::createActions()
{
    quitAction = new QAction(QStringLiteral("Sair"), this);
    quitAction->setShortcut(QKeySequence::Quit);
    refreshDevicesAction = new QAction(QStringLiteral("Atualizar lista"), this);
    prepareDriveAction = new QAction(QStringLiteral("Preparar unidade USB"), this);
    recycleWorkspaceAction = new QAction(QStringLiteral("Reciclar espaço de trabalho"), this);
    checkUpdatesAction = new QAction(QStringLiteral("Verificar atualizações"), this);
    aboutAction = new QAction(QStringLiteral("Sobre o sistema"), this);
}

void ConfigWindow::createMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("Arquivo"));
    file->addAction(refreshDevicesAction);
    file->addAction(prepareDriveAction);
    file->addAction(recycleWorkspaceAction);
    file->addSeparator();
    file->addAction(quitAction);
    QMenu* help = menuBar()->addMenu(QStringLiteral("Ajuda"));
    help->addAction(checkUpdatesAction);
    help->addSeparator();
    help->addAction(aboutAction);
}

BackgroundWidget* ConfigWindow::createCentralArea()
{
    auto* background = new BackgroundWidget(this);
    background->pixmap.load(chooseBackground());
    const QScreen* screen = QGuiApplication::primaryScreen();
    background->setFixedSize(centralAreaSize(screen ? std::optional<QSize>(screen->availableGeometry().size())
                                                    : std::nullopt));

    auto* outer = new QVBoxLayout(background);
    outer->setContentsMargins(22, 22, 22, 22);
    auto* panel = new QFrame(background);
    panel->setObjectName(QStringLiteral("contentPanel"));
    panel->setStyleSheet(QString::fromUtf8(kContentPanelStyle));
    outer->addWidget(panel);

    auto* marketing = new QLabel(
        QStringLiteral("Suas informações merecem proteção.\nO Kavendru - Gerenciador prepara sua unidade USB para "
                       "armazenar e acessar arquivos\ncom segurança, em um ambiente portátil e pronto para uso."),
        background);
    marketing->setObjectName(QStringLiteral("marketingLabel"));
    marketing->setMaximumWidth(560);
    marketing->setWordWrap(true);
    auto* subtitle =
        new QLabel(QStringLiteral("Preparador de unidade USB para o ambiente portátil Kavendru."), background);
    subtitle->setObjectName(QStringLiteral("subtitleLabel"));
    subtitle->setWordWrap(true);

    deviceCombo = new QComboBox(background);
    deviceCombo->setFixedWidth(340);
    windowsSourceLabel = new QLabel(background);
    windowsSourceLabel->setWordWrap(true);
    linuxSourceLabel = new QLabel(background);
    linuxSourceLabel->setWordWrap(true);

    const auto makeForm = [](int verticalSpacing) {
        auto* form = new QFormLayout;
        form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
        form->setHorizontalSpacing(10);
        form->setVerticalSpacing(verticalSpacing);
        return form;
    };
    QFormLayout* driveForm = makeForm(0);
    driveForm->addRow(new QLabel(QStringLiteral("Unidade USB:"), background), deviceCombo);
    QFormLayout* sourceForm = makeForm(8);
    sourceForm->addRow(new QLabel(QStringLiteral("Fonte Windows:"), background), windowsSourceLabel);
    sourceForm->addRow(new QLabel(QStringLiteral("Fonte Linux:"), background), linuxSourceLabel);

    refreshButton = new QPushButton(QStringLiteral("Atualizar lista"), background);
    checkUpdatesButton = new QPushButton(QStringLiteral("Verificar atualizações"), background);
    prepareButton = new QPushButton(QStringLiteral("Preparar unidade USB"), background);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(refreshButton);
    buttons->addStretch();
    buttons->addWidget(checkUpdatesButton);
    buttons->addWidget(prepareButton);

    log = new QTextEdit(background);
    log->setReadOnly(true);
    log->setFixedHeight(100);

    auto* content = new QVBoxLayout(panel);
    content->setContentsMargins(18, 16, 18, 18);
    content->setSpacing(0);
    content->addSpacing(164);
    content->addWidget(marketing);
    content->addSpacing(38);
    content->addWidget(subtitle);
    content->addSpacing(18);
    content->addLayout(driveForm);
    content->addSpacing(16);
    content->addLayout(sourceForm);
    content->addSpacing(18);
    content->addLayout(buttons);
    content->addStretch(1);
    content->addSpacing(14);
    content->addWidget(log);
    return background;
}

void ConfigWindow::createStatusBar()
{
    versionLabel = new QLabel(QStringLiteral("Versão %1").arg(QCoreApplication::applicationVersion()), this);
    versionLabel->setMinimumWidth(92);
    versionLabel->setAlignment(Qt::AlignCenter);
    versionLabel->setStyleSheet(QStringLiteral(
        "QLabel {  font-size: 11px;  border-left: 1px solid #c8c8c8;  padding-left: 6px;  padding-right: 6px;}"));
    statusBar()->addPermanentWidget(versionLabel);
}

void ConfigWindow::connectSignals()
{
    connect(quitAction, &QAction::triggered, this, [this] { close(); });
    connect(refreshDevicesAction, &QAction::triggered, this, [this] { refreshDevices(); });
    connect(refreshButton, &QPushButton::clicked, this, [this] { refreshDevices(); });
    connect(prepareDriveAction, &QAction::triggered, this, [this] { prepareSelectedDevice(); });
    connect(prepareButton, &QPushButton::clicked, this, [this] { prepareSelectedDevice(); });
    connect(recycleWorkspaceAction, &QAction::triggered, this, [this] { recycleWorkspace(); });
    connect(checkUpdatesAction, &QAction::triggered, this, [this] { updateSelectedDevice(); });
    connect(checkUpdatesButton, &QPushButton::clicked, this, [this] { updateSelectedDevice(); });
    connect(aboutAction, &QAction::triggered, this, [this] {
        ConfigAboutDialog dialog(this);
        dialog.exec();
    });
}

void ConfigWindow::discoverBundleSources()
{
    const QString toolDirectory = QCoreApplication::applicationDirPath();
    windowsSource = findBundleSource(windowsCandidatesBesideTool(), windowsCandidatesInBuildTree(), toolDirectory,
                                     developerBuildDirectory());
    linuxSource = findBundleSource(linuxCandidatesBesideTool(), linuxCandidatesInBuildTree(), toolDirectory,
                                   developerBuildDirectory());
    const auto show = [this](const BundleSource& source, QLabel* label, const QString& platform) {
        const bool found = !source.executablePath.isEmpty();
        label->setText(found ? QStringLiteral("Disponível") : QStringLiteral("Ausente"));
        log->append(QStringLiteral("Fonte %1 para preparação %2.")
                        .arg(platform, found ? QStringLiteral("encontrada") : QStringLiteral("ausente")));
    };
    show(windowsSource, windowsSourceLabel, QStringLiteral("Windows"));
    show(linuxSource, linuxSourceLabel, QStringLiteral("Linux"));
}

void ConfigWindow::refreshDevices()
{
    deviceCombo->clear();
    devices.clear();
    devices = deviceManager->detectUsbDevices();

    int usableRow = -1;
    int usableCount = 0;
    for (int row = 0; row < devices.size(); ++row) {
        const UsbDevice& device = devices.at(row);
        deviceCombo->addItem(deviceRowText(device));
        if (isUsable(device)) {
            usableRow = row;
            ++usableCount;
        }
    }
    deviceCombo->setCurrentIndex(usableCount == 1 ? usableRow : -1);

    if (devices.isEmpty())
        log->append(QStringLiteral("Nenhuma unidade USB detectada."));
    else
        log->append(QStringLiteral("%1 unidade(s) USB detectada(s).").arg(devices.size()));

    // A drive whose check or update runs is left to it.
    for (const UsbDevice& device : std::as_const(devices)) {
        if (!isUsable(device))
            continue;
        const QString usbRoot = device.mountPoint;
        // A dangling link counts too: its recovery says it cannot be read.
        if (pathPresent(updateJournalPath(usbRoot)) && !driveTaskRunning(usbRoot)
            && !failedRecoveryRoots.contains(usbRoot))
            recoverPendingUpdateInBackground(usbRoot);
    }
}

void ConfigWindow::recoverPendingUpdateInBackground(const QString& usbRoot)
{
    runningRecoveryRoots.insert(usbRoot);
    ++pendingRecoveryCount;
    setUpdateControlsEnabled();
    log->append(QStringLiteral("Recuperando atualização pendente em %1...").arg(usbRoot));
    auto* watcher = new QFutureWatcher<UpdateRecoveryResult>(this);
    connect(watcher, &QFutureWatcher<UpdateRecoveryResult>::finished, this,
            [this, watcher] { takeRecoveryResult(watcher); });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [usbRoot] {
        UpdateRecoveryResult result;
        result.usbRoot = usbRoot;
        result.success = recoverInterruptedUpdate(usbRoot, &result.message, &result.error);
        return result;
    }));
}

void ConfigWindow::takeRecoveryResult(QFutureWatcher<UpdateRecoveryResult>* watcher)
{
    const UpdateRecoveryResult result = watcher->result();
    watcher->deleteLater();
    runningRecoveryRoots.remove(result.usbRoot);
    --pendingRecoveryCount;
    setUpdateControlsEnabled();
    if (result.success) {
        failedRecoveryRoots.remove(result.usbRoot);
        log->append(result.message.isEmpty()
                        ? QStringLiteral("Atualização pendente verificada em %1.").arg(result.usbRoot)
                        : result.message);
        return;
    }
    failedRecoveryRoots.insert(result.usbRoot);
    log->append(QStringLiteral("Atualização pendente não recuperada em %1: %2").arg(result.usbRoot, result.error));
    showWarning(this, QStringLiteral("A recuperação automática de uma atualização pendente falhou em %1. A unidade foi "
                                     "preservada e nenhuma nova atualização será iniciada.\n\n%2")
                          .arg(result.usbRoot, result.error));
}

void ConfigWindow::prepareSelectedDevice()
{
    if (windowsSource.executablePath.isEmpty() && linuxSource.executablePath.isEmpty()) {
        showWarning(this, QStringLiteral("Compile pelo menos um bundle do Kavendru antes de preparar a unidade."));
        return;
    }
    const int index = deviceCombo->currentIndex();
    if (index < 0 || index >= devices.size()) {
        showInformation(this, QStringLiteral("Selecione uma unidade USB primeiro."));
        return;
    }
    const UsbDevice device = devices.at(index);
    if (!isUsable(device)) {
        showInformation(this, QStringLiteral("Monte a unidade USB no gerenciador de arquivos e atualize a lista antes "
                                             "de preparar."));
        return;
    }
    const QString usbRoot = device.mountPoint;
    // Preparing would rewrite the bundles under that task.
    if (driveTaskRunning(usbRoot)) {
        showInformation(this, QStringLiteral("Aguarde a atualização ou a recuperação em andamento nesta unidade "
                                             "terminar antes de prepará-la."));
        return;
    }
    // A later recovery would put the old backups back over the new bundles.
    if (pendingUpdateOnDrive(usbRoot)) {
        showInformation(this, QStringLiteral("Há uma atualização pendente nesta unidade. Atualize a lista para "
                                             "recuperá-la antes de preparar a unidade."));
        return;
    }
    if (vaultProgramRunning()) {
        showWarning(this, QStringLiteral("Feche o Kavendru antes de preparar a unidade USB."));
        return;
    }
    if (!askYesNo(this, QStringLiteral("Preparar unidade USB"),
                  QStringLiteral("Preparar a estrutura Kavendru em %1?\n\nA unidade não será formatada. Arquivos "
                                 "existentes do bundle Kavendru podem ser substituídos.")
                      .arg(usbRoot)))
        return;

    BusyProgressDialog progress(QStringLiteral("Preparando unidade USB..."), 0, 7, this);
    PortableBundleOptions options;
    options.windowsExecutablePath = windowsSource.executablePath;
    options.windowsRuntimeDirectory = windowsSource.runtimeDirectory;
    options.linuxExecutablePath = linuxSource.executablePath;
    options.linuxRuntimeDirectory = linuxSource.runtimeDirectory;
    const PortableBundleResult result = bundleManager.preparePortableBundle(
        usbRoot, options, [&progress](int step, int total, const QString& stepLabel) {
            progress.setMaximum(total);
            progress.setValue(step);
            progress.setLabelText(stepLabel);
            QCoreApplication::processEvents();
        });
    progress.setValue(progress.maximum());

    if (!result.success) {
        log->append(QStringLiteral("Falha: %1").arg(result.message));
        showWarning(this, result.message);
        return;
    }
    log->append(QStringLiteral("Unidade preparada: %1").arg(usbRoot));
    QString stateError;
    if (writeUpdateState(usbRoot, QString::fromLatin1(kApplicationVersion), QString(), &stateError))
        log->append(QStringLiteral("Estado de atualização registrado: %1").arg(updateStatePath(usbRoot)));
    else
        log->append(QStringLiteral("Aviso: %1").arg(stateError));
    showInformation(this, result.message);
}

void ConfigWindow::recycleWorkspace()
{
    QString error;
    switch (recycleKavendruWorkspace(&error)) {
    case WorkspaceRecycleOutcome::Recycled:
        showInformation(this, QStringLiteral("Espaço de trabalho reciclado."));
        break;
    case WorkspaceRecycleOutcome::Busy:
        showWarning(this, QStringLiteral("Para reciclar o espaço de trabalho, bloqueie todos os cofres abertos, feche "
                                         "o Kavendru e desmonte as unidades utilizadas. Em seguida, tente novamente."));
        break;
    case WorkspaceRecycleOutcome::Failed:
        showWarning(this, error);
        break;
    }
}

// Enabled only while nothing works on any drive in the background.
void ConfigWindow::setUpdateControlsEnabled()
{
    const bool enabled = pendingRecoveryCount == 0 && activeUpdateRoot.isEmpty();
    checkUpdatesAction->setEnabled(enabled);
    checkUpdatesButton->setEnabled(enabled);
}

void ConfigWindow::updateSelectedDevice()
{
    const int index = deviceCombo->currentIndex();
    if (index < 0 || index >= devices.size()) {
        showInformation(this, QStringLiteral("Selecione uma unidade USB primeiro."));
        return;
    }
    const UsbDevice device = devices.at(index);
    const QString usbRoot = device.mountPoint;
    if (!device.mounted || usbRoot.isEmpty()) {
        showInformation(this, QStringLiteral("Monte a unidade USB e atualize a lista antes de verificar atualizações."));
        return;
    }
    // A product folder that is a link would have the update write elsewhere.
    const QString productFolder = productFolderPath(usbRoot);
    if (!QFileInfo(productFolder).isDir() || isLink(productFolder)) {
        showInformation(this, QStringLiteral("A unidade selecionada ainda não possui uma estrutura Kavendru preparada."));
        return;
    }
    const QStorageInfo storage(usbRoot);
    if (!storage.isValid() || !storage.isReady() || !QFileInfo(usbRoot).isWritable()) {
        showWarning(this, QStringLiteral("A unidade USB não está disponível para gravação. Monte-a com leitura e "
                                         "gravação antes de atualizar."));
        return;
    }
    if (pendingRecoveryCount != 0) {
        showInformation(this, QStringLiteral("Aguarde a recuperação automática de atualização pendente terminar antes "
                                             "de iniciar outra atualização."));
        return;
    }
    if (failedRecoveryRoots.contains(usbRoot)) {
        showWarning(this, QStringLiteral("Há uma atualização pendente que não pôde ser recuperada com segurança. "
                                         "Nenhuma nova atualização será iniciada para esta unidade."));
        return;
    }
    if (pendingUpdateOnDrive(usbRoot)) {
        showInformation(this, pendingUpdateRefusal());
        return;
    }
    if (vaultProgramRunning()) {
        showWarning(this, QStringLiteral("Feche o Kavendru antes de atualizar os bundles da unidade USB."));
        return;
    }

    activeUpdateRoot = usbRoot;
    setUpdateControlsEnabled();
    auto* busy = new BusyProgressDialog(QStringLiteral("Consultando manifesto de atualização..."), 0, 0, this);
    busy->show();
    auto* watcher = new QFutureWatcher<UpdateCheckResult>(this);
    connect(watcher, &QFutureWatcher<UpdateCheckResult>::finished, this,
            [this, watcher, busy] { takeUpdateCheckResult(watcher, busy); });
    const QUrl url = manifestUrl;
    watcher->setFuture(
        QtConcurrent::run(QThreadPool::globalInstance(), [usbRoot, url] { return checkForUpdate(usbRoot, url); }));
}

void ConfigWindow::takeUpdateCheckResult(QFutureWatcher<UpdateCheckResult>* watcher, QProgressDialog* busy)
{
    const UpdateCheckResult result = watcher->result();
    watcher->deleteLater();
    // Gone from sight before the boxes below, which run their own loops.
    busy->hide();
    busy->deleteLater();
    // The question below is modal: nothing else can start meanwhile.
    const QString usbRoot = activeUpdateRoot;
    activeUpdateRoot.clear();
    setUpdateControlsEnabled();

    if (!result.success) {
        log->append(QStringLiteral("Falha ao consultar manifesto: %1").arg(result.error));
        showWarning(this, result.error);
        return;
    }
    const QString installed =
        result.installedVersion.isEmpty() ? QStringLiteral("desconhecida") : result.installedVersion;
    if (!result.updateAvailable) {
        log->append(QStringLiteral("Nenhuma atualização disponível. Instalado: %1 | Remoto: %2")
                        .arg(installed, result.manifest.version));
        showInformation(this, QStringLiteral("A unidade já está atualizada.\n\nVersão instalada: %1\nVersão "
                                             "disponível: %2")
                                  .arg(installed, result.manifest.version));
        return;
    }
    const QString notes = result.manifest.releaseNotes.isEmpty() ? QStringLiteral("Sem notas de versão.")
                                                                 : result.manifest.releaseNotes;
    if (!askYesNo(this, QStringLiteral("Atualização disponível"),
                  QStringLiteral("Atualizar Kavendru na unidade %1?\n\nVersão instalada: %2\nVersão disponível: "
                                 "%3\n\n%4")
                      .arg(usbRoot, installed, result.manifest.version, notes))) {
        log->append(QStringLiteral("Atualização cancelada pelo usuário."));
        return;
    }
    startUpdateApply(usbRoot, result.manifest);
}

void ConfigWindow::startUpdateApply(const QString& usbRoot, const UpdateManifest& manifest)
{
    activeUpdateRoot = usbRoot;
    setUpdateControlsEnabled();
    auto* busy = new BusyProgressDialog(QStringLiteral("Baixando, validando e aplicando atualização..."), 0, 0, this);
    busy->show();
    auto* watcher = new QFutureWatcher<UpdateApplyResult>(this);
    connect(watcher, &QFutureWatcher<UpdateApplyResult>::finished, this,
            [this, watcher, busy] { takeUpdateApplyResult(watcher, busy); });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
                                         [usbRoot, manifest] { return applyUpdatePackage(usbRoot, manifest); }));
}

// A journal that a failed update left is taken up by the recovery at the
// next filling of the drive list, not here.
void ConfigWindow::takeUpdateApplyResult(QFutureWatcher<UpdateApplyResult>* watcher, QProgressDialog* busy)
{
    const UpdateApplyResult result = watcher->result();
    watcher->deleteLater();
    busy->hide();
    busy->deleteLater();
    activeUpdateRoot.clear();
    setUpdateControlsEnabled();
    if (result.success) {
        log->append(QStringLiteral("Unidade atualizada para Kavendru %1.").arg(result.version));
        showInformation(this, QStringLiteral("Atualização concluída.\n\nVersão instalada: %1").arg(result.version));
    } else {
        log->append(QStringLiteral("Falha ao aplicar atualização: %1").arg(result.error));
        showWarning(this, result.error);
    }
}

} // namespace

#include "resources/QtTranslation.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Kavendru::installQtTranslation(app);
    applyApplicationIdentity();
    ConfigWindow window;
    window.show();
    return app.exec();
}

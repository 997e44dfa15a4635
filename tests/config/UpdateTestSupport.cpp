#include "UpdateTestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace UpdateTest {

namespace {

const char* const kServerScript = R"PY(
import http.server, os, ssl, sys, time
root, cert, key, notes = sys.argv[1:5]

class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=root, **kwargs)
    def log_message(self, *args):
        pass
    def do_GET(self):
        with open(notes, 'a') as f:
            f.write('%s | %s | %s\n' % (self.path, self.headers.get('User-Agent', ''), self.headers.get('Accept', '')))
        if self.path.startswith('/redirect-http'):
            self.send_response(302)
            self.send_header('Location', 'http://127.0.0.1:%d/manifest.json' % self.server.server_address[1])
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        if self.path.startswith('/slow'):
            time.sleep(30)
        super().do_GET()

server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

const char* const kZipScript = R"PY(
import json, sys, zipfile
order = json.load(sys.stdin)
with zipfile.ZipFile(order['path'], 'w', zipfile.ZIP_STORED) as z:
    for e in order['entries']:
        info = zipfile.ZipInfo(e['name'], date_time=(2024, 1, 1, 0, 0, 0))
        info.create_system = 3
        data = bytes.fromhex(e['data'])
        info.external_attr = ((0o120777 if e['link'] else 0o100644) << 16)
        z.writestr(info, data)
)PY";

bool run(const QString& program, const QStringList& arguments, QString* error, const QByteArray& input = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(30000)) {
        if (error)
            *error = program + QStringLiteral(": ") + process.errorString();
        return false;
    }
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error)
            *error = program + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll());
        return false;
    }
    return true;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size() && file.flush();
}

// A CA and a certificate for 127.0.0.1 that it signed.
bool makeCertificates(const QDir& dir, QString* error)
{
    const QString openssl = QStringLiteral("openssl");
    const auto p = [&dir](const char* name) { return dir.filePath(QLatin1String(name)); };
    return run(openssl,
               {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p("ca.key"), "-out", p("ca.pem"), "-days",
                "2", "-subj", "/CN=Kavendru Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                "keyUsage=critical,keyCertSign,cRLSign"},
               error)
        && run(openssl,
               {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", p("server.key"), "-out", p("server.csr"), "-subj",
                "/CN=127.0.0.1"},
               error)
        && writeFile(p("server.ext"), "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
        && run(openssl,
               {"x509", "-req", "-in", p("server.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"), "-CAcreateserial",
                "-out", p("server.pem"), "-days", "2", "-extfile", p("server.ext")},
               error);
}

} // namespace

bool trustCertificateAuthority(const QString& caPath)
{
    const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caPath);
    if (authorities.isEmpty())
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

HttpsServer::HttpsServer(bool trusted)
    : dir(std::make_unique<QTemporaryDir>())
{
    const QDir base(dir->path());
    if (!makeCertificates(base, &error))
        return;
    if (!QDir().mkpath(folder()) || !writeFile(base.filePath(QStringLiteral("server.py")), kServerScript)) {
        error = QStringLiteral("cannot write the server's files");
        return;
    }
    if (trusted && !trustCertificateAuthority(base.filePath(QStringLiteral("ca.pem")))) {
        error = QStringLiteral("cannot read the test CA");
        return;
    }
    process.start(QStringLiteral("python3"),
                  {base.filePath(QStringLiteral("server.py")), folder(), base.filePath(QStringLiteral("server.pem")),
                   base.filePath(QStringLiteral("server.key")), base.filePath(QStringLiteral("requests.txt"))});
    if (!process.waitForStarted(30000)) {
        error = process.errorString();
        return;
    }
    while (!process.canReadLine() && process.waitForReadyRead(30000)) {
    }
    port = process.readLine().trimmed().toInt();
    if (port == 0)
        error = QString::fromLocal8Bit(process.readAllStandardError());
}

HttpsServer::~HttpsServer()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

QUrl HttpsServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1/%2").arg(port).arg(path));
}

QString HttpsServer::folder() const
{
    return QDir(dir->path()).filePath(QStringLiteral("www"));
}

QString HttpsServer::caPath() const
{
    return QDir(dir->path()).filePath(QStringLiteral("ca.pem"));
}

QStringList HttpsServer::requests() const
{
    QFile file(QDir(dir->path()).filePath(QStringLiteral("requests.txt")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool writeZip(const QString& path, const QList<ZipEntry>& entries, QString* error)
{
    QJsonArray list;
    for (const ZipEntry& entry : entries)
        list.append(QJsonObject{{"name", entry.name},
                                {"data", QString::fromLatin1(entry.data.toHex())},
                                {"link", entry.link}});
    const QByteArray order = QJsonDocument(QJsonObject{{"path", path}, {"entries", list}}).toJson();
    return run(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(kZipScript)}, error, order);
}

namespace {
const char* const kZipFolderScript = R"PY(
import os, sys, zipfile
folder, path = sys.argv[1:3]
with zipfile.ZipFile(path, 'w', zipfile.ZIP_STORED, allowZip64=True) as z:
    for base, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files) + [d for d in dirs if os.path.islink(os.path.join(base, d))]:
            full = os.path.join(base, name)
            rel = os.path.relpath(full, folder)
            if os.path.islink(full):
                info = zipfile.ZipInfo(rel)
                info.create_system = 3
                info.external_attr = 0o120777 << 16
                z.writestr(info, os.readlink(full))
            else:
                z.write(full, rel)
)PY";
} // namespace

bool zipFolder(const QString& folder, const QString& path, QString* error)
{
    return run(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(kZipFolderScript), folder, path},
               error);
}

namespace {
const char* const kBundleFiles[] = {
    "windows/Kavendru.exe",      "windows/platforms/qwindows.dll",          "windows/marker.txt",
    "linux/Kavendru",            "linux/Kavendru-Linux.sh",                 "linux/qt.conf",
    "linux/lib/libssl.so.3",     "linux/plugins/tls/libqopensslbackend.so", "linux/marker.txt",
};
} // namespace

QList<ZipEntry> packageEntries(const QByteArray& marker)
{
    QList<ZipEntry> entries;
    for (const char* name : kBundleFiles)
        entries.append({QStringLiteral("Kavendru/") + QLatin1String(name), marker, false});
    return entries;
}

bool makePreparedDrive(const QString& usbRoot, const QByteArray& marker, const QString& installedVersion)
{
    const QDir product(QDir(usbRoot).filePath(QStringLiteral("Kavendru")));
    for (const char* name : kBundleFiles) {
        if (!writeFile(product.filePath(QLatin1String(name)), marker))
            return false;
    }
    if (installedVersion.isEmpty())
        return true;
    const QJsonObject state{{"schemaVersion", 1}, {"app", "Kavendru"}, {"installedVersion", installedVersion}};
    return writeFile(product.filePath(QStringLiteral("update-state.json")), QJsonDocument(state).toJson());
}

QByteArray bundleMarker(const QString& bundleFolder)
{
    QByteArray marker;
    QDirIterator it(bundleFolder, QDir::Files, QDirIterator::Subdirectories);
    int files = 0;
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            return "unreadable";
        const QByteArray data = file.readAll();
        if (files++ > 0 && data != marker)
            return "mixed";
        marker = data;
    }
    return marker;
}

QByteArray sha256Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QStringList logPhases(const QString& logPath)
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList phases;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            phases.append(QJsonDocument::fromJson(line).object().value(QStringLiteral("phase")).toString());
    }
    return phases;
}

NamedProcess::NamedProcess(const QString& folder, const QString& name)
{
    const QString copy = QDir(folder).filePath(name);
    QFile::copy(QStringLiteral("/bin/sleep"), copy);
    process.start(copy, {QStringLiteral("60")});
    process.waitForStarted(10000);
}

NamedProcess::~NamedProcess()
{
    process.kill();
    process.waitForFinished(10000);
}

namespace {

QString systemProgram(const char* name)
{
    return QStandardPaths::findExecutable(QLatin1String(name), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                                QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

// The standard output of a program that must succeed; empty on failure,
// with what it said in error.
QByteArray outputOf(const QString& program, const QStringList& arguments, QString* error)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = program + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAllStandardError());
        return QByteArray();
    }
    return process.readAllStandardOutput();
}

// The process serving the FUSE mount of the device at the folder.
pid_t fuseServer(const QString& device, const QString& mountPoint)
{
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool number = false;
        const pid_t pid = pid_t(entry.toLongLong(&number));
        if (!number)
            continue;
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = file.readAll().split('\0');
        if (!arguments.isEmpty() && arguments.first().endsWith("mount.exfat-fuse")
            && arguments.contains(QFile::encodeName(device)) && arguments.contains(QFile::encodeName(mountPoint)))
            return pid;
    }
    return 0;
}

} // namespace

ExfatStick::ExfatStick(const QString& folder, qint64 sizeBytes)
    : image(QDir(folder).filePath(QStringLiteral("stick.img")))
    , mountPoint(QDir(folder).filePath(QStringLiteral("STICK")))
{
    if (::geteuid() != 0) {
        missing = QStringLiteral("needs root for a loop device and a FUSE mount");
        return;
    }
    for (const char* name : {"losetup", "mkfs.exfat", "mount.exfat-fuse"}) {
        if (systemProgram(name).isEmpty()) {
            missing = QStringLiteral("needs %1 (packages util-linux, exfatprogs, exfat-fuse)").arg(QLatin1String(name));
            return;
        }
    }
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(sizeBytes) || !QDir().mkpath(mountPoint)) {
        missing = QStringLiteral("cannot make the image");
        return;
    }
    file.close();
    device = QString::fromLocal8Bit(outputOf(systemProgram("losetup"), {"--find", "--show", image}, &missing)).trimmed();
    if (device.isEmpty())
        return;
    outputOf(systemProgram("mkfs.exfat"), {device}, &missing);
    if (missing.isEmpty())
        plugIn();
}

ExfatStick::~ExfatStick()
{
    if (mounted && ::umount(QFile::encodeName(mountPoint).constData()) != 0)
        ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
    if (!device.isEmpty()) {
        QString error;
        outputOf(systemProgram("losetup"), {"-d", device}, &error);
    }
}

bool ExfatStick::plugIn()
{
    missing.clear();
    outputOf(systemProgram("mount.exfat-fuse"), {device, mountPoint}, &missing);
    mounted = missing.isEmpty() && fuseServer(device, mountPoint) != 0;
    if (!mounted && missing.isEmpty())
        missing = QStringLiteral("mount.exfat-fuse left no server");
    return mounted;
}

bool ExfatStick::pull()
{
    const pid_t server = fuseServer(device, mountPoint);
    if (server == 0 || ::kill(server, SIGKILL) != 0)
        return false;
    // In the test's PID namespace the server is this process's child.
    int status = 0;
    if (::waitpid(server, &status, 0) != server) {
        for (int i = 0; i < 1000 && fuseServer(device, mountPoint) != 0; ++i)
            ::usleep(10000);
    }
    mounted = false;
    return ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH) == 0;
}

bool enterPrivatePidNamespace()
{
    if (::geteuid() != 0 || ::unshare(CLONE_NEWPID) != 0)
        return false;
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        return ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            ::_exit(127);
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

} // namespace UpdateTest

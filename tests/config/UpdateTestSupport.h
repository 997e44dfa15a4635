#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace UpdateTest {

// An HTTPS server on 127.0.0.1 (python's http.server), serving the files
// of its folder, with a certificate that a CA of its own signed. Besides
// the files: "/redirect-http" answers with a redirect to plain http,
// "/slow" answers after 30 s, and every request is noted with its headers.
class HttpsServer {
public:
    // trusted: the process trusts the server's CA from now on.
    explicit HttpsServer(bool trusted = true);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    bool isRunning() const { return port != 0; }
    QString failure() const { return error; }
    QUrl url(const QString& path) const;
    // The folder whose files are served.
    QString folder() const;
    // The CA that signed the server's certificate.
    QString caPath() const;
    // Each request: "<path> | <User-Agent> | <Accept>".
    QStringList requests() const;

private:
    std::unique_ptr<QTemporaryDir> dir;
    QProcess process;
    int port = 0;
    QString error;
};

// Trusts the CA in the file for every TLS connection of this process,
// besides those trusted already.
bool trustCertificateAuthority(const QString& caPath);

// One entry of a zip that python's zipfile writes: a file with its data,
// or a link (data: its target).
struct ZipEntry {
    QString name;
    QByteArray data;
    bool link = false;
};

// Writes the zip; false with python's message in error.
bool writeZip(const QString& path, const QList<ZipEntry>& entries, QString* error = nullptr);

// Zips everything below the folder, names relative to it, links kept as
// links; stored, not compressed.
bool zipFolder(const QString& folder, const QString& path, QString* error = nullptr);

// The entries of a complete package: both bundles under "Kavendru", each
// file holding the marker, and every folder's files that the validation
// looks for.
QList<ZipEntry> packageEntries(const QByteArray& marker);

// Lays the two bundles of a prepared drive (same files as a package) into
// the product folder, each file holding the marker; with a state file of
// that version when it is not empty.
bool makePreparedDrive(const QString& usbRoot, const QByteArray& marker, const QString& installedVersion);

// The product folder of a drive: <root>/Kavendru.
inline QString productOf(const QString& usbRoot)
{
    return QDir(usbRoot).filePath(QStringLiteral("Kavendru"));
}

// The marker of a bundle folder ("<root>/Kavendru/<bundle>/marker.txt"),
// empty when missing; "mixed" when its files disagree.
QByteArray bundleMarker(const QString& bundleFolder);

QByteArray sha256Hex(const QByteArray& data);

// Lines of the transaction log as their "phase" values.
QStringList logPhases(const QString& logPath);

// A program running under the given process name (a copy of sleep in the
// folder), as long as this lives.
class NamedProcess {
public:
    NamedProcess(const QString& folder, const QString& name);
    ~NamedProcess();
    NamedProcess(const NamedProcess&) = delete;
    NamedProcess& operator=(const NamedProcess&) = delete;
    bool running() const { return process.state() == QProcess::Running; }

private:
    QProcess process;
};

// An exFAT stick, as most come: an image formatted with mkfs.exfat over a
// loop device, mounted with exfat-fuse at a folder. Needs root, losetup,
// mkfs.exfat and mount.exfat-fuse; unavailable() says what is missing.
class ExfatStick {
public:
    ExfatStick(const QString& folder, qint64 sizeBytes);
    ~ExfatStick();
    ExfatStick(const ExfatStick&) = delete;
    ExfatStick& operator=(const ExfatStick&) = delete;

    // Empty while the stick is mounted.
    QString unavailable() const { return missing; }
    QString path() const { return mountPoint; }
    // Pulled out: the file system's process is killed, so whatever it had
    // not yet written to the device is lost, and the mount goes.
    bool pull();
    bool plugIn();

private:
    QString image;
    QString mountPoint;
    QString device;
    QString missing;
    bool mounted = false;
};

// Runs the test program in a PID namespace of its own with its own /proc,
// so "pgrep" sees only the test's processes. Must run while the process has
// a single thread, inside a private mount namespace; needs root. Returns in
// the namespace's first process; the original process waits for it and
// exits with its code.
bool enterPrivatePidNamespace();

} // namespace UpdateTest

// The main of the tests that update or prepare drives: a private mount and
// PID namespace (pgrep sees only this test's processes, so a vault program
// of another test running beside it refuses nothing), private HOME and
// TMPDIR, and the tool's source compiled in with its main renamed.
// KAVENDRU_UPDATE_TEST_RUN is its body, for a main that first serves the
// modes of its own child processes.
#define KAVENDRU_UPDATE_TEST_RUN(TestObject)                                                                       \
    KavendruTest::enterPrivateMountNamespace();                                                                  \
    UpdateTest::enterPrivatePidNamespace();                                                                      \
    ConfigTest::PrivateEnvironment environment;                                                                  \
    QApplication app(argc, argv);                                                                                \
    applyApplicationIdentity();                                                                                  \
    TestObject test;                                                                                             \
    QTEST_SET_MAIN_SOURCE_PATH                                                                                   \
    return QTest::qExec(&test, argc, argv);

#define KAVENDRU_UPDATE_TEST_MAIN(TestObject)                                                                      \
    int main(int argc, char* argv[])                                                                             \
    {                                                                                                            \
        KAVENDRU_UPDATE_TEST_RUN(TestObject)                                                                     \
    }

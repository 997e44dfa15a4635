#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <functional>

namespace KavendruTest {

// Moves this process into a mount namespace of its own, so the tmpfs mounts
// a test makes are invisible to the machine and vanish when it exits.
// Must run while the process has a single thread. Needs root.
bool enterPrivateMountNamespace();
bool inPrivateMountNamespace();

// A small tmpfs at a folder of its own: the full disk of the tests.
class ScopedTmpfs {
public:
    explicit ScopedTmpfs(const QString& mountPoint, qint64 sizeBytes);
    ~ScopedTmpfs();
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

    bool isMounted() const { return mounted; }
    QString path() const { return mountPoint; }

private:
    QString mountPoint;
    bool mounted = false;
};

// Runs the function in a forked child and returns its exit code, or
// 128 + the signal number when it was killed.
int runInChild(const std::function<int()>& function);

// In a child: limits the size of files this process may write and turns
// the signal into a plain write error.
bool limitFileSize(qint64 bytes);
// In a child: the first write that would reach past the limit kills the
// process, as a power cut stops a write: what was written stays, and
// nothing runs after it.
bool killAtFileSize(qint64 bytes);

// A fresh temporary folder under the temporary location the process
// started with, whatever TMPDIR a test has set since.
QString baseTempPath();
std::unique_ptr<QTemporaryDir> makeTempDir();

QByteArray readWholeFile(const QString& path);
bool writeWholeFile(const QString& path, const QByteArray& data);
QByteArray sha256OfFile(const QString& path);
qint64 fileSize(const QString& path);
// The permission bits of a path itself (links not followed); 0 when missing.
unsigned fileMode(const QString& path);

} // namespace KavendruTest

#define KAVENDRU_TEST_MAIN(TestObject)                                                                               \
    int main(int argc, char* argv[])                                                                                 \
    {                                                                                                                \
        KavendruTest::enterPrivateMountNamespace();                                                                  \
        QCoreApplication app(argc, argv);                                                                            \
        TestObject test;                                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                   \
        return QTest::qExec(&test, argc, argv);                                                                      \
    }

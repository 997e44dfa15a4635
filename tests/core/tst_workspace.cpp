#include "core/FileSyncManager.h"
#include "core/TempWorkspaceManager.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Kavendru::Core;
using namespace KavendruTest;

class WorkspaceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { baseTempPath(); }

    void init()
    {
        temp = makeTempDir();
        QVERIFY(temp->isValid());
        // The temporary location of the workspace follows TMPDIR.
        qputenv("TMPDIR", QFile::encodeName(temp->path()));
        parent = QDir(temp->path()).filePath(QStringLiteral("Kavendru"));
    }

    void layoutAndModes()
    {
        TempWorkspaceManager workspace;
        const QString path = workspace.workspacePath();
        QCOMPARE(QFileInfo(path).absolutePath(), parent);
        QVERIFY(!QUuid::fromString(QFileInfo(path).fileName()).isNull());
        QCOMPARE(QFileInfo(path).fileName().size(), 36);
        QVERIFY(!QFileInfo::exists(path));

        QVERIFY(workspace.prepare());
        QCOMPARE(fileMode(parent), 0700u);
        QCOMPARE(fileMode(path), 0700u);
        QVERIFY(QFileInfo::exists(QDir(path).filePath(".kavendru-workspace.lock")));

        QVERIFY(workspace.cleanup());
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(QFileInfo::exists(parent));
        // Same name again, fresh lock.
        QVERIFY(workspace.prepare());
        QCOMPARE(workspace.workspacePath(), path);
        QVERIFY(workspace.cleanup());
    }

    void cleanupBeforePrepare()
    {
        TempWorkspaceManager workspace;
        QVERIFY(workspace.cleanup());
    }

    void existingParentIsTightened()
    {
        QVERIFY(QDir().mkpath(parent));
        QVERIFY(::chmod(QFile::encodeName(parent).constData(), 0777) == 0);
        TempWorkspaceManager workspace;
        QVERIFY(workspace.prepare());
        QCOMPARE(fileMode(parent), 0700u);
        workspace.cleanup();
    }

    void unsafeParentRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symlink") << "symlink";
        QTest::newRow("regular file") << "file";
        QTest::newRow("another user's") << "foreign";
    }

    void unsafeParentRefused()
    {
        QFETCH(QString, kind);
        const auto elsewhereDir = makeTempDir();
        QTemporaryDir& elsewhere = *elsewhereDir;
        if (kind == "symlink")
            QVERIFY(QFile::link(elsewhere.path(), parent));
        else if (kind == "file")
            QVERIFY(writeWholeFile(parent, "x"));
        else {
            QVERIFY(QDir().mkpath(parent));
            if (::geteuid() != 0)
                QSKIP("needs root to give the folder to another user");
            QVERIFY(::chown(QFile::encodeName(parent).constData(), 65534, 65534) == 0);
        }
        TempWorkspaceManager workspace;
        QVERIFY(!workspace.prepare());
        QVERIFY(QDir(elsewhere.path()).isEmpty());
    }

    void lockHeldByAnotherProcess()
    {
        TempWorkspaceManager workspace;
        QVERIFY(workspace.prepare());
        const QString lockPath = QDir(workspace.workspacePath()).filePath(".kavendru-workspace.lock");
        // Another process cannot take it while we hold it.
        const int code = runInChild([lockPath]() {
            QLockFile other(lockPath);
            return other.tryLock(0) ? 1 : 0;
        });
        QCOMPARE(code, 0);
        workspace.cleanup();
    }

    void lockOfKilledHolderIsTaken()
    {
        TempWorkspaceManager workspace;
        const QString folder = workspace.workspacePath();
        QVERIFY(QDir().mkpath(folder));
        int ready[2];
        QVERIFY(::pipe(ready) == 0);
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            ::close(ready[0]);
            QLockFile lock(QDir(folder).filePath(".kavendru-workspace.lock"));
            const char result = lock.tryLock(0) ? 'y' : 'n';
            if (::write(ready[1], &result, 1) != 1)
                ::_exit(2);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char result = 0;
        QCOMPARE(::read(ready[0], &result, 1), ssize_t(1));
        ::close(ready[0]);
        QCOMPARE(result, 'y');

        // While the holder lives, the workspace is taken.
        QVERIFY(!workspace.prepare());
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        QVERIFY(workspace.prepare());
        workspace.cleanup();
    }

    void oldLockDoesNotRemoveNewOne()
    {
        TempWorkspaceManager workspace;
        QVERIFY(workspace.prepare());
        const QString lockPath = QDir(workspace.workspacePath()).filePath(".kavendru-workspace.lock");
        // Someone removed the folder behind our back.
        QVERIFY(QDir(workspace.workspacePath()).removeRecursively());
        QVERIFY(workspace.cleanup());
        QVERIFY(workspace.prepare());
        QVERIFY(QFileInfo::exists(lockPath));
        const int code = runInChild([lockPath]() {
            QLockFile other(lockPath);
            return other.tryLock(0) ? 1 : 0;
        });
        QCOMPARE(code, 0);
        workspace.cleanup();
    }

    void pathsForCopies_data()
    {
        QTest::addColumn<QString>("vaultPath");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("nested") << "docs/2024/report.pdf" << true;
        QTest::newRow("top level") << "a.txt" << true;
        QTest::newRow("lock file") << ".kavendru-workspace.lock" << false;
        QTest::newRow("lock file other case") << ".Kavendru-Workspace.LOCK" << false;
        QTest::newRow("rmlock") << ".kavendru-workspace.lock.rmlock" << false;
        QTest::newRow("lock name below root") << "sub/.kavendru-workspace.lock" << true;
        QTest::newRow("parent escape") << "../fora.txt" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("dot") << "." << false;
    }

    void pathsForCopies()
    {
        QFETCH(QString, vaultPath);
        QFETCH(bool, allowed);
        TempWorkspaceManager workspace;
        const QString path = workspace.pathForVaultFile(vaultPath);
        QCOMPARE(!path.isEmpty(), allowed);
        if (allowed)
            QCOMPARE(path, QDir(workspace.workspacePath()).filePath(vaultPath));
    }

    void modificationRule_data()
    {
        QTest::addColumn<int>("secondsLater");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("modified");
        QTest::newRow("later, same size") << 5 << QByteArray("v2") << true;
        QTest::newRow("same time, same size") << 0 << QByteArray("v2") << false;
        QTest::newRow("same time, other size") << 0 << QByteArray("conteudo novo") << true;
        // An older version put back with its own time (cp -p, a backup).
        QTest::newRow("earlier, same size") << -5 << QByteArray("v0") << true;
        QTest::newRow("earlier, other size") << -3600 << QByteArray("versao antiga") << true;
    }

    void modificationRule()
    {
        QFETCH(int, secondsLater);
        QFETCH(QByteArray, content);
        QFETCH(bool, modified);
        const QString copy = QDir(temp->path()).filePath("copia.txt");
        QVERIFY(writeWholeFile(copy, "v1"));
        const QDateTime base = QDateTime::currentDateTimeUtc().addSecs(-100);
        setModified(copy, base);
        FileSyncManager sync;
        QVERIFY(sync.track("docs/copia.txt", copy));
        QVERIFY(!sync.isModified("docs/copia.txt"));
        // Content is never read: only the time and the size count.
        QVERIFY(writeWholeFile(copy, content));
        setModified(copy, base.addSecs(secondsLater));
        QCOMPARE(sync.isModified("docs/copia.txt"), modified);
        QCOMPARE(sync.modifiedFiles().size(), modified ? 1 : 0);
        QVERIFY(!sync.isModified("Docs/copia.txt"));
    }

    void trackingRecords()
    {
        const QString copy = QDir(temp->path()).filePath("a.txt");
        FileSyncManager sync;
        QVERIFY(!sync.track("a.txt", copy));
        QVERIFY(!sync.track("a.txt", temp->path()));
        QVERIFY(writeWholeFile(copy, "a"));
        const QDateTime first = QDateTime::currentDateTimeUtc().addSecs(-50);
        setModified(copy, first);
        QVERIFY(sync.track("Docs/a.txt", copy));
        QVERIFY(sync.track("docs/a.txt", copy));
        QCOMPARE(sync.trackedFiles().size(), 2);
        // Tracking again keeps one record, with the later time.
        setModified(copy, first.addSecs(10));
        QVERIFY(sync.track("docs/a.txt", copy));
        QCOMPARE(sync.trackedFiles().size(), 2);
        QVERIFY(!sync.isModified("docs/a.txt"));
        QVERIFY(sync.isModified("Docs/a.txt"));
        // A copy deleted from the workspace is not modified.
        QVERIFY(QFile::remove(copy));
        QVERIFY(!sync.isModified("Docs/a.txt"));
        QVERIFY(sync.modifiedFiles().isEmpty());
        sync.untrack("Docs/a.txt");
        QCOMPARE(sync.trackedFiles().size(), 1);
        sync.clear();
        QVERIFY(sync.trackedFiles().isEmpty());
    }

private:
    static void setModified(const QString& path, const QDateTime& time)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
    }

    std::unique_ptr<QTemporaryDir> temp;
    QString parent;
};

KAVENDRU_TEST_MAIN(WorkspaceTest)
#include "tst_workspace.moc"

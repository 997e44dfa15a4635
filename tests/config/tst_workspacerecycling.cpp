// Recycling the vault program's workspaces in this computer's temporary
// location: what is deleted, what is left alone, a lock held by a running
// vault program, a crashed one's lock, links, and a root that is not ours.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "common/TestSupport.h"

#include <QProcess>
#include <QTest>

#include <sys/inotify.h>
#include <unistd.h>

using namespace ConfigTest;

namespace {

const QString kFirst = QStringLiteral("0d6f3c1e-6a55-4b51-9a0e-3f0c2a1b4c5d");
const QString kSecond = QStringLiteral("5b2e8f9a-1c3d-4e5f-8a9b-0c1d2e3f4a5b");
const QString kThird = QStringLiteral("A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D");

QString workspaceRoot()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).filePath(QStringLiteral("Kavendru"));
}

QString workspace(const QString& name)
{
    return QDir(workspaceRoot()).filePath(name);
}

QString lockOf(const QString& folder)
{
    return QDir(folder).filePath(QStringLiteral(".kavendru-workspace.lock"));
}

// A workspace with decrypted copies in folders, as a vault program leaves it.
bool makeWorkspace(const QString& name)
{
    const QDir folder(workspace(name));
    return QDir().mkpath(folder.filePath(QStringLiteral("docs/2024")))
           && KavendruTest::writeWholeFile(folder.filePath(QStringLiteral("carta.txt")), "segredo")
           && KavendruTest::writeWholeFile(folder.filePath(QStringLiteral("docs/2024/relatorio.pdf")), "%PDF")
           && KavendruTest::writeWholeFile(folder.filePath(QStringLiteral("docs/.oculto")), "x");
}


// The entries in the order recycling meets them.
QStringList listingOrder()
{
    return QDir(workspaceRoot()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
}

// A process that holds a workspace's lock as an unlocked vault program does.
class LockHolder {
public:
    bool start(const QString& lockPath)
    {
        process.start(QStringLiteral(KAVENDRU_LOCK_HOLDER), {lockPath});
        return process.waitForReadyRead(30000) && process.readLine().trimmed() == "locked";
    }
    bool release()
    {
        process.closeWriteChannel();
        return process.waitForFinished(30000) && process.exitCode() == 0;
    }
    // A crash: the lock file stays, naming a process that is gone.
    bool kill()
    {
        process.kill();
        return process.waitForFinished(30000);
    }
    ~LockHolder()
    {
        if (process.state() != QProcess::NotRunning)
            kill();
    }

private:
    QProcess process;
};

struct InotifyEvent {
    quint32 mask;
    QString name;
};

} // namespace

class WorkspaceRecyclingTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        if (QFileInfo(workspaceRoot()).isSymLink())
            QVERIFY(QFile::remove(workspaceRoot()));
        QDir(workspaceRoot()).removeRecursively();
        outside = KavendruTest::makeTempDir();
    }

    void noWorkspaceFolder()
    {
        const QList<SeenBox> boxes = recycleFromTheMenu();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("Kavendru - Gerenciador"));
        QCOMPARE(boxes.first().text, QStringLiteral("Espaço de trabalho reciclado."));
        QCOMPARE(boxes.first().icon, QMessageBox::Information);
        QCOMPARE(boxes.first().buttons, QStringList({QStringLiteral("OK")}));
        QVERIFY(!QFileInfo::exists(workspaceRoot()));
        // Nothing is logged.
        QCOMPARE(logLines, 3);
    }

    void staleWorkspacesGoOthersStay()
    {
        QVERIFY(makeWorkspace(kFirst));
        QVERIFY(makeWorkspace(kSecond));
        QVERIFY(makeWorkspace(kThird)); // upper case digits match too
        LockHolder crashed;
        QVERIFY(crashed.start(lockOf(workspace(kSecond))));
        QVERIFY(crashed.kill());
        QVERIFY(QFileInfo::exists(lockOf(workspace(kSecond))));

        const QDir root(workspaceRoot());
        QVERIFY(KavendruTest::writeWholeFile(root.filePath(QStringLiteral("notas.txt")), "fica"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral(".oculta"))));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("outra"))));
        QVERIFY(QDir().mkpath(root.filePath(QLatin1Char('{') + kFirst + QLatin1Char('}'))));
        QVERIFY(QDir().mkpath(root.filePath(kFirst.left(35))));
        // A link with a workspace's name leads out of the root: left alone.
        const QString target = outside->filePath(QStringLiteral("alvo"));
        QVERIFY(QDir().mkpath(target));
        QVERIFY(KavendruTest::writeWholeFile(QDir(target).filePath(QStringLiteral("valioso.txt")), "meu"));
        QVERIFY(QFile::link(target, root.filePath(QStringLiteral("9f8e7d6c-5b4a-4c3d-9e2f-1a0b9c8d7e6f"))));

        QString error;
        QCOMPARE(recycleKavendruWorkspace(&error), WorkspaceRecycleOutcome::Recycled);
        QVERIFY(error.isEmpty());
        QStringList left{QStringLiteral(".oculta"), QStringLiteral("9f8e7d6c-5b4a-4c3d-9e2f-1a0b9c8d7e6f"),
                         kFirst.left(35), QStringLiteral("notas.txt"), QStringLiteral("outra"),
                         QLatin1Char('{') + kFirst + QLatin1Char('}')};
        left.sort();
        QCOMPARE(QDir(workspaceRoot()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                 left);
        QCOMPARE(treeOf(target), QStringList({QStringLiteral("valioso.txt")}));
    }

    void stopsAtTheFirstHeldLock()
    {
        for (const QString& name : {kFirst, kSecond, kThird})
            QVERIFY(makeWorkspace(name));
        const QStringList order = listingOrder();
        QCOMPARE(order.size(), 3);
        const QStringList before = treeOf(workspaceRoot());

        LockHolder vault;
        QVERIFY(vault.start(lockOf(workspace(order.at(1)))));
        const QList<SeenBox> boxes = recycleFromTheMenu();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().icon, QMessageBox::Warning);
        QCOMPARE(boxes.first().text,
                 QStringLiteral("Para reciclar o espaço de trabalho, bloqueie todos os cofres abertos, feche o "
                                "Kavendru e desmonte as unidades utilizadas. Em seguida, tente novamente."));
        QVERIFY(!QFileInfo::exists(workspace(order.at(0))));
        for (const QString& name : {order.at(1), order.at(2)}) {
            QStringList expected;
            for (const QString& entry : before) {
                if (entry.startsWith(name))
                    expected.append(entry.mid(name.size() + 1));
            }
            expected.removeAll(QString());
            if (name == order.at(1))
                expected.append(QStringLiteral(".kavendru-workspace.lock"));
            expected.sort();
            QCOMPARE(treeOf(workspace(name)), expected);
        }

        // Once the vault is locked and the program closed, the rest goes.
        QVERIFY(vault.release());
        QString error;
        QCOMPARE(recycleKavendruWorkspace(&error), WorkspaceRecycleOutcome::Recycled);
        QVERIFY(listingOrder().isEmpty());
    }

    void linkInsideStopsThere()
    {
        QVERIFY(makeWorkspace(kFirst));
        QVERIFY(makeWorkspace(kSecond));
        const QString first = listingOrder().at(0);
        const QString later = listingOrder().at(1);
        const QString precious = outside->filePath(QStringLiteral("valioso.txt"));
        QVERIFY(KavendruTest::writeWholeFile(precious, "meu"));
        QVERIFY(QFile::link(precious, QDir(workspace(first)).filePath(QStringLiteral("docs/atalho.txt"))));
        const QStringList before = treeOf(workspaceRoot());

        const QList<SeenBox> boxes = recycleFromTheMenu();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().icon, QMessageBox::Warning);
        QCOMPARE(boxes.first().text, QStringLiteral("Não foi possível reciclar o espaço de trabalho."));
        QCOMPARE(treeOf(workspaceRoot()), before);
        QCOMPARE(KavendruTest::readWholeFile(precious), QByteArray("meu"));
        QVERIFY(QFileInfo::exists(workspace(later)));
    }

    void rootThatIsNotOurs_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a link") << "link";
        QTest::newRow("another user's folder") << "owner";
    }

    void rootThatIsNotOurs()
    {
        QFETCH(QString, kind);
        if (kind == QLatin1String("link")) {
            const QString target = outside->filePath(QStringLiteral("Kavendru"));
            QVERIFY(QDir().mkpath(target));
            QVERIFY(QFile::link(target, workspaceRoot()));
        }
        QVERIFY(makeWorkspace(kFirst));
        if (kind == QLatin1String("owner")) {
            if (::geteuid() != 0)
                QSKIP("needs root to give the folder to another user");
            QCOMPARE(::chown(QFile::encodeName(workspaceRoot()).constData(), 65534, 65534), 0);
        }
        const QStringList before = treeOf(workspace(kFirst));
        QString error;
        QCOMPARE(recycleKavendruWorkspace(&error), WorkspaceRecycleOutcome::Failed);
        QCOMPARE(error, QStringLiteral("Não foi possível validar o espaço de trabalho."));
        QCOMPARE(treeOf(workspace(kFirst)), before);
    }

    // The probe lock stays held until the copies are gone: the lock file is
    // made before the first copy is deleted and removed after the last.
    void lockHeldWhileTheCopiesGo()
    {
        QVERIFY(makeWorkspace(kFirst));
        LockHolder crashed;
        QVERIFY(crashed.start(lockOf(workspace(kFirst))));
        QVERIFY(crashed.kill());

        const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(fd >= 0);
        QVERIFY(::inotify_add_watch(fd, QFile::encodeName(workspace(kFirst)).constData(), IN_CREATE | IN_DELETE) >= 0);
        QString error;
        const WorkspaceRecycleOutcome outcome = recycleKavendruWorkspace(&error);
        QList<InotifyEvent> events;
        alignas(inotify_event) char buffer[65536];
        ssize_t count;
        while ((count = ::read(fd, buffer, sizeof buffer)) > 0) {
            for (ssize_t offset = 0; offset < count;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                events.append({event->mask, event->len ? QFile::decodeName(event->name) : QString()});
                offset += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        ::close(fd);
        QCOMPARE(outcome, WorkspaceRecycleOutcome::Recycled);
        QVERIFY(!QFileInfo::exists(workspace(kFirst)));

        const QString lockName = QStringLiteral(".kavendru-workspace.lock");
        qsizetype lockCreated = -1;
        qsizetype lockDeleted = -1;
        qsizetype firstCopyDeleted = -1;
        qsizetype lastCopyDeleted = -1;
        for (qsizetype i = 0; i < events.size(); ++i) {
            const InotifyEvent& event = events.at(i);
            const bool lock = event.name == lockName;
            if ((event.mask & IN_CREATE) && lock)
                lockCreated = i;
            if ((event.mask & IN_DELETE) && lock)
                lockDeleted = i;
            if ((event.mask & IN_DELETE) && (event.name == QLatin1String("carta.txt") || event.name == QLatin1String("docs"))) {
                if (firstCopyDeleted < 0)
                    firstCopyDeleted = i;
                lastCopyDeleted = i;
            }
        }
        QVERIFY(lockCreated >= 0 && firstCopyDeleted >= 0);
        QVERIFY2(lockCreated < firstCopyDeleted, "the probe lock was not held when the copies went");
        QVERIFY2(lockDeleted > lastCopyDeleted, "the probe lock was released before the copies went");
    }

private:
    // "Reciclar espaço de trabalho" from the menu; the box it shows.
    QList<SeenBox> recycleFromTheMenu()
    {
        ConfigWindow window(std::make_unique<FakeDeviceManager>(std::make_shared<QList<UsbDevice>>()));
        ModalDriver driver;
        driver.answerBox(QStringLiteral("OK"));
        window.recycleWorkspaceAction->trigger();
        logLines = lines(window.log->toPlainText()).size();
        return driver.boxes();
    }

    qsizetype logLines = 0;

    std::unique_ptr<QTemporaryDir> outside;
};

KAVENDRU_CONFIG_TEST_MAIN(WorkspaceRecyclingTest)

#include "tst_workspacerecycling.moc"

// Unlocking, locking and creating vaults from the window, as a user does:
// prompts answered, boxes read, the files on the drive afterwards.
#include "MainWindowTestSupport.h"

#include "core/VaultManager.h"

#include <QDir>
#include <QFile>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>

using namespace KavendruTest;
using Kavendru::Core::VaultManager;
using Kavendru::UI::MainWindow;
using Kavendru::UI::MainWindowTestAccess;

namespace {

const QString kPassword = QStringLiteral("senha-do-teste-1");
const QString kWrongPassword = QStringLiteral("Não foi possível desbloquear o cofre. Verifique a senha ou se o container foi alterado.");

QAction* action(MainWindow* window, const QStringList& path)
{
    return menuAction(window, path);
}

QAction* unlockAction(MainWindow* window)
{
    return action(window, {"USB", "Acesso ao cofre", "Desbloquear"});
}

QAction* lockAction(MainWindow* window)
{
    return action(window, {"USB", "Acesso ao cofre", "Bloquear"});
}

QString workspaceFolder()
{
    const QDir base(QDir(QDir::tempPath()).filePath(QStringLiteral("Kavendru")));
    const QStringList folders = base.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return folders.size() == 1 ? base.filePath(folders.first()) : QString();
}

} // namespace

class TestWindowVault : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        // Every case starts without workspaces, so it finds its own.
        QDir(QDir(QDir::tempPath()).filePath(QStringLiteral("Kavendru"))).removeRecursively();
        dir = makeTempDir();
        root = dir->filePath(QStringLiteral("PEN"));
        QVERIFY(QDir().mkpath(root));
        container = QDir(root).filePath(QStringLiteral("kavendru.susb"));
        fixture = std::make_unique<WindowFixture>(QList<UsbDevice>{mountedDrive(root, QStringLiteral("PEN"))});
        window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(window()));
    }
    void cleanup()
    {
        fixture.reset();
        dir.reset();
    }

    // The padlock shows the vault's state after every way an unlock ends.
    void unlockThroughThePadlock_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("unlocked");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("cancelled") << QString() << false << QStringList();
        QTest::newRow("left empty") << QString("") << false << QStringList();
        QTest::newRow("wrong") << QString("senha-errada-123") << false << QStringList({kWrongPassword});
        QTest::newRow("right") << kPassword << true << QStringList();
    }
    void unlockThroughThePadlock()
    {
        QFETCH(QString, answer);
        QFETCH(bool, unlocked);
        QFETCH(QStringList, boxes);
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"docs/a.txt", "a"}, {"b.txt", "b"}}, {"docs"}));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(window(), driver, container, QString()) == false); // prompt cancelled
        QVERIFY(!padlockOf(window())->isChecked());

        if (answer.isNull())
            driver.cancelPrompt();
        else
            driver.answerPassword(answer);
        if (!boxes.isEmpty())
            driver.answerBox(QStringLiteral("OK"));
        padlockOf(window())->click();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.promptTitles().last(), QStringLiteral("Senha do cofre"));
        QCOMPARE(driver.boxTexts(), boxes);
        QCOMPARE(padlockOf(window())->isChecked(), unlocked);
        QCOMPARE(lockAction(window())->isEnabled(), unlocked);
        QCOMPARE(tableNames(window()), unlocked ? QStringList({"docs", "b.txt"}) : QStringList());
        if (unlocked)
            QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Cofre desbloqueado."));
        QCOMPARE(driver.unexpected(), 0);
    }

    void unlockingOpensAtTheRoot()
    {
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"docs/a.txt", "a"}}, {"docs"}));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(window(), driver, container, kPassword));
        doubleClickRow(window(), rowNamed(window(), "docs"));
        QCOMPARE(tableNames(window()), QStringList({"..", "a.txt"}));
        lockAction(window())->trigger();
        QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Cofre bloqueado."));
        QCOMPARE(tableNames(window()), QStringList());
        QVERIFY(labelStartingWith(window(), "Nenhum cofre em uso (aberto)"));
        driver.answerPassword(kPassword);
        unlockAction(window())->trigger();
        QCOMPARE(tableNames(window()), QStringList({"docs"}));
    }

    void createRefusals_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QStringList>("passwords");
        QTest::addColumn<QString>("box");
        const QString place = QStringLiteral(
            "O cofre deve ser criado como arquivo .susb diretamente na raiz da unidade USB selecionada.");
        const QString mismatch = QStringLiteral("As senhas informadas não coincidem.");
        const QString shortText = QStringLiteral("Use uma senha com pelo menos 12 caracteres para criar o cofre.");
        QTest::newRow("in a subfolder") << "sub/kavendru.susb" << QStringList() << place;
        QTest::newRow("without suffix") << "kavendru" << QStringList() << place;
        QTest::newRow(".susb.txt") << "kavendru.susb.txt" << QStringList() << place;
        QTest::newRow("other case of the root") << "<upper>/kavendru.susb" << QStringList() << place;
        QTest::newRow("passwords differ") << "kavendru.susb" << QStringList({"doze-letras-1x", "doze-letras-2x"})
                                          << mismatch;
        QTest::newRow("second prompt cancelled") << "kavendru.susb" << QStringList({"doze-letras-1x", "<cancel>"})
                                                 << mismatch;
        QTest::newRow("11 characters") << "kavendru.susb" << QStringList({"onze-letras", "onze-letras"}) << shortText;
        QTest::newRow("first prompt cancelled") << "kavendru.susb" << QStringList({"<cancel>"}) << QString();
    }
    void createRefusals()
    {
        QFETCH(QString, fileName);
        QFETCH(QStringList, passwords);
        QFETCH(QString, box);
        QVERIFY(QDir(root).mkpath(QStringLiteral("sub")));
        QString chosen = QDir(root).filePath(fileName);
        if (fileName.startsWith(QLatin1String("<upper>"))) {
            const QString upper = dir->filePath(QStringLiteral("pen"));
            QVERIFY(QDir().mkpath(upper));
            chosen = QDir(upper).filePath(QStringLiteral("kavendru.susb"));
        }
        ModalDriver driver;
        driver.answerFile(chosen);
        for (const QString& password : passwords) {
            if (password == QLatin1String("<cancel>"))
                driver.cancelPrompt();
            else
                driver.answerPassword(password);
        }
        if (!box.isEmpty())
            driver.answerBox(QStringLiteral("OK"));
        action(window(), {"USB", "Container", "Criar novo cofre..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.fileDialogStarts().value(0), QDir(root).filePath(QStringLiteral("kavendru.susb")));
        QCOMPARE(driver.boxTexts(), box.isEmpty() ? QStringList() : QStringList({box}));
        QVERIFY(!QFileInfo::exists(chosen));
        QVERIFY(!unlockAction(window())->isEnabled());
        QCOMPARE(driver.unexpected(), 0);
    }

    void createInTheDriveRootThenUnlock()
    {
        ModalDriver driver;
        const QString chosen = QDir(root).filePath(QStringLiteral("COFRE.SUSB"));
        driver.answerFile(chosen);
        driver.answerPassword(QStringLiteral("doze-letras!"));
        driver.answerPassword(QStringLiteral("doze-letras!"));
        action(window(), {"USB", "Container", "Criar novo cofre..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.promptTitles(), QStringList({"Definir senha do cofre", "Confirmar senha do cofre"}));
        QVERIFY(QFileInfo::exists(chosen));
        QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Cofre criado com sucesso."));
        QVERIFY(labelStartingWith(window(), "Container: COFRE.SUSB"));
        QVERIFY(unlockAction(window())->isEnabled());
        QVERIFY(!lockAction(window())->isEnabled());
        QListWidgetItem* current = driveList(window())->currentItem();
        QVERIFY(current);
        QVERIFY(current->font().bold());
        QCOMPARE(driver.unexpected(), 0);

        VaultManager vault;
        QVERIFY(vault.unlockVault(chosen, "doze-letras!"));
        QVERIFY(vault.fileIndex().fileList().isEmpty());
        QVERIFY(vault.lockVault());
    }

    // A chosen file that exists is replaced only after a warning of our own
    // that names it and says what is lost, even after the save dialog's own
    // "Yes"; every answer but "Sim" leaves it byte for byte.
    void createOverAnExistingContainer_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("Return, the default") << "<Return>" << false;
        QTest::newRow("Não") << "Não" << false;
        QTest::newRow("Escape") << "<Escape>" << false;
        QTest::newRow("Sim") << "Sim" << true;
    }
    void createOverAnExistingContainer()
    {
        QFETCH(QString, answer);
        QFETCH(bool, replaced);
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"nota.txt", "guardada"}, {"docs/b.txt", "b"}},
                                    {"docs"}));
        const QByteArray before = readWholeFile(container);
        const QString newPassword = QStringLiteral("uma-senha-nova!");
        ModalDriver driver;
        driver.answerFile(container);
        driver.answerBox(answer);
        if (replaced) {
            driver.answerPassword(newPassword);
            driver.answerPassword(newPassword);
        }
        action(window(), {"USB", "Container", "Criar novo cofre..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.unexpected(), 0);
        QVERIFY(driver.fileDialogReplaceQuestions() <= 1);
        QCOMPARE(driver.boxes().size(), 1);
        const SeenBox box = driver.boxes().first();
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QStringLiteral("Substituir container"));
        QCOMPARE(box.buttons, QStringList({"Sim", "Não"}));
        QCOMPARE(box.defaultButton, QStringLiteral("Não"));
        QVERIFY2(box.shown.startsWith(QStringLiteral("O arquivo %1 já existe.").arg(container)),
                 qPrintable(box.shown));
        QVERIFY(box.shown.contains(QStringLiteral("todos os arquivos protegidos que ele guarda serão perdidos para "
                                                  "sempre")));
        QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), QStringList({"kavendru.susb"}));
        if (!replaced) {
            QCOMPARE(readWholeFile(container), before);
            QVERIFY(driver.promptTitles().isEmpty());
            QVERIFY(!unlockAction(window())->isEnabled());
            return;
        }
        QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Cofre criado com sucesso."));
        VaultManager vault;
        QVERIFY(!vault.unlockVault(container, kPassword.toUtf8()));
        QVERIFY(vault.unlockVault(container, newPassword.toUtf8()));
        QVERIFY(vault.fileIndex().fileList().isEmpty());
        QVERIFY(vault.fileIndex().directoryList().isEmpty());
        QVERIFY(vault.lockVault());
    }

    // The stick has no room for the new container: the one it replaces
    // stays as it was, and nothing is left beside it.
    void failedCreationKeepsTheExistingContainer()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a small tmpfs");
        ScopedTmpfs stick(root, 12 * 1024 * 1024);
        QVERIFY(stick.isMounted());
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"nota.txt", "guardada"}}));
        const QByteArray before = readWholeFile(container);
        ModalDriver driver;
        driver.answerFile(container);
        driver.answerBox(QStringLiteral("Sim"));
        driver.answerPassword(QStringLiteral("uma-senha-nova!"));
        driver.answerPassword(QStringLiteral("uma-senha-nova!"));
        driver.answerBox(QStringLiteral("OK"));
        action(window(), {"USB", "Container", "Criar novo cofre..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.unexpected(), 0);
        QCOMPARE(driver.boxTexts().last(), QStringLiteral("Não foi possível criar o cofre."));
        QCOMPARE(readWholeFile(container), before);
        QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), QStringList({"kavendru.susb"}));
        QVERIFY(window()->statusBar()->currentMessage() != QStringLiteral("Cofre criado com sucesso."));
        VaultManager vault;
        QVERIFY(vault.unlockVault(container, kPassword.toUtf8()));
        QCOMPARE(vault.fileIndex().fileList().size(), 1);
        QVERIFY(vault.lockVault());
    }

    void lockWritesAnEditedCopyBack()
    {
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"nota.txt", "antes"}}));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(window(), driver, container, kPassword));
        QString local;
        QVERIFY(MainWindowTestAccess::openForEditing(*window(), "nota.txt", &local));
        QVERIFY(writeWholeFile(local, "depois da edição"));
        QFile edited(local);
        QVERIFY(edited.open(QIODevice::ReadWrite));
        QVERIFY(edited.setFileTime(QDateTime::currentDateTimeUtc().addSecs(60), QFileDevice::FileModificationTime));
        edited.close();

        lockAction(window())->trigger();
        QCOMPARE(driver.boxTexts(), QStringList());
        QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Cofre bloqueado."));
        QVERIFY(!QFileInfo::exists(local));

        VaultManager vault;
        QVERIFY(vault.unlockVault(container, kPassword.toUtf8()));
        const QString out = dir->filePath(QStringLiteral("saida.txt"));
        QVERIFY(vault.exportFile("nota.txt", out));
        QCOMPARE(readWholeFile(out), QByteArray("depois da edição"));
        QVERIFY(vault.lockVault());
    }

    // A full drive: the edited copy cannot go back, the vault stays open.
    // Neither the lock nor the close says it locked.
    void failedWriteBackIsNotALock()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a small tmpfs");
        ScopedTmpfs stick(root, 8 * 1024 * 1024 + 512 * 1024);
        QVERIFY(stick.isMounted());
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"nota.txt", "antes"}}));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(window(), driver, container, kPassword));
        QString local;
        QVERIFY(MainWindowTestAccess::openForEditing(*window(), "nota.txt", &local));
        QVERIFY(writeWholeFile(local, QByteArray(2 * 1024 * 1024, 'x')));
        QFile edited(local);
        QVERIFY(edited.open(QIODevice::ReadWrite));
        QVERIFY(edited.setFileTime(QDateTime::currentDateTimeUtc().addSecs(60), QFileDevice::FileModificationTime));
        edited.close();

        driver.answerBox(QStringLiteral("OK"));
        lockAction(window())->trigger();
        QCOMPARE(driver.boxTexts(), QStringList({"Não foi possível bloquear o cofre."}));
        QVERIFY(window()->statusBar()->currentMessage() != QStringLiteral("Cofre bloqueado."));
        QVERIFY(lockAction(window())->isEnabled());
        QVERIFY(padlockOf(window())->isChecked());
        QCOMPARE(tableNames(window()), QStringList({"nota.txt"}));
        QVERIFY(QFileInfo::exists(local));

        driver.answerBox(QStringLiteral("OK"));
        QVERIFY(!window()->close());
        QCOMPARE(driver.boxTexts().last(), QStringLiteral("Não foi possível bloquear o cofre."));
        QVERIFY(window()->isVisible());
        QVERIFY(QFileInfo::exists(local));
        QCOMPARE(driver.unexpected(), 0);
        fixture.reset();
    }

    // Locked, but the workspace could not be removed: the close says so,
    // and the window shows a locked vault, not its files.
    void halfFailedLockOnClose()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a mount inside the workspace");
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"nota.txt", "antes"}}));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(window(), driver, container, kPassword));
        const QString workspace = workspaceFolder();
        QVERIFY(!workspace.isEmpty());
        const QString pinned = QDir(workspace).filePath(QStringLiteral("preso"));
        QVERIFY(QDir().mkpath(pinned));
        auto mount = std::make_unique<ScopedTmpfs>(pinned, 1024 * 1024);
        QVERIFY(mount->isMounted());

        driver.answerBox(QStringLiteral("OK"));
        QVERIFY(!window()->close());
        QCOMPARE(driver.boxTexts(), QStringList({"Não foi possível limpar a área temporária."}));
        QCOMPARE(tableNames(window()), QStringList());
        QVERIFY(labelStartingWith(window(), "Nenhum cofre em uso (aberto)"));
        QVERIFY(unlockAction(window())->isEnabled());
        QVERIFY(!padlockOf(window())->isChecked());
        mount.reset();
        QVERIFY(window()->close());
        QCOMPARE(driver.unexpected(), 0);
    }

    // The same from "Bloquear": the warning about the temporary area, then
    // the lock is reported.
    void halfFailedLockFromTheMenu()
    {
        if (!inPrivateMountNamespace())
            QSKIP("needs root for a mount inside the workspace");
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(), {{"nota.txt", "antes"}}));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(window(), driver, container, kPassword));
        const QString pinned = QDir(workspaceFolder()).filePath(QStringLiteral("preso"));
        QVERIFY(QDir().mkpath(pinned));
        ScopedTmpfs mount(pinned, 1024 * 1024);
        QVERIFY(mount.isMounted());
        driver.answerBox(QStringLiteral("OK"));
        lockAction(window())->trigger();
        QCOMPARE(driver.boxTexts(), QStringList({"Não foi possível limpar a área temporária."}));
        QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Cofre bloqueado."));
        QCOMPARE(tableNames(window()), QStringList());
        QVERIFY(unlockAction(window())->isEnabled());
    }

private:
    MainWindow* window() { return fixture->window.get(); }

    std::unique_ptr<QTemporaryDir> dir;
    QString root;
    QString container;
    std::unique_ptr<WindowFixture> fixture;
};

int main(int argc, char* argv[])
{
    UiTestEnvironment environment;
    enterPrivateMountNamespace();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestWindowVault test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windowvault.moc"

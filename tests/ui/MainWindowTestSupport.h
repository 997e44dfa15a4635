#pragma once

#include "UiTestSupport.h"

#include "common/FakeDrives.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QFileDialog>
#include <QInputDialog>
#include <QList>
#include <QListWidget>
#include <QStringList>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <memory>

namespace Kavendru::UI {

// Opens a protected file for editing in the window's vault, as the file
// operations will; the window's own refresh is not involved.
struct MainWindowTestAccess {
    static bool openForEditing(MainWindow& window, const QString& vaultPath, QString* localPath)
    {
        return window.vaultManager.prepareFileForEditing(vaultPath, localPath);
    }
    // The handlers a menu entry reaches, called even when the entry is
    // disabled, as a stale shortcut or a second path to them could.
    static void runFileHandlers(MainWindow& window)
    {
        window.openSelectedFile();
        window.exportSelectedFile();
        window.moveSelectedFile();
        window.renameSelectedFile();
        window.deleteSelectedFile();
    }
    static void runFolderHandlers(MainWindow& window)
    {
        window.renameSelectedDirectory();
        window.deleteSelectedDirectory();
    }
};

} // namespace Kavendru::UI

namespace KavendruTest {

using Kavendru::Platform::UsbDevice;

// A fast vault (PBKDF2, one iteration) at path holding the files (vault
// path -> content) and folders given, written through the vault core.
bool writeVaultWithFiles(const QString& path, const QByteArray& password, const QList<QPair<QString, QByteArray>>& files,
                         const QStringList& folders = {});

// The window with a scripted detector; the test changes drives at will.
struct WindowFixture {
    explicit WindowFixture(const QList<UsbDevice>& initial = {});
    std::shared_ptr<QList<UsbDevice>> drives;
    std::unique_ptr<Kavendru::UI::MainWindow> window;
};

// Deals with the modal widgets that open from now on, one handler each, in
// order. A handler returns false when the modal widget is not its own yet.
// A modal widget nobody expected is recorded (as a box) and closed, so the
// test fails instead of hanging.
class ModalDriver {
public:
    using Handler = std::function<bool(QWidget*)>;

    ModalDriver();
    ModalDriver(const ModalDriver&) = delete;
    ModalDriver& operator=(const ModalDriver&) = delete;

    void onNext(Handler handler);
    // The next message box, answered with the button of that text, or
    // "<Escape>", or "<Return>" (the box's default button).
    void answerBox(const QString& answer);
    // The next text prompt: the text typed and OK, or cancelled when null.
    void answerPassword(const QString& text);
    void cancelPrompt();
    enum class FileAnswer { AsTheUser, ReplaceWithoutAsking };
    // The next file dialog: the path chosen and accepted, or cancelled when
    // empty. A save dialog asks before replacing a file unless told not to;
    // as the user, the test answers that question of the dialog's own with
    // its "Yes".
    void answerFile(const QString& path, FileAnswer how = FileAnswer::AsTheUser);
    // The next file dialog: several files chosen at once; then, if given,
    // what happens to them before the window reads the answer.
    void answerFiles(const QStringList& paths, FileAnswer how = FileAnswer::AsTheUser,
                     std::function<void()> afterAccept = {});

    const QList<SeenBox>& boxes() const { return seen; }
    QStringList boxTexts() const;
    QStringList promptTitles() const { return prompts; }
    QStringList fileDialogStarts() const { return fileStarts; }
    // How often a file dialog asked whether to replace a file.
    int fileDialogReplaceQuestions() const { return replaceQuestions; }
    bool allHandled() const { return pending.isEmpty(); }
    int unexpected() const { return unexpectedCount; }

private:
    void poll();
    bool answerIfBox(QWidget* widget, const QString& answer);

    QTimer timer;
    QList<Handler> pending;
    QList<SeenBox> seen;
    QStringList prompts;
    QStringList fileStarts;
    int unexpectedCount = 0;
    int replaceQuestions = 0;
};

// Picks the container by a double-click on its drive (it must be the
// drive's kavendru.susb) and unlocks it with
// "Desbloquear"; true when the window then shows an unlocked vault.
bool chooseAndUnlock(Kavendru::UI::MainWindow* window, ModalDriver& driver, const QString& containerPath,
                     const QString& password);

// The password of the vaults the window tests write.
inline const QString kTestPassword = QStringLiteral("senha-do-teste-1");

// A drive folder with a vault in its root, and the window that sees it
// (with the other drives given beside it).
struct VaultOnDrive {
    std::unique_ptr<QTemporaryDir> dir = makeTempDir();
    QString root;
    QString container;
    std::unique_ptr<WindowFixture> fixture;
    ModalDriver driver;

    // The vault is written at <root>/<name>; the root is a folder of the
    // fixture's own unless given.
    bool setUp(const QList<QPair<QString, QByteArray>>& files = {}, const QStringList& folders = {},
               const QString& name = QStringLiteral("kavendru.susb"), const QString& driveRoot = QString(),
               const QList<UsbDevice>& otherDrives = {});
    Kavendru::UI::MainWindow* window() { return fixture->window.get(); }
    bool unlock() { return chooseAndUnlock(window(), driver, container, kTestPassword); }
    // Clicks the table row of that name; false without one.
    bool selectRow(const QString& name);
    void trigger(const QString& actionText);
};

// The menu bar's action at a path such as {"USB", "Container", "Criar novo cofre..."}.
QAction* menuAction(QMainWindow* window, const QStringList& path);
// Any action of the window with that text, in a menu or not.
QAction* windowAction(QMainWindow* window, const QString& text);

QListWidget* driveList(QMainWindow* window);
QTableWidget* fileTableOf(QMainWindow* window);
QToolButton* padlockOf(QMainWindow* window);
// The label whose text starts with the prefix (status bar and above the table).
QLabel* labelStartingWith(QMainWindow* window, const QString& prefix);
QLabel* badgeOf(QMainWindow* window);

// Column-1 texts of the file table, top to bottom.
QStringList tableNames(QMainWindow* window);
// Index of the table row whose name is that text, -1 without one.
int rowNamed(QMainWindow* window, const QString& name);
// Clicks a row the way a user does, making it current and selected.
void clickRow(QMainWindow* window, int row);
void doubleClickRow(QMainWindow* window, int row);

} // namespace KavendruTest

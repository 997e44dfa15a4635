#pragma once

#include "core/ContainerManager.h"
#include "core/VaultManager.h"
#include "platform/DeviceManager.h"

#include <QByteArray>
#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QCloseEvent;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPoint;
class QTableWidget;
class QTableWidgetItem;
class QToolButton;

namespace Kavendru::UI {

class OperationProgressDialog;

// The vault program's only window: drive list, file table, menus, padlock
// button and status bar. Closing it locks an unlocked vault.
class MainWindow : public QMainWindow {
public:
    explicit MainWindow(QWidget* parent = nullptr);
    // Test seam: the window uses this drive detector instead of the build's.
    explicit MainWindow(std::unique_ptr<Platform::DeviceManager> detector, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Runs a long operation (import, compaction, backup) behind a progress
    // dialog the user cannot dismiss. While it runs, every handler and the
    // close of the window refuse, so nothing can start on the vault from
    // inside the operation's event processing. Returns what the work
    // returned; false, without running it, while another one runs.
    bool runOperation(const QString& title, const QString& label,
                      const std::function<bool(OperationProgressDialog& progress)>& work);
    bool isOperationRunning() const { return operationRunning; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Test seam: lets a test open a protected file for editing the way the
    // file operations will, to lock over an edited copy.
    friend struct MainWindowTestAccess;

    void buildUi();
    void buildMenus();
    void connectSignals();
    // Connects an action to a handler that runs only while no operation does.
    void connectAction(QAction* action, void (MainWindow::*handler)());

    // True, with a note in the status bar, while a long operation runs; every
    // handler asks it first.
    bool refuseWhileOperationRuns();

    // Status display.
    void updateActions();
    void updateVaultToggleButton();
    void updateStatusBar();
    void updateProtectedFilesLabel();
    void setStatusMessage(const QString& text, int timeoutMilliseconds);

    // What the user picked in the file table (the current row).
    QString selectedVaultPath() const;
    QString selectedDirectoryPath() const;
    bool selectedItemIsDirectory() const;
    bool selectedItemIsParentDirectory() const;

    // File table.
    void refreshVaultFiles();
    void enterSelectedDirectory();
    void navigateToParentDirectory();
    void sortBySection(int section);
    void activateFileRow(QTableWidgetItem* item);
    void showFileTableMenu(const QPoint& position);

    // Drive list and container choice.
    void refreshDevices();
    void selectDefaultUsbAfterRefresh();
    void selectDeviceForContainer(const QString& path);
    void chooseContainer();
    void chooseDriveContainer(QListWidgetItem* item);
    void deviceSelectionChanged();
    int mountedUsbDeviceCount() const;
    QString selectedUsbRootPath() const;
    QString selectedUsbDisplayName() const;

    // Unlock, lock and creation.
    QByteArray requestPassword(const QString& title) const;
    QByteArray requestNewVaultPassword() const;
    void unlockVault();
    void lockVault();
    // Locks the vault and shows what came of it in the table and actions.
    enum class LockOutcome { Locked, LockedWithLeftovers, StillUnlocked };
    LockOutcome lockAndShowState();
    void warnAboutLock(LockOutcome outcome);
    void createVault();
    void toggleVault();

    // The container of the unlocked vault (empty while locked). It can differ
    // from containerPath, which a double-click on a drive may change while a
    // vault is open.
    QString openVaultContainerPath() const { return openContainerPath; }

    // The operations on the vault, in MainWindowOperations.cpp.
    bool confirmImportFitsStorage(const QList<QString>& paths) const;
    bool confirmReplaceVaultFile(const QString& vaultPath) const;
    bool confirmExportOutsideVault(const QString& vaultPath) const;
    bool confirmDeleteVaultFile(const QString& vaultPath) const;
    bool confirmCompactVault() const;
    // Asks a new name for an item of the folder parent: the new vault path,
    // or empty when the user cancelled, kept the name or was told why not.
    QString askNewItemPath(const QString& title, const QString& label, const QString& currentName,
                           const QString& parent, const QString& invalidNameText);
    void backupContainer();
    void changeVaultPassword();
    void importFiles();
    void exportSelectedFile();
    void openSelectedFile();
    void moveSelectedFile();
    void renameSelectedFile();
    void deleteSelectedFile();
    void createDirectory();
    void renameSelectedDirectory();
    void deleteSelectedDirectory();
    void compactVault();
    void showHelp();
    void openWebsite();
    void showAbout();

    std::unique_ptr<Platform::DeviceManager> deviceManager;
    Core::ContainerManager containerManager;
    Core::VaultManager vaultManager;
    QString containerPath;
    QString currentDirectory;
    int sortColumn = 1;
    Qt::SortOrder sortOrder = Qt::AscendingOrder;
    QListWidget* deviceList = nullptr;
    QTableWidget* fileTable = nullptr;
    QLabel* protectedFilesLabel = nullptr;
    QLabel* containerLabel = nullptr;
    QLabel* versionLabel = nullptr;
    QLabel* dateLabel = nullptr;
    QLabel* vaultStateLabel = nullptr;
    QToolButton* vaultToggleButton = nullptr;
    QAction* quitAction = nullptr;
    QAction* refreshDevicesAction = nullptr;
    QAction* chooseContainerAction = nullptr;
    QAction* createVaultAction = nullptr;
    QAction* backupContainerAction = nullptr;
    QAction* changePasswordAction = nullptr;
    QAction* unlockVaultAction = nullptr;
    QAction* lockVaultAction = nullptr;
    QAction* importFilesAction = nullptr;
    QAction* exportFileAction = nullptr;
    QAction* openFileAction = nullptr;
    QAction* moveFileAction = nullptr;
    QAction* renameFileAction = nullptr;
    QAction* deleteFileAction = nullptr;
    QAction* createDirectoryAction = nullptr;
    QAction* renameDirectoryAction = nullptr;
    QAction* deleteDirectoryAction = nullptr;
    QAction* compactVaultAction = nullptr;
    QAction* helpAction = nullptr;
    QAction* websiteAction = nullptr;
    QAction* aboutAction = nullptr;

    QString openContainerPath;
    bool operationRunning = false;
};

} // namespace Kavendru::UI

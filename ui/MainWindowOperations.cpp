#include "MainWindow.h"

namespace Kavendru::UI {

void MainWindow::backupContainer() {}

void MainWindow::changeVaultPassword() {}

void MainWindow::importFiles() {}

void MainWindow::exportSelectedFile() {}

void MainWindow::openSelectedFile() {}

void MainWindow::moveSelectedFile() {}

void MainWindow::renameSelectedFile() {}

void MainWindow::deleteSelectedFile() {}

void MainWindow::createDirectory() {}

void MainWindow::renameSelectedDirectory() {}

void MainWindow::deleteSelectedDirectory() {}

void MainWindow::compactVault() {}

void MainWindow::showHelp() {}

void MainWindow::openWebsite() {}

void MainWindow::showAbout() {}

} // namespace Kavendru::UI

// The main window's operations on the vault: import, file and folder
// operations, compaction, backup, password change, about and help.

#include "MainWindow.h"

#include "AboutDialog.h"
#include "ChangePasswordDialog.h"
#include "ContainerBackup.h"
#include "HelpDialog.h"
#include "MainWindowSupport.h"
#include "OperationProgressDialog.h"

#include "core/FileIdentity.h"
#include "core/VaultPaths.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace Kavendru::UI {

namespace {

QString normalizedVaultPath(QString path)
{
    return Core::VaultPaths::normalizedVaultPath(std::move(path));
}

QString joinVaultPath(const QString& directory, const QString& name)
{
    if (directory.isEmpty())
        return normalizedVaultPath(name);
    return normalizedVaultPath(directory + QLatin1Char('/') + name);
}

bool isValidVaultName(const QString& name)
{
    const QString trimmed = name.trimmed();
    return !trimmed.isEmpty() && !trimmed.contains(QLatin1Char('/')) && !trimmed.contains(QLatin1Char('\\'))
           && trimmed != QLatin1String(".") && trimmed != QLatin1String("..");
}

bool fileIndexContainsFilePath(const Core::SecureFileIndex& index, const QString& vaultPath)
{
    return Core::VaultPaths::indexContainsFilePath(index, vaultPath);
}

bool fileIndexContainsDirectoryPath(const Core::SecureFileIndex& index, const QString& path)
{
    return Core::VaultPaths::indexContainsDirectoryPath(index, path);
}

// Where an export starts: the user's documents, else the home folder. Never
// the working folder, which is the program's own folder on the stick when a
// launcher started it: a decrypted copy must not land there by one click.
QString exportFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return documents;
    if (QFileInfo(QDir::homePath()).isDir())
        return QDir::homePath();
    return QDir::rootPath();
}

// Whether a path chosen by the user names the container itself, by any
// spelling: a link, a second mount, another letter case.
bool isContainerItself(const QString& chosenPath, const QString& container)
{
    if (container.isEmpty())
        return false;
    if (QFileInfo(chosenPath).absoluteFilePath() == QFileInfo(container).absoluteFilePath())
        return true;
    return Core::sameFile(chosenPath, container);
}

} // namespace

// ---- Import -------------------------------------------------------------

bool MainWindow::confirmReplaceVaultFile(const QString& vaultPath) const
{
    return questionYesNo(const_cast<MainWindow*>(this), tr("Substituir arquivo"),
                         tr("%1 já existe no cofre. Deseja substituir o arquivo protegido?").arg(vaultPath));
}

bool MainWindow::confirmImportFitsStorage(const QList<QString>& paths) const
{
    // The open vault's container, not the one the window would choose now:
    // a double-click on another drive changes containerPath meanwhile.
    const QString container = openVaultContainerPath();
    if (paths.isEmpty() || container.isEmpty())
        return false;

    qint64 total = 0;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.exists() || !info.isFile()) {
            showWarning(nullptr, tr("Importar arquivos"),
                        tr("O arquivo %1 não está disponível para importação.").arg(info.fileName()));
            return false;
        }
        total += info.size();
    }

    const QStorageInfo volume(QFileInfo(container).absolutePath());
    if (!volume.isValid() || !volume.isReady()) {
        QMessageBox::warning(nullptr, tr("Importar arquivos"),
                             tr("Não foi possível verificar o espaço livre da unidade do container."));
        return false;
    }
    const qint64 needed = static_cast<qint64>(static_cast<double>(total) * 1.05) + 16777216;
    const qint64 available = volume.bytesAvailable();
    if (needed > available) {
        QMessageBox::warning(nullptr, tr("Espaço insuficiente"),
                             tr("Não há espaço livre suficiente na unidade do container.\n\n"
                                "Arquivos selecionados: %1\nEspaço livre disponível: %2\n\n"
                                "Libere espaço na unidade USB ou selecione arquivos menores.")
                                 .arg(formatFileSize(total), formatFileSize(available)));
        return false;
    }
    const qint64 left = available - needed;
    if (left <= 134217727) {
        return questionYesNo(const_cast<MainWindow*>(this), tr("Espaço livre reduzido"),
                             tr("A importação deixará pouco espaço livre na unidade do container.\n\n"
                                "Arquivos selecionados: %1\nEspaço livre restante estimado: %2\n\n"
                                "Deseja continuar?")
                                 .arg(formatFileSize(total), formatFileSize(left)));
    }
    return true;
}

void MainWindow::importFiles()
{
    const QStringList selected = QFileDialog::getOpenFileNames(this, tr("Importar arquivos para o cofre"));
    if (selected.isEmpty())
        return;
    if (!confirmImportFitsStorage(selected))
        return;

    const QString speedNote = tr("A velocidade depende da taxa de leitura e escrita da unidade USB.\n"
                                 "Dispositivos USB 3 ou superiores tendem a ser mais rápidos.");
    int imported = 0;
    runOperation(tr("Importar arquivos"), tr("Importando arquivos para o cofre...\n\n%1").arg(speedNote),
                 [&](OperationProgressDialog& progress) {
                     for (const QString& source : selected) {
                         const QString name = QFileInfo(source).fileName();
                         const QString target = joinVaultPath(currentDirectory, name);
                         progress.setValue(0);
                         progress.setLabelText(tr("Importando %1...\n\n%2").arg(vaultBaseName(target), speedNote));
                         QCoreApplication::processEvents();

                         // Its open copy would be written back over the new content at
                         // lock; the core refuses too.
                         if (vaultManager.isOpenForEditing(target)) {
                             showWarning(
                                 this, tr("Substituir arquivo"),
                                 tr("%1 está aberto para edição e não pode ser substituído agora.\n\nBloqueie o cofre "
                                    "com Bloquear: a cópia aberta é gravada de volta no cofre primeiro. Depois "
                                    "desbloqueie o cofre e importe o arquivo de novo.")
                                     .arg(target));
                             continue;
                         }
                         if (!target.isEmpty() && fileIndexContainsFilePath(vaultManager.fileIndex(), target)
                             && !confirmReplaceVaultFile(target))
                             continue;

                         const auto callback = [&progress, &speedNote](qint64 done, qint64 total, const QString& label) {
                             progress.step(done, total,
                                           tr("Importando %1...\n%2 de %3\n\n%4")
                                               .arg(label, formatFileSize(done), formatFileSize(total), speedNote));
                         };
                         // The core refuses the open container as its own source and
                         // a target that is a folder; those are reported, not counted.
                         if (vaultManager.importFile(source, target, callback))
                             ++imported;
                         else
                             showWarning(this, tr("Kavendru"), tr("Não foi possível importar %1.").arg(name));
                     }
                     return true;
                 });
    refreshVaultFiles();
    refreshDevices();
    setStatusMessage(imported == 1 ? tr("Arquivo importado com sucesso.")
                                   : tr("%1 arquivos importados com sucesso.").arg(imported),
                     kStatusTimeout);
}

// ---- File operations ------------------------------------------------------

bool MainWindow::confirmExportOutsideVault(const QString& vaultPath) const
{
    return questionContinueCancel(const_cast<MainWindow*>(this), tr("Exportar arquivo"),
                                  tr("Exportar %1 criará uma cópia descriptografada fora do cofre. Alterações feitas "
                                     "nessa cópia não voltam automaticamente para o Kavendru.")
                                      .arg(vaultPath));
}

bool MainWindow::confirmDeleteVaultFile(const QString& vaultPath) const
{
    QString text = tr("Excluir %1 removerá o arquivo da lista do cofre.\n\nOs dados físicos só serão liberados "
                      "do container após executar Compactar cofre.")
                       .arg(vaultPath);
    // Its edits would otherwise vanish without a word: the lock no longer
    // writes a deleted file's copy back.
    if (vaultManager.isOpenForEditing(vaultPath))
        text += tr("\n\nO arquivo está aberto para edição: a cópia aberta será apagada deste computador e as "
                   "alterações feitas nela não voltarão ao cofre.");
    return questionYesNo(const_cast<MainWindow*>(this), tr("Excluir arquivo"), text);
}

void MainWindow::openSelectedFile()
{
    const QString vaultPath = selectedVaultPath();
    if (vaultPath.isEmpty())
        return;
    QString localPath;
    if (!vaultManager.prepareFileForEditing(vaultPath, &localPath)) {
        QMessageBox::warning(this, tr("Kavendru"), tr("Não foi possível preparar o arquivo para edição."));
        return;
    }
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(localPath))) {
        setStatusMessage(tr("Arquivo aberto para edição."), kStatusTimeout);
    } else {
        QMessageBox::warning(this, tr("Kavendru"), tr("Não foi possível abrir o arquivo no aplicativo padrão."));
        setStatusMessage(tr("Falha ao abrir o arquivo."), kStatusTimeout);
    }
}

void MainWindow::exportSelectedFile()
{
    const QString vaultPath = selectedVaultPath();
    if (vaultPath.isEmpty())
        return;
    if (!confirmExportOutsideVault(vaultPath))
        return;
    const QString proposed = QDir(exportFolder()).filePath(vaultBaseName(vaultPath));
    const QString destination = QFileDialog::getSaveFileName(this, tr("Exportar arquivo"), proposed);
    if (destination.isEmpty())
        return;
    // Writing the decrypted copy over the container would destroy the vault.
    if (isContainerItself(destination, openVaultContainerPath())) {
        QMessageBox::warning(this, tr("Exportar arquivo"), tr("Escolha um destino diferente do container original."));
        return;
    }
    if (vaultManager.exportFile(vaultPath, destination)) {
        setStatusMessage(tr("Arquivo exportado com sucesso."), kStatusTimeout);
    } else {
        QMessageBox::warning(this, tr("Kavendru"), tr("Não foi possível exportar o arquivo."));
        setStatusMessage(tr("Falha ao exportar o arquivo."), kStatusTimeout);
    }
}

void MainWindow::moveSelectedFile()
{
    const QString vaultPath = selectedVaultPath();
    if (vaultPath.isEmpty())
        return;
    const QString parent = parentVaultPath(vaultPath);

    QList<QPair<QString, QString>> destinations;
    if (!parent.isEmpty())
        destinations.append({tr("Raiz"), QString()});
    QList<Core::VaultDirectoryEntry> folders = vaultManager.fileIndex().directories();
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
        return QString::compare(a.path, b.path, Qt::CaseInsensitive) < 0;
    });
    for (const auto& folder : folders) {
        if (QString::compare(folder.path, parent, Qt::CaseInsensitive) == 0)
            continue;
        destinations.append({folder.path, folder.path});
    }
    if (destinations.isEmpty()) {
        QMessageBox::information(this, tr("Mover arquivo"),
                                 tr("Não há outra pasta disponível para receber este arquivo."));
        return;
    }

    QDialog dialog(this);
    dialog.setWindowTitle(tr("Mover arquivo"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(plainTextLabel(tr("Mover %1 para:").arg(vaultBaseName(vaultPath)), &dialog));
    auto* combo = new QComboBox(&dialog);
    for (const auto& destination : destinations)
        combo->addItem(destination.first, destination.second);
    combo->setCurrentIndex(0);
    layout->addWidget(combo);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Mover"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("Cancelar"));
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;

    const QString targetFolder = combo->currentData(Qt::UserRole).toString();
    const QString newPath = joinVaultPath(targetFolder, vaultBaseName(vaultPath));
    const Core::SecureFileIndex index = vaultManager.fileIndex();
    if (fileIndexContainsFilePath(index, newPath) || fileIndexContainsDirectoryPath(index, newPath)) {
        QMessageBox::warning(this, tr("Mover arquivo"), tr("Já existe um item com esse nome na pasta de destino."));
        return;
    }
    if (!vaultManager.moveFile(vaultPath, targetFolder)) {
        QMessageBox::warning(this, tr("Mover arquivo"),
                             tr("Não foi possível mover o arquivo. Se ele estiver aberto para edição, bloqueie o "
                                "cofre com Bloquear: a cópia aberta é gravada de volta no cofre. Depois desbloqueie o "
                                "cofre e tente novamente."));
        return;
    }
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Arquivo movido."), kStatusTimeout);
}

QString MainWindow::askNewItemPath(const QString& title, const QString& label, const QString& currentName,
                                   const QString& parent, const QString& invalidNameText)
{
    bool accepted = false;
    const QString answer =
        QInputDialog::getText(this, title, label, QLineEdit::Normal, currentName, &accepted).trimmed();
    if (!accepted || answer.isEmpty() || answer == currentName)
        return QString();
    if (!isValidVaultName(answer)) {
        QMessageBox::warning(this, title, invalidNameText);
        return QString();
    }
    const QString newPath = joinVaultPath(parent, answer);
    const Core::SecureFileIndex index = vaultManager.fileIndex();
    if (fileIndexContainsDirectoryPath(index, newPath) || fileIndexContainsFilePath(index, newPath)) {
        QMessageBox::warning(this, title, tr("Já existe um item com esse nome nesta pasta."));
        return QString();
    }
    return newPath;
}

void MainWindow::renameSelectedFile()
{
    const QString vaultPath = selectedVaultPath();
    if (vaultPath.isEmpty())
        return;
    const QString newPath =
        askNewItemPath(tr("Renomear arquivo"), tr("Novo nome:"), vaultBaseName(vaultPath), parentVaultPath(vaultPath),
                       tr("Use um nome de arquivo simples, sem barras, pontos isolados ou caminho relativo."));
    if (newPath.isEmpty())
        return;
    if (!vaultManager.renameFile(vaultPath, newPath)) {
        QMessageBox::warning(this, tr("Renomear arquivo"),
                             tr("Não foi possível renomear o arquivo. Se ele estiver aberto para edição, bloqueie "
                                "o cofre com Bloquear: a cópia aberta é gravada de volta no cofre. Depois desbloqueie "
                                "o cofre e tente novamente."));
        return;
    }
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Arquivo renomeado."), kStatusTimeout);
}

void MainWindow::deleteSelectedFile()
{
    const QString vaultPath = selectedVaultPath();
    if (vaultPath.isEmpty())
        return;
    if (!confirmDeleteVaultFile(vaultPath))
        return;
    if (!vaultManager.deleteFile(vaultPath)) {
        QMessageBox::warning(this, tr("Kavendru"), tr("Não foi possível excluir o arquivo do cofre."));
        setStatusMessage(tr("Falha ao excluir o arquivo."), kStatusTimeout);
        return;
    }
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Arquivo excluído do cofre."), kStatusTimeout);
}

// ---- Folder operations ----------------------------------------------------

void MainWindow::createDirectory()
{
    const QString newPath = askNewItemPath(tr("Nova pasta"), tr("Nome da pasta:"), QString(), currentDirectory,
                                           tr("Use um nome de pasta simples, sem barras, pontos isolados ou caminho "
                                              "relativo."));
    if (newPath.isEmpty())
        return;
    if (!vaultManager.createDirectory(newPath)) {
        QMessageBox::warning(this, tr("Nova pasta"), tr("Não foi possível criar a pasta."));
        return;
    }
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Pasta criada."), kStatusTimeout);
}

void MainWindow::renameSelectedDirectory()
{
    const QString path = selectedDirectoryPath();
    if (path.isEmpty() || selectedItemIsParentDirectory())
        return;
    const QString newPath =
        askNewItemPath(tr("Renomear pasta"), tr("Novo nome:"), vaultBaseName(path), parentVaultPath(path),
                       tr("Use um nome de pasta simples, sem barras, pontos isolados ou caminho relativo."));
    if (newPath.isEmpty())
        return;
    if (!vaultManager.renameDirectory(path, newPath)) {
        QMessageBox::warning(this, tr("Renomear pasta"),
                             tr("Não foi possível renomear a pasta. Se houver arquivos dela abertos para edição, "
                                "bloqueie o cofre com Bloquear: as cópias abertas são gravadas de volta no cofre. "
                                "Depois desbloqueie o cofre e tente novamente."));
        return;
    }
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Pasta renomeada."), kStatusTimeout);
}

void MainWindow::deleteSelectedDirectory()
{
    const QString path = selectedDirectoryPath();
    if (path.isEmpty() || selectedItemIsParentDirectory())
        return;
    if (!questionYesNo(this, tr("Excluir pasta"), tr("Excluir a pasta vazia %1?").arg(path)))
        return;
    if (!vaultManager.deleteDirectory(path)) {
        QMessageBox::warning(this, tr("Excluir pasta"), tr("A pasta não está vazia ou não pode ser excluída."));
        return;
    }
    refreshVaultFiles();
    updateActions();
    setStatusMessage(tr("Pasta excluída."), kStatusTimeout);
}

// ---- Compaction and backup --------------------------------------------------

bool MainWindow::confirmCompactVault() const
{
    return questionYesNo(const_cast<MainWindow*>(this), tr("Compactar cofre"),
                         tr("A compactação reconstruirá o container removendo fisicamente dados de arquivos já "
                            "excluídos.\n\nDurante a operação, será criado temporariamente um container criptografado "
                            "no disco local. Nenhum arquivo descriptografado será gravado fora do cofre.\n\n"
                            "Deseja continuar?"));
}

void MainWindow::compactVault()
{
    if (!confirmCompactVault())
        return;
    QString preservedContainerPath;
    const bool compacted = runOperation(
        tr("Compactar cofre"),
        tr("Compactando o cofre...\n\nSerá criado temporariamente um container criptografado no disco local."),
        [&](OperationProgressDialog& progress) {
            return vaultManager.compactVault(
                [&progress](qint64 done, qint64 total, const QString& label) {
                    progress.step(done, total,
                                  tr("%1...\n%2 de %3").arg(label, formatFileSize(done), formatFileSize(total)));
                },
                &preservedContainerPath);
        });
    if (compacted) {
        refreshVaultFiles();
        refreshDevices();
        updateActions();
        setStatusMessage(tr("Cofre compactado com sucesso."), kStatusTimeout);
        QMessageBox::information(this, tr("Compactar cofre"), tr("Cofre compactado com sucesso."));
        return;
    }
    if (!preservedContainerPath.isEmpty()) {
        showWarning(this, tr("Compactar cofre"),
                    tr("Não foi possível substituir o container no USB.\n\nUm container compactado "
                       "criptografado foi preservado em:\n%1")
                        .arg(preservedContainerPath));
    } else {
        QMessageBox::warning(this, tr("Compactar cofre"), tr("Não foi possível compactar o cofre."));
    }
    setStatusMessage(tr("Falha ao compactar o cofre."), kStatusTimeout);
}

void MainWindow::backupContainer()
{
    if (containerPath.isEmpty()) {
        QMessageBox::information(this, tr("Kavendru"), tr("Selecione um container primeiro."));
        return;
    }
    if (vaultManager.state() != Core::VaultManager::Locked) {
        QMessageBox::information(this, tr("Kavendru"), tr("Bloqueie o cofre antes de fazer o backup."));
        return;
    }
    const QString container = containerPath;
    const QFileInfo containerInfo(container);
    if (!containerInfo.exists() || !containerInfo.isFile()) {
        QMessageBox::warning(this, tr("Fazer backup"), tr("O arquivo do container não foi encontrado."));
        return;
    }
    const QString defaultName = QStringLiteral("kavendru_backup_%1.susb")
                                    .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HHmm")));
    const QString destination =
        QFileDialog::getSaveFileName(this, tr("Fazer backup do container"), QDir(QDir::homePath()).filePath(defaultName),
                                     tr("Kavendru Container (*.susb);;Todos os arquivos (*.*)"));
    if (destination.isEmpty())
        return;
    // Opening the container itself for writing would truncate it.
    if (isContainerItself(destination, container)) {
        QMessageBox::warning(this, tr("Fazer backup"), tr("Escolha um destino diferente do container original."));
        return;
    }

    BackupResult result = BackupResult::CopyFailed;
    runOperation(tr("Fazer backup"),
                 tr("Copiando backup criptografado...\n\nO backup permanece protegido pela senha do cofre."),
                 [&](OperationProgressDialog& progress) {
                     result = copyContainerBackup(container, destination, [&progress](qint64 done, qint64 total) {
                         progress.step(done, total,
                                       tr("Copiando backup criptografado...\n%1 de %2")
                                           .arg(formatFileSize(done), formatFileSize(total)));
                     });
                     return result == BackupResult::Copied;
                 });
    switch (result) {
    case BackupResult::Copied:
        setStatusMessage(tr("Backup do container concluído."), kStatusTimeout);
        QMessageBox::information(this, tr("Fazer backup"),
                                 tr("Backup concluído com sucesso.\n\nO arquivo de backup é uma cópia criptografada do "
                                    "container e permanece protegido pela senha do cofre."));
        return;
    case BackupResult::SourceOpenFailed:
        QMessageBox::warning(this, tr("Fazer backup"), tr("Não foi possível abrir o container para backup."));
        return;
    case BackupResult::DestinationOpenFailed:
        QMessageBox::warning(this, tr("Fazer backup"), tr("Não foi possível criar o arquivo de backup."));
        return;
    case BackupResult::CopyFailed:
        break;
    }
    QMessageBox::warning(this, tr("Fazer backup"), tr("Não foi possível concluir o backup."));
    setStatusMessage(tr("Falha ao fazer backup do container."), kStatusTimeout);
}

// ---- Password change ----------------------------------------------------------

void MainWindow::changeVaultPassword()
{
    if (containerPath.isEmpty()) {
        QMessageBox::information(this, tr("Kavendru"), tr("Selecione um container primeiro."));
        return;
    }
    if (vaultManager.state() == Core::VaultManager::Unlocked) {
        QMessageBox::information(this, tr("Kavendru"), tr("Bloqueie o cofre antes de alterar a senha."));
        return;
    }
    QByteArray currentPassword;
    QByteArray newPassword;
    {
        ChangePasswordDialog dialog(this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        currentPassword = dialog.currentPassword();
        newPassword = dialog.newPassword();
    }
    const bool changed = vaultManager.changePassword(containerPath, currentPassword, newPassword);
    wipe(currentPassword);
    wipe(newPassword);
    if (changed) {
        setStatusMessage(tr("Senha alterada com sucesso."), kStatusTimeout);
        QMessageBox::information(this, tr("Kavendru"), tr("Senha alterada com sucesso."));
        return;
    }
    QMessageBox::warning(this, tr("Kavendru"),
                         tr("Não foi possível alterar a senha. Verifique a senha atual e tente novamente."));
    setStatusMessage(tr("Falha ao alterar a senha."), kStatusTimeout);
}

// ---- About and help -------------------------------------------------------------

void MainWindow::showHelp()
{
    HelpDialog dialog(this);
    dialog.exec();
}

void MainWindow::openWebsite()
{
    // Nothing to tell the user when no browser takes the address.
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kMakerPageUrl)));
}

void MainWindow::showAbout()
{
    AboutDialog dialog(this);
    dialog.exec();
}

} // namespace Kavendru::UI

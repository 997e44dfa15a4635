#include "MainWindowTestSupport.h"

#include "core/VaultManager.h"
#include "core/VaultFixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>

namespace KavendruTest {

bool writeVaultWithFiles(const QString& path, const QByteArray& password, const QList<QPair<QString, QByteArray>>& files,
                         const QStringList& folders)
{
    if (!writeFastVault(path, password))
        return false;
    const auto source = makeTempDir();
    Kavendru::Core::VaultManager vault;
    if (!vault.unlockVault(path, password))
        return false;
    for (const QString& folder : folders) {
        if (!vault.createDirectory(folder))
            return false;
    }
    int count = 0;
    for (const auto& [vaultPath, content] : files) {
        const QString local = source->filePath(QString::number(count++));
        if (!writeWholeFile(local, content) || !vault.importFile(local, vaultPath))
            return false;
    }
    return vault.lockVault();
}

bool chooseAndUnlock(Kavendru::UI::MainWindow* window, ModalDriver& driver, const QString& containerPath,
                     const QString& password)
{
    // The drive whose root holds the container, double-clicked.
    QListWidget* list = driveList(window);
    const QString root = QFileInfo(containerPath).absolutePath();
    QListWidgetItem* drive = nullptr;
    for (int row = 0; row < list->count(); ++row) {
        if (QFileInfo(list->item(row)->data(Qt::UserRole).toString()).absoluteFilePath() == root)
            drive = list->item(row);
    }
    if (!drive)
        return false;
    const QRect rect = list->visualItemRect(drive);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
    driver.answerPassword(password);
    QAction* unlock = menuAction(window, {QStringLiteral("USB"), QStringLiteral("Acesso ao cofre"), QStringLiteral("Desbloquear")});
    if (!unlock->isEnabled())
        return false;
    unlock->trigger();
    QAction* lock = menuAction(window, {QStringLiteral("USB"), QStringLiteral("Acesso ao cofre"), QStringLiteral("Bloquear")});
    return driver.allHandled() && lock->isEnabled();
}

bool VaultOnDrive::selectRow(const QString& name)
{
    const int row = rowNamed(window(), name);
    if (row < 0)
        return false;
    clickRow(window(), row);
    return true;
}

void VaultOnDrive::trigger(const QString& actionText)
{
    windowAction(window(), actionText)->trigger();
}

bool VaultOnDrive::setUp(const QList<QPair<QString, QByteArray>>& files, const QStringList& folders,
                         const QString& name, const QString& driveRoot, const QList<UsbDevice>& otherDrives)
{
    root = driveRoot.isEmpty() ? dir->filePath(QStringLiteral("PEN")) : driveRoot;
    container = QDir(root).filePath(name);
    if (!QDir().mkpath(root) || !writeVaultWithFiles(container, kTestPassword.toUtf8(), files, folders))
        return false;
    fixture = std::make_unique<WindowFixture>(QList<UsbDevice>{mountedDrive(root, QStringLiteral("PEN"))} + otherDrives);
    window()->show();
    return QTest::qWaitForWindowExposed(window());
}

WindowFixture::WindowFixture(const QList<UsbDevice>& initial)
    : drives(std::make_shared<QList<UsbDevice>>(initial))
    , window(std::make_unique<Kavendru::UI::MainWindow>(std::make_unique<FakeDeviceManager>(drives)))
{
}

ModalDriver::ModalDriver()
{
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
    timer.start();
}

void ModalDriver::onNext(Handler handler)
{
    pending.append(std::move(handler));
}

void ModalDriver::answerBox(const QString& answer)
{
    onNext([this, answer](QWidget* widget) { return answerIfBox(widget, answer); });
}

void ModalDriver::answerPassword(const QString& text)
{
    onNext([this, text](QWidget* widget) {
        auto* prompt = qobject_cast<QInputDialog*>(widget);
        if (!prompt || !prompt->isVisible())
            return false;
        prompts.append(prompt->windowTitle());
        if (text.isNull()) {
            prompt->reject();
        } else {
            prompt->setTextValue(text);
            prompt->accept();
        }
        return true;
    });
}

void ModalDriver::cancelPrompt()
{
    answerPassword(QString());
}

void ModalDriver::answerFile(const QString& path, FileAnswer how)
{
    answerFiles(path.isEmpty() ? QStringList() : QStringList{path}, how);
}

void ModalDriver::answerFiles(const QStringList& paths, FileAnswer how, std::function<void()> afterAccept)
{
    auto tries = std::make_shared<int>(0);
    onNext([this, paths, how, tries, afterAccept](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        if (!dialog || !dialog->isVisible())
            return false;
        if (*tries == 0)
            fileStarts.append(dialog->selectedFiles().value(0));
        if (paths.isEmpty()) {
            dialog->reject();
            return true;
        }
        if (how == FileAnswer::ReplaceWithoutAsking)
            dialog->setOption(QFileDialog::DontConfirmOverwrite);
        // Several files are typed quoted, from the folder of the first.
        QString typed = paths.first();
        if (paths.size() > 1) {
            dialog->setDirectory(QFileInfo(paths.first()).absolutePath());
            QStringList quoted;
            for (const QString& path : paths)
                quoted.append(QLatin1Char('"') + path + QLatin1Char('"'));
            typed = quoted.join(QLatin1Char(' '));
        }
        // selectFile() leaves a focused name field alone, so the path is
        // typed into it; the dialog reads its folder in the background and
        // may refuse a path until it has: try again at the next look.
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(typed);
        else
            dialog->selectFile(typed);
        // The dialog's own replace question runs inside accept().
        QTimer replace;
        replace.setInterval(10);
        QObject::connect(&replace, &QTimer::timeout, [this, dialog] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QAbstractButton* yes = box ? box->button(QMessageBox::Yes) : nullptr;
            if (!yes || !box->isVisible() || box->parentWidget() != dialog)
                return;
            ++replaceQuestions;
            yes->click();
        });
        replace.start();
        static_cast<QDialog*>(dialog)->accept();
        replace.stop();
        if (!dialog->isVisible()) {
            if (afterAccept)
                afterAccept();
            return true;
        }
        if (++*tries < 200)
            return false;
        fileStarts.append(QStringLiteral("<refused: %1>").arg(typed));
        ++unexpectedCount;
        dialog->reject();
        return true;
    });
}

QStringList ModalDriver::boxTexts() const
{
    QStringList texts;
    for (const SeenBox& box : seen)
        texts.append(box.text);
    return texts;
}

bool ModalDriver::answerIfBox(QWidget* widget, const QString& answer)
{
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (!box || !box->isVisible())
        return false;
    QAbstractButton* chosen = nullptr;
    seen.append(describeBox(box, answer, &chosen));
    if (answer == QLatin1String("<Escape>"))
        QTest::keyClick(box, Qt::Key_Escape);
    else if (answer == QLatin1String("<Return>"))
        QTest::keyClick(box, Qt::Key_Return);
    else if (chosen)
        chosen->click();
    else
        box->done(QMessageBox::Cancel);
    return true;
}

void ModalDriver::poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal->property("kavendruTestHandled").toBool())
        return;
    if (pending.isEmpty()) {
        if (qobject_cast<QProgressDialog*>(modal))
            return;
        ++unexpectedCount;
        modal->setProperty("kavendruTestHandled", true);
        if (!answerIfBox(modal, QStringLiteral("<unexpected>"))) {
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
        }
        return;
    }
    if (pending.first()(modal)) {
        modal->setProperty("kavendruTestHandled", true);
        pending.removeFirst();
    }
}

QAction* menuAction(QMainWindow* window, const QStringList& path)
{
    QList<QAction*> actions = window->menuBar()->actions();
    for (int depth = 0; depth < path.size(); ++depth) {
        QAction* found = nullptr;
        for (QAction* action : actions) {
            if (!action->isSeparator() && withoutMnemonic(action->text()) == path.at(depth)) {
                found = action;
                break;
            }
        }
        if (!found)
            return nullptr;
        if (depth == path.size() - 1)
            return found;
        if (!found->menu())
            return nullptr;
        actions = found->menu()->actions();
    }
    return nullptr;
}

QAction* windowAction(QMainWindow* window, const QString& text)
{
    const QList<QAction*> actions = window->findChildren<QAction*>();
    for (QAction* action : actions) {
        if (!action->menu() && withoutMnemonic(action->text()) == text)
            return action;
    }
    return nullptr;
}

QListWidget* driveList(QMainWindow* window)
{
    return window->findChild<QListWidget*>();
}

QTableWidget* fileTableOf(QMainWindow* window)
{
    return window->findChild<QTableWidget*>();
}

QToolButton* padlockOf(QMainWindow* window)
{
    const QList<QToolButton*> buttons = window->centralWidget()->findChildren<QToolButton*>();
    for (QToolButton* button : buttons) {
        if (button->isCheckable())
            return button;
    }
    return nullptr;
}

QLabel* labelStartingWith(QMainWindow* window, const QString& prefix)
{
    const QList<QLabel*> labels = window->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        if (label->text().startsWith(prefix))
            return label;
    }
    return nullptr;
}

QLabel* badgeOf(QMainWindow* window)
{
    return labelStartingWith(window, QStringLiteral("COFRE"));
}

QStringList tableNames(QMainWindow* window)
{
    QStringList names;
    QTableWidget* table = fileTableOf(window);
    for (int row = 0; row < table->rowCount(); ++row)
        names.append(table->item(row, 1) ? table->item(row, 1)->text() : QString());
    return names;
}

int rowNamed(QMainWindow* window, const QString& name)
{
    return int(tableNames(window).indexOf(name));
}

void clickRow(QMainWindow* window, int row)
{
    QTableWidget* table = fileTableOf(window);
    const QRect cell = table->visualRect(table->model()->index(row, 1));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

void doubleClickRow(QMainWindow* window, int row)
{
    QTableWidget* table = fileTableOf(window);
    const QRect cell = table->visualRect(table->model()->index(row, 1));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

} // namespace KavendruTest

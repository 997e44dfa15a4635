#include "ConfigTestSupport.h"

#include "common/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QPushButton>
#include <QTest>

namespace ConfigTest {

FakeDeviceManager::FakeDeviceManager(std::shared_ptr<QList<UsbDevice>> drives)
    : drives(std::move(drives))
{
}

QList<UsbDevice> FakeDeviceManager::detectUsbDevices() const
{
    return *drives;
}

UsbDevice mountedDrive(const QString& mountPoint, const QString& label, const QString& devicePath)
{
    UsbDevice device;
    device.id = devicePath;
    device.devicePath = devicePath;
    device.label = label;
    device.mountPoint = mountPoint;
    device.fileSystem = QStringLiteral("vfat");
    device.mounted = true;
    return device;
}

UsbDevice unmountedDrive(const QString& devicePath, const QString& label)
{
    UsbDevice device;
    device.id = devicePath;
    device.devicePath = devicePath;
    device.label = label;
    device.mounted = false;
    return device;
}

QString withoutMnemonic(QString text)
{
    return text.remove(QLatin1Char('&'));
}

ModalDriver::ModalDriver()
{
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
    timer.start();
}

ModalDriver::~ModalDriver() = default;

void ModalDriver::onNext(Handler handler)
{
    pending.append(std::move(handler));
}

void ModalDriver::answerBox(const QString& answer)
{
    onNext([this, answer](QWidget* widget) { return answerIfBox(widget, answer); });
}

bool ModalDriver::answerIfBox(QWidget* widget, const QString& answer)
{
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (!box)
        return false;
    SeenBox seenBox;
    seenBox.title = box->windowTitle();
    seenBox.text = box->text();
    seenBox.icon = box->icon();
    QAbstractButton* chosen = nullptr;
    for (QAbstractButton* button : box->buttons()) {
        seenBox.buttons.append(withoutMnemonic(button->text()));
        if (withoutMnemonic(button->text()) == answer)
            chosen = button;
    }
    if (box->defaultButton())
        seenBox.defaultButton = withoutMnemonic(box->defaultButton()->text());
    seen.append(seenBox);
    if (answer == QLatin1String("<Escape>"))
        QTest::keyClick(box, Qt::Key_Escape);
    else if (answer == QLatin1String("<Return>"))
        QTest::keyClick(box, Qt::Key_Return);
    else if (chosen)
        chosen->click();
    else
        box->done(QMessageBox::Cancel); // an unknown answer still ends the box
    return true;
}

void ModalDriver::poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal->property("kavendruTestHandled").toBool())
        return;
    if (pending.isEmpty()) {
        // A box nobody expected is recorded and closed, so the test fails
        // instead of waiting for it forever.
        if (answerIfBox(modal, QStringLiteral("<unexpected>")))
            modal->setProperty("kavendruTestHandled", true);
        return;
    }
    if (pending.first()(modal)) {
        modal->setProperty("kavendruTestHandled", true);
        pending.removeFirst();
    }
}

ProgressWatcher::ProgressWatcher(QWidget* window)
    : window(window)
{
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
    timer.start();
}

ProgressWatcher::~ProgressWatcher() = default;

void ProgressWatcher::poll()
{
    if (!window)
        return;
    auto* dialog = window->findChild<QProgressDialog*>();
    if (!dialog)
        return;
    if (seen.isEmpty() || seen.last().label != dialog->labelText())
        seen.append({dialog->labelText(), dialog->value(), dialog->maximum()});
    if (dialog->isVisible() && visibleAction)
        visibleAction(dialog);
}

PrivateEnvironment::PrivateEnvironment()
{
    // Fixes the tests' own temporary base before TMPDIR changes.
    KavendruTest::baseTempPath();
    home = KavendruTest::makeTempDir();
    tmp = KavendruTest::makeTempDir();
    runtime = KavendruTest::makeTempDir();
    qputenv("HOME", QFile::encodeName(home->path()));
    qputenv("TMPDIR", QFile::encodeName(tmp->path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
}

QStringList lines(const QString& plainText)
{
    QStringList result = plainText.split(QLatin1Char('\n'));
    while (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

QStringList treeOf(const QString& root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries.append(QDir(root).relativeFilePath(it.filePath()));
    }
    entries.sort();
    return entries;
}

} // namespace ConfigTest

#include "ConfigTestSupport.h"

#include "common/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QPushButton>
#include <QTest>

namespace ConfigTest {

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
    QAbstractButton* chosen = nullptr;
    seen.append(KavendruTest::describeBox(box, answer, &chosen));
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

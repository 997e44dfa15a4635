#include "UiTestSupport.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTimer>

namespace KavendruTest {

namespace {

constexpr int kPollMilliseconds = 10;

} // namespace

UiTestEnvironment::UiTestEnvironment()
    : root(makeTempDir())
{
    const QString folders[] = {QStringLiteral("home"), QStringLiteral("tmp"), QStringLiteral("runtime")};
    for (const QString& name : folders)
        QDir(root->path()).mkpath(name);
    // Qt refuses a runtime folder that others may enter.
    QFile::setPermissions(root->filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", QFile::encodeName(root->filePath(QStringLiteral("home"))));
    qputenv("TMPDIR", QFile::encodeName(root->filePath(QStringLiteral("tmp"))));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root->filePath(QStringLiteral("runtime"))));
    // The configuration, data and cache folders, the documents folder among
    // them, follow the home folder above.
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
}

UiTestEnvironment::~UiTestEnvironment() = default;

QString UiTestEnvironment::homePath() const
{
    return root->filePath(QStringLiteral("home"));
}

MessageBoxAnswerer::MessageBoxAnswerer(const QString& text)
    : buttonText(text)
{
    QTimer::singleShot(kPollMilliseconds, this, [this] { poll(); });
}

void MessageBoxAnswerer::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box && box != answered && box->isVisible()) {
        answered = box;
        seen.append({box->windowTitle(), box->text(), box->icon()});
        QAbstractButton* button = buttonText.isEmpty() ? box->escapeButton() : findButton(box, buttonText);
        if (!button)
            button = box->defaultButton();
        if (button)
            button->click();
        else
            box->reject();
    }
    QTimer::singleShot(kPollMilliseconds, this, [this] { poll(); });
}

QAbstractButton* findButton(QWidget* root, const QString& text)
{
    const QList<QAbstractButton*> buttons = root->findChildren<QAbstractButton*>();
    for (QAbstractButton* button : buttons) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QString withoutMnemonic(QString text)
{
    return text.remove(QLatin1Char('&'));
}

QString shownText(const QString& text, Qt::TextFormat format)
{
    const bool markup = format == Qt::RichText || (format == Qt::AutoText && Qt::mightBeRichText(text));
    if (!markup)
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

QString shownText(const QLabel* label)
{
    return shownText(label->text(), label->textFormat());
}

QString shownToolTip(const QString& toolTip)
{
    return shownText(toolTip, Qt::AutoText);
}

SeenBox describeBox(QMessageBox* box, const QString& buttonText, QAbstractButton** button)
{
    SeenBox seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.shown = shownText(box->text(), box->textFormat());
    seen.icon = box->icon();
    *button = nullptr;
    for (QAbstractButton* candidate : box->buttons()) {
        seen.buttons.append(withoutMnemonic(candidate->text()));
        if (withoutMnemonic(candidate->text()) == buttonText)
            *button = candidate;
    }
    if (box->defaultButton())
        seen.defaultButton = withoutMnemonic(box->defaultButton()->text());
    return seen;
}

} // namespace KavendruTest

#pragma once

#include "common/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>

class QLabel;
class QTemporaryDir;

namespace KavendruTest {

// A home, temporary and runtime folder of the test's own, set before the
// application starts, so nothing a test or Qt writes lands in the real ones.
class UiTestEnvironment {
public:
    UiTestEnvironment();
    ~UiTestEnvironment();
    UiTestEnvironment(const UiTestEnvironment&) = delete;
    UiTestEnvironment& operator=(const UiTestEnvironment&) = delete;

    QString homePath() const;

private:
    std::unique_ptr<QTemporaryDir> root;
};

// While it lives, answers every message box that becomes the active modal
// widget: records what the user saw and presses the button with the given
// text, or the box's escape button when none is given.
class MessageBoxAnswerer : public QObject {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
    };

    explicit MessageBoxAnswerer(const QString& buttonText = QString());

    const QList<Box>& boxes() const { return seen; }

private:
    void poll();

    QString buttonText;
    QList<Box> seen;
    QPointer<QMessageBox> answered;
};

// A text as shown, without its mnemonic ampersands.
QString withoutMnemonic(QString text);

// What a label, a message box or a tool tip shows of a text in that format:
// the text itself as plain text, or what remains of it read as markup (Qt
// reads an automatic text as markup when it looks like it).
QString shownText(const QString& text, Qt::TextFormat format);
QString shownText(const QLabel* label);
QString shownToolTip(const QString& toolTip);

// A message box as the user saw it.
struct SeenBox {
    QString title;
    QString text;
    // The text as it appears in the box.
    QString shown;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString defaultButton;
};

// What the box shows, and its button with the given text (null without one).
SeenBox describeBox(QMessageBox* box, const QString& buttonText, QAbstractButton** button);

// The button of a widget tree that shows the given text.
QAbstractButton* findButton(QWidget* root, const QString& text);

} // namespace KavendruTest

#define KAVENDRU_UI_TEST_MAIN(TestObject)                                                                            \
    int main(int argc, char* argv[])                                                                                 \
    {                                                                                                                \
        KavendruTest::enterPrivateMountNamespace();                                                                  \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                                          \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                                                 \
        KavendruTest::UiTestEnvironment environment;                                                                 \
        QApplication app(argc, argv);                                                                                \
        TestObject test;                                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                   \
        return QTest::qExec(&test, argc, argv);                                                                      \
    }

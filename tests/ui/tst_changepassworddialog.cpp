#include "UiTestSupport.h"

#include "ui/ChangePasswordDialog.h"

#include <QFormLayout>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <functional>

using Kavendru::UI::ChangePasswordDialog;
using KavendruTest::findButton;
using KavendruTest::MessageBoxAnswerer;

namespace {

struct Fields {
    QLineEdit* current = nullptr;
    QLineEdit* next = nullptr;
    QLineEdit* confirm = nullptr;
    bool found() const { return current && next && confirm; }
};

// The fields by the labels the user reads beside them.
Fields fieldsOf(ChangePasswordDialog& dialog)
{
    Fields fields;
    auto* form = dialog.findChild<QFormLayout*>();
    if (!form)
        return fields;
    for (int row = 0; row < form->rowCount(); ++row) {
        auto* label = qobject_cast<QLabel*>(form->itemAt(row, QFormLayout::LabelRole)->widget());
        auto* edit = qobject_cast<QLineEdit*>(form->itemAt(row, QFormLayout::FieldRole)->widget());
        if (!label || !edit)
            continue;
        if (label->text() == QLatin1String("Senha atual:"))
            fields.current = edit;
        else if (label->text() == QLatin1String("Nova senha:"))
            fields.next = edit;
        else if (label->text() == QLatin1String("Confirmar nova senha:"))
            fields.confirm = edit;
    }
    return fields;
}

// Types the text the way an input method hands it over, so characters
// outside the Basic Multilingual Plane arrive whole.
void type(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(edit, &event);
}

// Runs the dialog as the window does, with exec(), doing what the user does
// once it is open; a dialog still open after that is cancelled, so a failed
// case cannot hang.
int runDialog(ChangePasswordDialog& dialog, const std::function<void()>& user)
{
    QTimer::singleShot(0, &dialog, [&dialog, user] {
        user();
        if (dialog.isVisible())
            dialog.reject();
    });
    return dialog.exec();
}

const QString kTooShort = QStringLiteral("Use uma nova senha com pelo menos 12 caracteres.");
const QString kMismatch = QStringLiteral("A confirmação não coincide com a nova senha.");
const QString kNoCurrent = QStringLiteral("Informe a senha atual.");

} // namespace

class TestChangePasswordDialog : public QObject {
    Q_OBJECT

private slots:
    void showsThreeHiddenFieldsAndTwoButtons()
    {
        ChangePasswordDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Alterar senha do cofre"));
        QVERIFY(dialog.isModal());
        const Fields fields = fieldsOf(dialog);
        QVERIFY(fields.found());
        for (QLineEdit* edit : {fields.current, fields.next, fields.confirm})
            QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QVERIFY(findButton(&dialog, QStringLiteral("Alterar")));
        QVERIFY(findButton(&dialog, QStringLiteral("Cancelar")));
    }

    void checks_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("newPassword");
        QTest::addColumn<QString>("confirmation");
        QTest::addColumn<QString>("warning");

        const QString twelve = QStringLiteral("abcdefghijkl");
        // U+1F600 and its neighbours: two UTF-16 code units each.
        const QString sixOutsideBmp = QStringLiteral("\U0001F600\U0001F601\U0001F602\U0001F923\U0001F603\U0001F604");
        const QString fiveOutsideBmpAndOne = QStringLiteral("\U0001F600\U0001F601\U0001F602\U0001F923\U0001F603a");

        QTest::newRow("empty current password, everything else wrong")
            << QString() << QStringLiteral("curta") << QStringLiteral("outra") << kNoCurrent;
        QTest::newRow("empty current password, new one fine") << QString() << twelve << twelve << kNoCurrent;
        QTest::newRow("11 characters") << QStringLiteral("senha atual") << QStringLiteral("abcdefghijk")
                                       << QStringLiteral("abcdefghijk") << kTooShort;
        QTest::newRow("11 characters and a wrong confirmation")
            << QStringLiteral("senha atual") << QStringLiteral("abcdefghijk") << QStringLiteral("x") << kTooShort;
        QTest::newRow("12 characters") << QStringLiteral("senha atual") << twelve << twelve << QString();
        QTest::newRow("six characters outside the BMP count as 12")
            << QStringLiteral("senha atual") << sixOutsideBmp << sixOutsideBmp << QString();
        QTest::newRow("five outside the BMP and one letter are 11")
            << QStringLiteral("senha atual") << fiveOutsideBmpAndOne << fiveOutsideBmpAndOne << kTooShort;
        QTest::newRow("11 accented letters are 11, not 22 bytes")
            << QStringLiteral("senha atual") << QStringLiteral("ááááááááááá") << QStringLiteral("ááááááááááá")
            << kTooShort;
        QTest::newRow("confirmation differs only in case")
            << QStringLiteral("senha atual") << QStringLiteral("Abcdefghijkl") << twelve << kMismatch;
        QTest::newRow("empty confirmation") << QStringLiteral("senha atual") << twelve << QString() << kMismatch;
        QTest::newRow("confirmation with a trailing space")
            << QStringLiteral("senha atual") << twelve << twelve + QLatin1Char(' ') << kMismatch;
        QTest::newRow("spaces count and are kept")
            << QStringLiteral(" ") << QStringLiteral("   abcdefghi") << QStringLiteral("   abcdefghi") << QString();
    }

    void checks()
    {
        QFETCH(QString, current);
        QFETCH(QString, newPassword);
        QFETCH(QString, confirmation);
        QFETCH(QString, warning);

        ChangePasswordDialog dialog;
        const Fields fields = fieldsOf(dialog);
        QVERIFY(fields.found());
        MessageBoxAnswerer answerer;
        bool stayedOpen = false;
        QStringList keptTexts;
        const int result = runDialog(dialog, [&] {
            type(fields.current, current);
            type(fields.next, newPassword);
            type(fields.confirm, confirmation);
            QTest::mouseClick(findButton(&dialog, QStringLiteral("Alterar")), Qt::LeftButton);
            if (!dialog.isVisible())
                return;
            stayedOpen = true;
            keptTexts = QStringList{fields.current->text(), fields.next->text(), fields.confirm->text()};
        });

        if (warning.isEmpty()) {
            QCOMPARE(result, int(QDialog::Accepted));
            QCOMPARE(answerer.boxes().size(), 0);
            QCOMPARE(dialog.currentPassword(), current.toUtf8());
            QCOMPARE(dialog.newPassword(), newPassword.toUtf8());
            return;
        }
        QVERIFY2(stayedOpen, "the dialog stays open after a warning");
        QCOMPARE(answerer.boxes().size(), 1);
        QCOMPARE(answerer.boxes().at(0).title, QStringLiteral("Alterar senha"));
        QCOMPARE(answerer.boxes().at(0).text, warning);
        QCOMPARE(answerer.boxes().at(0).icon, QMessageBox::Warning);
        QCOMPARE(keptTexts, (QStringList{current, newPassword, confirmation}));
    }

    void correctedAfterAWarning()
    {
        ChangePasswordDialog dialog;
        const Fields fields = fieldsOf(dialog);
        QVERIFY(fields.found());
        MessageBoxAnswerer answerer;
        QWidget* focusAfterWarning = nullptr;
        const int result = runDialog(dialog, [&] {
            type(fields.current, QStringLiteral("senha atual"));
            type(fields.next, QStringLiteral("nova senha longa"));
            type(fields.confirm, QStringLiteral("nova senha longx"));
            QAbstractButton* change = findButton(&dialog, QStringLiteral("Alterar"));
            QTest::mouseClick(change, Qt::LeftButton);
            focusAfterWarning = dialog.focusWidget();
            QTest::keyClick(fields.confirm, Qt::Key_Backspace);
            QTest::keyClicks(fields.confirm, QStringLiteral("a"));
            QTest::keyClick(fields.confirm, Qt::Key_Return);
        });
        // The warning hands the focus back to the field to correct.
        QCOMPARE(focusAfterWarning, fields.confirm);
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(answerer.boxes().size(), 1);
        QCOMPARE(answerer.boxes().at(0).text, kMismatch);
        QCOMPARE(dialog.newPassword(), QByteArray("nova senha longa"));
    }

    void closesWithoutAMessage_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancelar") << false;
        QTest::newRow("Escape") << true;
    }

    void closesWithoutAMessage()
    {
        QFETCH(bool, escape);
        ChangePasswordDialog dialog;
        const Fields fields = fieldsOf(dialog);
        QVERIFY(fields.found());
        MessageBoxAnswerer answerer;
        const int result = runDialog(dialog, [&] {
            // Nothing valid typed: a check would complain if one ran.
            type(fields.next, QStringLiteral("curta"));
            if (escape)
                QTest::keyClick(fields.next, Qt::Key_Escape);
            else
                QTest::mouseClick(findButton(&dialog, QStringLiteral("Cancelar")), Qt::LeftButton);
        });
        QCOMPARE(result, int(QDialog::Rejected));
        QCOMPARE(answerer.boxes().size(), 0);
        QVERIFY(!dialog.isVisible());
    }
};

KAVENDRU_UI_TEST_MAIN(TestChangePasswordDialog)
#include "tst_changepassworddialog.moc"

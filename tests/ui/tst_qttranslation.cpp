// Qt's own texts in Portuguese, as the program's start-up loads them: the
// file and input dialogs, the overwrite prompt and the key names in the
// menus; the window's own texts stay exactly as they were.
#include "MainWindowTestSupport.h"

#include "resources/QtTranslation.h"
#include "ui/AboutDialog.h"
#include "ui/ChangePasswordDialog.h"
#include "ui/HelpDialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>

using namespace KavendruTest;

namespace {

QStringList buttonTexts(QWidget* root)
{
    QStringList texts;
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        if (!button->text().isEmpty())
            texts.append(withoutMnemonic(button->text()));
    }
    return texts;
}

// Every text a widget tree shows of its own: titles, labels, buttons,
// actions, tool tips, header and list items, pages.
QStringList textsOf(QWidget* root)
{
    QStringList texts{root->windowTitle(), root->toolTip()};
    for (QWidget* widget : root->findChildren<QWidget*>()) {
        texts.append(widget->windowTitle());
        texts.append(widget->toolTip());
        if (auto* label = qobject_cast<QLabel*>(widget))
            texts.append(label->text());
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            texts.append(button->text());
        if (auto* line = qobject_cast<QLineEdit*>(widget))
            texts.append(line->placeholderText());
        if (auto* browser = qobject_cast<QTextBrowser*>(widget))
            texts.append(browser->toHtml());
        if (auto* table = qobject_cast<QTableWidget*>(widget)) {
            for (int column = 0; column < table->columnCount(); ++column)
                texts.append(table->horizontalHeaderItem(column)->text());
        }
        if (auto* list = qobject_cast<QListWidget*>(widget)) {
            for (int row = 0; row < list->count(); ++row)
                texts.append(list->item(row)->text() + list->item(row)->toolTip());
        }
    }
    for (QAction* action : root->findChildren<QAction*>())
        texts.append(action->text() + QLatin1Char('|') + action->toolTip() + QLatin1Char('|') + action->statusTip());
    return texts;
}

struct UnlockedWindow : VaultOnDrive {
    bool setUp()
    {
        return VaultOnDrive::setUp({{QStringLiteral("a.txt"), QByteArray("a")}}, {QStringLiteral("Docs")}) && unlock();
    }
};

// The window (locked and unlocked) and its dialogs, as the user sees them.
QStringList windowAndDialogTexts()
{
    UnlockedWindow vault;
    if (!vault.setUp())
        return {QStringLiteral("<no window>")};
    QStringList texts = textsOf(vault.window());
    texts.append(vault.window()->statusBar()->currentMessage());
    {
        Kavendru::UI::AboutDialog about(vault.window());
        texts += textsOf(&about);
    }
    {
        Kavendru::UI::HelpDialog help(vault.window());
        texts += textsOf(&help);
    }
    {
        Kavendru::UI::ChangePasswordDialog password(vault.window());
        texts += textsOf(&password);
    }
    // One of the window's own questions.
    if (vault.selectRow(QStringLiteral("a.txt"))) {
        vault.driver.answerBox(QStringLiteral("<Escape>"));
        vault.trigger(QStringLiteral("Excluir..."));
        for (const SeenBox& box : vault.driver.boxes())
            texts += QStringList{box.title, box.text, box.buttons.join(QLatin1Char('|')), box.defaultButton};
    }
    vault.trigger(QStringLiteral("Bloquear"));
    texts += textsOf(vault.window());
    // The drive's folder and free space differ from one window to the next.
    static const QRegularExpression freeSpace(QStringLiteral("[0-9.,]+ [A-Za-z]+ livres"));
    for (QString& text : texts)
        text.replace(vault.dir->path(), QStringLiteral("<pasta>")).replace(freeSpace, QStringLiteral("<livres>"));
    return texts;
}

} // namespace

class TestQtTranslation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFile::exists(Kavendru::qtTranslationResource()))
            QSKIP("built without Qt's Brazilian Portuguese translation (qt6-translations-l10n)");
        untranslated = windowAndDialogTexts();
        QVERIFY(untranslated.size() > 100);
        QVERIFY(Kavendru::installQtTranslation(*qApp));
    }

    // Qt's catalogue shares contexts with the window (its tr() runs in
    // QMainWindow's and QDialog's): none of its texts may change.
    void windowTextsUnchanged()
    {
        const QStringList translated = windowAndDialogTexts();
        QCOMPARE(translated.size(), untranslated.size());
        for (qsizetype i = 0; i < translated.size(); ++i)
            QCOMPARE(translated.at(i), untranslated.at(i));
    }

    void menuKeyNames_data()
    {
        QTest::addColumn<QStringList>("menuPath");
        QTest::addColumn<QString>("shown");
        const QStringList files{"USB", "Acesso ao cofre", "Arquivos protegidos"};
        QTest::newRow("Abrir") << files + QStringList{"Abrir"} << "Enter";
        QTest::newRow("Excluir...") << files + QStringList{"Excluir..."} << "Delete";
        QTest::newRow("Bloquear") << QStringList{"USB", "Acesso ao cofre", "Bloquear"} << "Ctrl+Shift+L";
        QTest::newRow("Compactar cofre...") << QStringList{"USB", "Acesso ao cofre", "Compactar cofre..."} << "F6";
    }

    void menuKeyNames()
    {
        QFETCH(QStringList, menuPath);
        QFETCH(QString, shown);
        WindowFixture fixture;
        QAction* action = menuAction(fixture.window.get(), menuPath);
        QVERIFY(action);
        QCOMPARE(action->shortcut().toString(QKeySequence::NativeText), shown);
    }

    // "Importar...": Qt's own open dialog, in Portuguese around the
    // window's title.
    void openDialog()
    {
        UnlockedWindow vault;
        QVERIFY(vault.setUp());
        QString title;
        QStringList labels;
        QStringList buttons;
        vault.driver.onNext([&](QWidget* widget) {
            auto* dialog = qobject_cast<QFileDialog*>(widget);
            if (!dialog || !dialog->isVisible())
                return false;
            title = dialog->windowTitle();
            for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"}) {
                auto* label = dialog->findChild<QLabel*>(QLatin1String(name));
                labels.append(label ? withoutMnemonic(label->text()) : QStringLiteral("<none>"));
            }
            buttons = buttonTexts(dialog->findChild<QDialogButtonBox*>());
            dialog->reject();
            return true;
        });
        vault.trigger(QStringLiteral("Importar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.unexpected(), 0);
        QCOMPARE(title, QStringLiteral("Importar arquivos para o cofre"));
        QCOMPARE(labels, (QStringList{"Procurar em:", "Nome do arquivo:", "Arquivos do tipo:"}));
        QCOMPARE(buttons, (QStringList{"Abrir", "Cancelar"}));
    }

    // "Exportar..." onto an existing file: the save dialog and its
    // overwrite question in Portuguese; "Sim" replaces the file.
    void saveDialogAndItsOverwriteQuestion()
    {
        UnlockedWindow vault;
        QVERIFY(vault.setUp());
        const QString destination = vault.dir->filePath(QStringLiteral("existente.txt"));
        QVERIFY(writeWholeFile(destination, "anterior"));
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        vault.driver.answerBox(QStringLiteral("Continuar"));
        QStringList buttons;
        vault.driver.onNext([&](QWidget* widget) {
            auto* dialog = qobject_cast<QFileDialog*>(widget);
            if (!dialog || !dialog->isVisible())
                return false;
            buttons = buttonTexts(dialog->findChild<QDialogButtonBox*>());
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(destination);
            // Accepted once this handler is done, so the question that
            // accepting opens is the next modal widget.
            QTimer::singleShot(0, dialog, [dialog] { static_cast<QDialog*>(dialog)->accept(); });
            return true;
        });
        vault.driver.answerBox(QStringLiteral("Sim"));
        vault.trigger(QStringLiteral("Exportar..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(vault.driver.unexpected(), 0);
        QCOMPARE(buttons, (QStringList{"Salvar", "Cancelar"}));
        const SeenBox question = vault.driver.boxes().last();
        QCOMPARE(question.text, QStringLiteral("existente.txt já existe.\nDeseja substituí-la?"));
        QCOMPARE(question.buttons, (QStringList{"Sim", "Não"}));
        QCOMPARE(question.defaultButton, QStringLiteral("Não"));
        QCOMPARE(readWholeFile(destination), QByteArray("a"));
    }

    void inputDialog()
    {
        UnlockedWindow vault;
        QVERIFY(vault.setUp());
        QVERIFY(vault.selectRow(QStringLiteral("a.txt")));
        QStringList buttons;
        vault.driver.onNext([&](QWidget* widget) {
            auto* prompt = qobject_cast<QInputDialog*>(widget);
            if (!prompt || !prompt->isVisible())
                return false;
            buttons = buttonTexts(prompt);
            prompt->reject();
            return true;
        });
        vault.trigger(QStringLiteral("Renomear arquivo..."));
        QVERIFY(vault.driver.allHandled());
        QCOMPARE(buttons, (QStringList{"OK", "Cancelar"}));
    }

private:
    QStringList untranslated;
};

KAVENDRU_UI_TEST_MAIN(TestQtTranslation)

#include "tst_qttranslation.moc"

// The tool with Qt's own Portuguese texts loaded as its start-up loads
// them: Qt's menus of the log are Portuguese, the tool's own texts stay.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "common/TestSupport.h"

#include <QTest>

using namespace ConfigTest;

namespace {

std::unique_ptr<ConfigWindow> makeWindow()
{
    return std::make_unique<ConfigWindow>(std::make_unique<FakeDeviceManager>(std::make_shared<QList<UsbDevice>>()));
}

QStringList textsOf(QWidget* root)
{
    QStringList texts{root->windowTitle()};
    for (QWidget* widget : root->findChildren<QWidget*>()) {
        texts.append(widget->toolTip());
        if (auto* label = qobject_cast<QLabel*>(widget))
            texts.append(label->text());
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            texts.append(button->text());
    }
    for (QAction* action : root->findChildren<QAction*>())
        texts.append(action->text() + QLatin1Char('|') + action->shortcut().toString(QKeySequence::NativeText));
    return texts;
}

QStringList logMenuTexts(QWidget* window)
{
    auto* log = window->findChild<QTextEdit*>();
    if (!log)
        return {};
    const std::unique_ptr<QMenu> menu(log->createStandardContextMenu());
    QStringList texts;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator())
            texts.append(KavendruTest::withoutMnemonic(action->text()).section(QLatin1Char('\t'), 0, 0));
    }
    return texts;
}

} // namespace

class ConfigTranslationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFile::exists(Kavendru::qtTranslationResource()))
            QSKIP("built without Qt's Brazilian Portuguese translation (qt6-translations-l10n)");
    }

    void qtTextsPortugueseToolTextsUnchanged()
    {
        const auto before = makeWindow();
        const QStringList untranslated = textsOf(before.get());
        QCOMPARE(logMenuTexts(before.get()), (QStringList{"Copy", "Select All"}));

        QVERIFY(Kavendru::installQtTranslation(*qApp));
        const auto after = makeWindow();
        QCOMPARE(textsOf(after.get()), untranslated);
        QCOMPARE(logMenuTexts(after.get()), (QStringList{"Copiar", "Selecionar tudo"}));

        ModalDriver driver;
        driver.answerBox(QStringLiteral("Sim"));
        QVERIFY(askYesNo(after.get(), QStringLiteral("Título"), QStringLiteral("Pergunta?")));
        QCOMPARE(driver.boxes().value(0).buttons, (QStringList{"Sim", "Não"}));
    }
};

KAVENDRU_CONFIG_TEST_MAIN(ConfigTranslationTest)
#include "tst_configtranslation.moc"

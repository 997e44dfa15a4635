// The main window as it starts: its size, menus, the enabled actions in
// every state, the padlock, the status bar, the line above the table, the
// guard of long operations and closing.
#include "MainWindowTestSupport.h"

#include "ui/MainWindowSupport.h"
#include "ui/OperationProgressDialog.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace KavendruTest;
using Kavendru::UI::MainWindow;
using Kavendru::UI::OperationProgressDialog;

namespace {

const QString kPassword = kTestPassword;

const QStringList kAlways{QStringLiteral("Sair"), QStringLiteral("Ajuda"),
                          QStringLiteral("Visitar a página oficial do Kavendru"), QStringLiteral("Sobre o Kavendru")};

// Every action the window has, by its text.
const QStringList kAllActions{QStringLiteral("Sair"),
                              QStringLiteral("Atualizar lista"),
                              QStringLiteral("Escolher container..."),
                              QStringLiteral("Criar novo cofre..."),
                              QStringLiteral("Fazer backup..."),
                              QStringLiteral("Alterar senha..."),
                              QStringLiteral("Desbloquear"),
                              QStringLiteral("Bloquear"),
                              QStringLiteral("Importar..."),
                              QStringLiteral("Exportar..."),
                              QStringLiteral("Abrir"),
                              QStringLiteral("Mover para pasta..."),
                              QStringLiteral("Renomear arquivo..."),
                              QStringLiteral("Excluir..."),
                              QStringLiteral("Nova pasta..."),
                              QStringLiteral("Renomear pasta..."),
                              QStringLiteral("Excluir pasta vazia"),
                              QStringLiteral("Compactar cofre..."),
                              QStringLiteral("Ajuda"),
                              QStringLiteral("Visitar a página oficial do Kavendru"),
                              QStringLiteral("Sobre o Kavendru")};

QStringList enabledActions(MainWindow* window)
{
    QStringList enabled;
    for (const QString& text : kAllActions) {
        QAction* action = windowAction(window, text);
        if (action && action->isEnabled())
            enabled.append(text);
    }
    return enabled;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void centralAreaSizeFollowsTheScreen_data()
    {
        QTest::addColumn<std::optional<QSize>>("screen");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("1920x1040") << std::optional<QSize>(QSize(1920, 1040)) << QSize(1152, 648);
        QTest::newRow("2560x1400") << std::optional<QSize>(QSize(2560, 1400)) << QSize(1152, 648);
        QTest::newRow("1280x984 raised to 900") << std::optional<QSize>(QSize(1280, 984)) << QSize(900, 506);
        QTest::newRow("1024x500 fits the height") << std::optional<QSize>(QSize(1024, 500)) << QSize(888, 500);
        QTest::newRow("1600x600") << std::optional<QSize>(QSize(1600, 600)) << QSize(960, 540);
        QTest::newRow("1280x400") << std::optional<QSize>(QSize(1280, 400)) << QSize(711, 400);
        QTest::newRow("1921 wide is 1152") << std::optional<QSize>(QSize(1921, 2000)) << QSize(1152, 648);
        QTest::newRow("1152x600 after the 1152 case") << std::optional<QSize>(QSize(1921, 600)) << QSize(1066, 600);
        QTest::newRow("no screen") << std::optional<QSize>() << QSize(960, 540);
    }
    void centralAreaSizeFollowsTheScreen()
    {
        QFETCH(std::optional<QSize>, screen);
        QFETCH(QSize, expected);
        QCOMPARE(Kavendru::UI::centralAreaSize(screen), expected);
    }

    // The test's screen is 1280 x 984 (see main).
    void windowHasAFixedSizeAroundItsCentralArea()
    {
        WindowFixture fixture;
        MainWindow* window = fixture.window.get();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->centralWidget()->size(), QSize(900, 506));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->size(), window->minimumSize());
        QCOMPARE(window->width(), 900);
        QVERIFY(window->height() > 506);
        QCOMPARE(window->windowTitle(), QStringLiteral("Kavendru"));
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Pronto"));
    }

    void menusHoldEveryActionWithItsShortcut_data()
    {
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<QString>("shortcut");
        const auto row = [](const QStringList& path, const QString& shortcut) {
            QTest::newRow(qPrintable(path.join(QLatin1String(" > ")))) << path << shortcut;
        };
        row({"Arquivo", "Sair"}, "Ctrl+Q");
        row({"USB", "Dispositivos", "Atualizar lista"}, "Ctrl+F5");
        row({"USB", "Container", "Escolher container..."}, "Ctrl+O");
        row({"USB", "Container", "Criar novo cofre..."}, "Ctrl+N");
        row({"USB", "Container", "Fazer backup..."}, "Ctrl+B");
        row({"USB", "Container", "Alterar senha..."}, "Ctrl+P");
        row({"USB", "Acesso ao cofre", "Desbloquear"}, "Ctrl+L");
        row({"USB", "Acesso ao cofre", "Bloquear"}, "Ctrl+Shift+L");
        row({"USB", "Acesso ao cofre", "Arquivos protegidos", "Nova pasta..."}, "Ctrl+Shift+N");
        row({"USB", "Acesso ao cofre", "Arquivos protegidos", "Importar..."}, "Ctrl+I");
        row({"USB", "Acesso ao cofre", "Arquivos protegidos", "Exportar..."}, "Ctrl+E");
        row({"USB", "Acesso ao cofre", "Arquivos protegidos", "Abrir"}, "Return");
        row({"USB", "Acesso ao cofre", "Arquivos protegidos", "Renomear pasta..."}, "");
        row({"USB", "Acesso ao cofre", "Arquivos protegidos", "Excluir pasta vazia"}, "");
        row({"USB", "Acesso ao cofre", "Arquivos protegidos", "Excluir..."}, "Del");
        row({"USB", "Acesso ao cofre", "Compactar cofre..."}, "F6");
        row({"Sobre", "Ajuda"}, "");
        row({"Sobre", "Visitar a página oficial do Kavendru"}, "");
        row({"Sobre", "Sobre o Kavendru"}, "");
    }
    void menusHoldEveryActionWithItsShortcut()
    {
        QFETCH(QStringList, path);
        QFETCH(QString, shortcut);
        WindowFixture fixture;
        QAction* action = menuAction(fixture.window.get(), path);
        QVERIFY(action);
        QCOMPARE(action->shortcut().toString(QKeySequence::PortableText), shortcut);
    }

    void menuOrderAndSeparators()
    {
        WindowFixture fixture;
        MainWindow* window = fixture.window.get();
        QStringList top;
        for (QAction* action : window->menuBar()->actions())
            top.append(action->text());
        QCOMPARE(top, QStringList({"Arquivo", "USB", "Sobre"}));
        const auto entries = [window](const QStringList& path) {
            QStringList texts;
            for (QAction* action : menuAction(window, path)->menu()->actions())
                texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
            return texts;
        };
        QCOMPARE(entries({"USB", "Container"}),
                 QStringList({"Escolher container...", "Criar novo cofre...", "-", "Fazer backup...", "-",
                              "Alterar senha..."}));
        QCOMPARE(entries({"USB", "Acesso ao cofre"}),
                 QStringList({"Desbloquear", "Bloquear", "-", "Arquivos protegidos", "-", "Compactar cofre..."}));
        QCOMPARE(entries({"USB", "Acesso ao cofre", "Arquivos protegidos"}),
                 QStringList({"Nova pasta...", "-", "Importar...", "Exportar...", "Abrir", "-", "Renomear pasta...",
                              "Excluir pasta vazia", "-", "Excluir..."}));
        QCOMPARE(entries({"Sobre"}),
                 QStringList({"Ajuda", "Visitar a página oficial do Kavendru", "-", "Sobre o Kavendru"}));
        // The two file-only actions exist, but in no menu of the bar.
        for (const QString& text : {QStringLiteral("Mover para pasta..."), QStringLiteral("Renomear arquivo...")}) {
            QAction* action = windowAction(window, text);
            QVERIFY2(action, qPrintable(text));
            QVERIFY(action->associatedObjects().isEmpty());
        }
    }

    void startUpWithoutContainer()
    {
        WindowFixture fixture;
        MainWindow* window = fixture.window.get();
        QCOMPARE(enabledActions(window),
                 QStringList({"Sair", "Atualizar lista", "Escolher container...", "Criar novo cofre...", "Ajuda",
                              "Visitar a página oficial do Kavendru", "Sobre o Kavendru"}));
        QToolButton* padlock = padlockOf(window);
        QVERIFY(padlock);
        QVERIFY(!padlock->isEnabled());
        QVERIFY(!padlock->isChecked());
        QCOMPARE(padlock->toolTip(), QStringLiteral("Selecione um container para desbloquear o cofre."));
        QCOMPARE(padlock->iconSize(), QSize(48, 48));
        QLabel* badge = badgeOf(window);
        QVERIFY(badge);
        QVERIFY(badge->styleSheet().contains(QLatin1String("#f06a6a")));
        QVERIFY(labelStartingWith(window, QStringLiteral("Container: nenhum")));
        QVERIFY(labelStartingWith(window, QStringLiteral("Nenhum cofre em uso (aberto)")));
        QVERIFY(labelStartingWith(window, QStringLiteral("Versão 1.0.5")));
        QVERIFY(labelStartingWith(window, QDate::currentDate().toString(QStringLiteral("dd/MM/yyyy"))));
        QTableWidget* table = fileTableOf(window);
        QCOMPARE(table->columnCount(), 5);
        QStringList headers;
        for (int column = 0; column < 5; ++column)
            headers.append(table->horizontalHeaderItem(column) ? table->horizontalHeaderItem(column)->text() : QString());
        QCOMPARE(headers, QStringList({"", "Nome do arquivo", "Tamanho", "Tipo", "Modificado em"}));
        QCOMPARE(table->rowCount(), 0);
    }

    // One table of states: what is enabled in each.
    void actionStates_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QStringList>("enabled");
        const QStringList lockedChosen = QStringList(kAlways) << "Atualizar lista" << "Escolher container..."
                                                              << "Criar novo cofre..." << "Fazer backup..."
                                                              << "Alterar senha..." << "Desbloquear";
        const QStringList unlocked = QStringList(kAlways) << "Bloquear" << "Nova pasta..." << "Importar..."
                                                          << "Compactar cofre...";
        const QStringList fileRow = QStringList(unlocked) << "Exportar..." << "Abrir" << "Renomear arquivo..."
                                                          << "Excluir...";
        QTest::newRow("locked, container chosen") << "chosen" << lockedChosen;
        QTest::newRow("unlocked, no row") << "unlocked" << unlocked;
        QTest::newRow("file row, no folder in the vault") << "file-no-folders" << fileRow;
        QTest::newRow("file row, folders in the vault") << "file-with-folders"
                                                        << (QStringList(fileRow) << "Mover para pasta...");
        QTest::newRow("folder row") << "folder" << (QStringList(unlocked) << "Renomear pasta..."
                                                                          << "Excluir pasta vazia");
        QTest::newRow("parent row") << "parent" << unlocked;
        QTest::newRow("locked again") << "relocked" << lockedChosen;
    }
    void actionStates()
    {
        QFETCH(QString, situation);
        QFETCH(QStringList, enabled);
        VaultOnDrive drive;
        if (situation == QLatin1String("file-no-folders"))
            QVERIFY(drive.setUp({{"a.txt", "a"}, {"b.txt", "bb"}}));
        else
            QVERIFY(drive.setUp({{"a.txt", "a"}, {"docs/b.txt", "bb"}}, {"docs"}));
        MainWindow* window = drive.window();
        if (situation == QLatin1String("chosen")) {
            drive.driver.answerFile(drive.container);
            menuAction(window, {"USB", "Container", "Escolher container..."})->trigger();
            QVERIFY(drive.driver.allHandled());
        } else {
            QVERIFY(drive.unlock());
        }
        if (situation.startsWith(QLatin1String("file")))
            clickRow(window, rowNamed(window, "a.txt"));
        if (situation == QLatin1String("folder"))
            clickRow(window, rowNamed(window, "docs"));
        if (situation == QLatin1String("parent")) {
            doubleClickRow(window, rowNamed(window, "docs"));
            QCOMPARE(tableNames(window), QStringList({"..", "b.txt"}));
            clickRow(window, rowNamed(window, ".."));
        }
        if (situation == QLatin1String("relocked"))
            menuAction(window, {"USB", "Acesso ao cofre", "Bloquear"})->trigger();

        QStringList actual = enabledActions(window);
        actual.sort();
        enabled.sort();
        QCOMPARE(actual, enabled);

        const bool isUnlocked = enabled.contains(QLatin1String("Bloquear"));
        QToolButton* padlock = padlockOf(window);
        QVERIFY(padlock->isEnabled());
        QCOMPARE(padlock->isChecked(), isUnlocked);
        QCOMPARE(padlock->toolTip(), isUnlocked ? QStringLiteral("Bloquear cofre") : QStringLiteral("Desbloquear cofre"));
        QVERIFY(badgeOf(window)->styleSheet().contains(isUnlocked ? QLatin1String("#7bd88f") : QLatin1String("#f06a6a")));
        QVERIFY(drive.driver.unexpected() == 0);
    }

    void containerNameInTheStatusBar_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("shown");
        QTest::newRow("default name, any case") << "KAVENDRU.SUSB" << "Container: Kavendru";
        QTest::newRow("own name") << "backup.susb" << "Container: backup.susb";
    }
    void containerNameInTheStatusBar()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, shown);
        VaultOnDrive drive;
        QVERIFY(drive.setUp({}, {}, fileName));
        drive.driver.answerFile(drive.container);
        menuAction(drive.window(), {"USB", "Container", "Escolher container..."})->trigger();
        QLabel* label = labelStartingWith(drive.window(), QStringLiteral("Container: "));
        QCOMPARE(label->text(), shown);
        QCOMPARE(label->toolTip(), shown);
        QCOMPARE(drive.window()->statusBar()->currentMessage(), QStringLiteral("Container selecionado."));
    }

    void longContainerNameIsCutInTheMiddle()
    {
        VaultOnDrive drive;
        const QString name = QStringLiteral("um-nome-de-container-muito-longo-que-nao-cabe-na-barra.susb");
        QVERIFY(drive.setUp({}, {}, name));
        drive.driver.answerFile(drive.container);
        menuAction(drive.window(), {"USB", "Container", "Escolher container..."})->trigger();
        QLabel* label = labelStartingWith(drive.window(), QStringLiteral("Container: "));
        QVERIFY(label->text().contains(QChar(0x2026)));
        QVERIFY(label->text().endsWith(QLatin1String(".susb")));
        QCOMPARE(label->toolTip(), QStringLiteral("Container: ") + name);
        QVERIFY(QFontMetrics(label->font()).horizontalAdvance(label->text()) <= label->width());
    }

    void lineAboveTheTableCountsEveryFile()
    {
        VaultOnDrive drive;
        QVERIFY(drive.setUp({{"a.txt", "a"}, {"b.txt", "b"}, {"docs/c.txt", "c"}, {"docs/d.txt", "d"},
                             {"docs/e.txt", "e"}},
                            {"docs"}));
        QVERIFY(drive.unlock());
        MainWindow* window = drive.window();
        QVERIFY(labelStartingWith(window, "Arquivos protegidos | Pasta: Raiz | 5 arquivos no cofre."));
        doubleClickRow(window, rowNamed(window, "docs"));
        QVERIFY(labelStartingWith(window, "Arquivos protegidos | Pasta: docs | 5 arquivos no cofre."));
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Cofre desbloqueado."));
    }

    void lineAboveTheTableForEmptyAndSingleVaults_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("line");
        QTest::newRow("empty") << 0 << "Arquivos protegidos | Pasta: Raiz | O cofre está vazio.";
        QTest::newRow("one") << 1 << "Arquivos protegidos | Pasta: Raiz | 1 arquivo no cofre.";
    }
    void lineAboveTheTableForEmptyAndSingleVaults()
    {
        QFETCH(int, files);
        QFETCH(QString, line);
        VaultOnDrive drive;
        QList<QPair<QString, QByteArray>> content;
        if (files)
            content.append(qMakePair(QStringLiteral("a.txt"), QByteArray("a")));
        QVERIFY(drive.setUp(content));
        QVERIFY(drive.unlock());
        QVERIFY(labelStartingWith(drive.window(), line));
    }

    void confirmationBoxesDefaultToNo_data()
    {
        QTest::addColumn<bool>("continueCancel");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("expected");
        QTest::newRow("Sim") << false << "Sim" << true;
        QTest::newRow("Não") << false << "Não" << false;
        QTest::newRow("Escape on Sim/Não") << false << "<Escape>" << false;
        QTest::newRow("Continuar") << true << "Continuar" << true;
        QTest::newRow("Escape on Continuar/Cancelar") << true << "<Escape>" << false;
    }
    void confirmationBoxesDefaultToNo()
    {
        QFETCH(bool, continueCancel);
        QFETCH(QString, answer);
        QFETCH(bool, expected);
        ModalDriver driver;
        driver.answerBox(answer);
        const bool result = continueCancel
                                ? Kavendru::UI::questionContinueCancel(nullptr, QStringLiteral("T"), QStringLiteral("?"))
                                : Kavendru::UI::questionYesNo(nullptr, QStringLiteral("T"), QStringLiteral("?"));
        QCOMPARE(result, expected);
        QCOMPARE(driver.boxes().size(), 1);
        QCOMPARE(driver.boxes().first().icon, QMessageBox::Question);
        QCOMPARE(driver.boxes().first().defaultButton, continueCancel ? QStringLiteral("Cancelar") : QStringLiteral("Não"));
        QCOMPARE(driver.boxes().first().buttons,
                 continueCancel ? QStringList({"Continuar", "Cancelar"}) : QStringList({"Sim", "Não"}));
    }

    // While a long operation runs, its dialog cannot be dismissed and the
    // window refuses every handler and its own close.
    void runningOperationCannotBeInterrupted()
    {
        VaultOnDrive drive;
        QVERIFY(drive.setUp({{"a.txt", "a"}, {"docs/b.txt", "b"}}, {"docs"}));
        QVERIFY(drive.unlock());
        MainWindow* window = drive.window();
        QTableWidget* table = fileTableOf(window);
        const QStringList before = tableNames(window);

        QStringList seenDuring;
        bool nestedRan = false;
        bool closeAccepted = false;
        int steps = 0;
        bool visibleAtStart = false;
        Qt::WindowModality modality = Qt::NonModal;
        int maximum = 0;
        bool hasButton = true;
        const bool result = window->runOperation(
            QStringLiteral("Operação"), QStringLiteral("Trabalhando..."), [&](OperationProgressDialog& progress) {
                visibleAtStart = progress.isVisible();
                modality = progress.windowModality();
                maximum = progress.maximum();
                hasButton = !progress.findChildren<QAbstractButton*>().isEmpty();
                for (steps = 0; steps < 20; ++steps) {
                    progress.step(steps, 20, QStringLiteral("passo %1").arg(steps));
                    switch (steps) {
                    case 2:
                        QTest::keyClick(&progress, Qt::Key_Escape);
                        break;
                    case 3:
                        progress.close();
                        break;
                    case 4:
                        progress.reject();
                        break;
                    case 5:
                        menuAction(window, {"USB", "Acesso ao cofre", "Bloquear"})->trigger();
                        break;
                    case 6:
                        padlockOf(window)->click();
                        break;
                    case 7:
                        menuAction(window, {"Arquivo", "Sair"})->trigger();
                        break;
                    case 8:
                        closeAccepted = window->close();
                        break;
                    case 9:
                        table->horizontalHeader()->sectionClicked(2);
                        break;
                    case 10:
                        table->setCurrentCell(rowNamed(window, "docs"), 1);
                        table->itemDoubleClicked(table->item(rowNamed(window, "docs"), 1));
                        break;
                    case 11:
                        nestedRan = window->runOperation(QStringLiteral("Outra"), QString(),
                                                         [](OperationProgressDialog&) { return true; });
                        break;
                    default:
                        break;
                    }
                    QCoreApplication::processEvents();
                    if (!progress.isVisible())
                        seenDuring.append(QStringLiteral("hidden at %1").arg(steps));
                    if (!window->isVisible())
                        seenDuring.append(QStringLiteral("window closed at %1").arg(steps));
                }
                return true;
            });
        QVERIFY(result);
        QCOMPARE(steps, 20);
        QVERIFY2(visibleAtStart, "the dialog shows before the work starts");
        QCOMPARE(modality, Qt::ApplicationModal);
        QCOMPARE(maximum, 1000);
        QVERIFY(!hasButton);
        QVERIFY(!closeAccepted);
        QVERIFY(seenDuring.isEmpty());
        QVERIFY(!nestedRan);
        QVERIFY(!window->isOperationRunning());
        QVERIFY(!window->findChild<OperationProgressDialog*>());
        // Nothing ran: still unlocked, in the root, sorted by name, window open.
        QVERIFY(window->isVisible());
        QVERIFY(menuAction(window, {"USB", "Acesso ao cofre", "Bloquear"})->isEnabled());
        QCOMPARE(tableNames(window), before);
        QCOMPARE(table->horizontalHeader()->sortIndicatorSection(), 1);
        QCOMPARE(drive.driver.unexpected(), 0);

        // Once it is over the window closes again, locking the vault.
        QVERIFY(window->close());
        QCOMPARE(drive.driver.unexpected(), 0);
    }

    void progressValues_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("value");
        QTest::newRow("start") << qint64(0) << qint64(100) << 0;
        QTest::newRow("two fifths") << qint64(8) << qint64(20) << 400;
        QTest::newRow("large") << qint64(3) * 1024 * 1024 * 1024 * 1024 << qint64(4) * 1024 * 1024 * 1024 * 1024 << 750;
        QTest::newRow("no total") << qint64(0) << qint64(0) << 1000;
        QTest::newRow("negative total") << qint64(5) << qint64(-1) << 1000;
    }
    void progressValues()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(int, value);
        QCOMPARE(OperationProgressDialog::progressValue(done, total), value);
    }

    // The bar follows every step; the text at most twice a second, and the
    // last step's text always.
    void progressLabelFollowsWithoutFlooding()
    {
        WindowFixture fixture;
        MainWindow* window = fixture.window.get();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QStringList labels;
        QList<int> values;
        window->runOperation(QStringLiteral("Teste"), QStringLiteral("início"), [&](OperationProgressDialog& progress) {
            const auto record = [&] {
                labels.append(progress.labelText());
                values.append(progress.value());
            };
            progress.step(1, 10, QStringLiteral("um"));
            record();
            progress.step(2, 10, QStringLiteral("dois"));
            record();
            QTest::qWait(600);
            progress.step(3, 10, QStringLiteral("três"));
            record();
            progress.step(10, 10, QStringLiteral("fim"));
            record();
            return true;
        });
        QCOMPARE(labels, (QStringList{"um", "um", "três", "fim"}));
        QCOMPARE(values, (QList<int>{100, 200, 300, 1000}));
    }

    void closingLocksTheVault()
    {
        VaultOnDrive drive;
        QVERIFY(drive.setUp({{"a.txt", "a"}}));
        // Locked: closes without a question.
        QVERIFY(drive.window()->close());
        QCOMPARE(drive.driver.boxes().size(), 0);

        drive.window()->show();
        QVERIFY(drive.unlock());
        // Earlier tests' windows leave their workspaces: a window that is
        // destroyed without closing does not lock.
        const QString workspaces = QDir(QDir::tempPath()).filePath(QStringLiteral("Kavendru"));
        const qsizetype open = QDir(workspaces).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
        QVERIFY(open >= 1);
        QVERIFY(drive.window()->close());
        QCOMPARE(drive.driver.boxes().size(), 0);
        QCOMPARE(QDir(workspaces).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), open - 1);
    }
};

int main(int argc, char* argv[])
{
    UiTestEnvironment environment;
    // A screen of 1280 x 984 for the size rule.
    const QString config = QDir(qEnvironmentVariable("TMPDIR")).filePath(QStringLiteral("screen.json"));
    if (!writeWholeFile(config, R"({"screens": [{"name": "tela", "x": 0, "y": 0, "width": 1280, "height": 984}]})"))
        return 1;
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
    QApplication app(argc, argv);
    TestMainWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"

// The tool's window: its size on each screen, menus, buttons and texts, the
// background picture, where it finds the bundles it deploys, the yes/no
// question and the about dialog.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"
#include "common/TestSupport.h"

#include <QImage>
#include <QJsonArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <algorithm>
#include <cstdio>

using namespace ConfigTest;

namespace {

std::unique_ptr<ConfigWindow> makeWindow(QList<UsbDevice> drives = {})
{
    auto list = std::make_shared<QList<UsbDevice>>(std::move(drives));
    return std::make_unique<ConfigWindow>(std::make_unique<FakeDeviceManager>(list));
}

// Run as a child with a screen of the test's choice: prints what the window
// made of it.
int printWindowSizes()
{
    const std::unique_ptr<ConfigWindow> window = makeWindow();
    const QSize central = window->centralWidget()->size();
    const bool fixed = window->minimumSize() == window->maximumSize() && window->size() == window->minimumSize();
    std::printf("central=%dx%d window=%dx%d fixed=%d\n", central.width(), central.height(), window->width(),
                window->height(), fixed ? 1 : 0);
    return 0;
}

QString toolFolder()
{
    return QCoreApplication::applicationDirPath();
}

QString buildFolder()
{
    return developerBuildDirectory();
}

// Every place where a test puts a bundle candidate, beside the tool and in
// the developer build folder, both private to this test.
void clearCandidates()
{
    const QDir tool(toolFolder());
    for (const QString& name : {QStringLiteral("bundles"), QStringLiteral("Kavendru"), QStringLiteral("Kavendru.exe"),
                                QStringLiteral("../windows-x64"), QStringLiteral("../linux-x64"),
                                QStringLiteral("../../linux-x64"), QStringLiteral("../../out")}) {
        const QString path = tool.filePath(name);
        if (QFileInfo(path).isDir())
            QDir(path).removeRecursively();
        else
            QFile::remove(path);
    }
    QDir(buildFolder()).removeRecursively();
}

bool makeCandidate(const QString& path, bool asFolder)
{
    const QString clean = QDir::cleanPath(path);
    if (asFolder)
        return QDir().mkpath(clean);
    return QDir().mkpath(QFileInfo(clean).absolutePath()) && KavendruTest::writeWholeFile(clean, "ELF");
}

QStringList actionTexts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts.append(action->isSeparator() ? QStringLiteral("---") : action->text());
    return texts;
}

QPushButton* buttonWithText(QWidget* window, const QString& text)
{
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QLabel* labelWithText(QWidget* window, const QString& text)
{
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->text() == text)
            return label;
    }
    return nullptr;
}

// Four vertical stripes (or horizontal ones for a tall picture), one colour
// each, so a crop or a stretch shows in the pixels.
QPixmap stripes(const QSize& size)
{
    QImage image(size, QImage::Format_RGB32);
    const QColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
    const bool wide = size.width() >= size.height();
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int band = wide ? x * 4 / size.width() : y * 4 / size.height();
            image.setPixelColor(x, y, colours[band]);
        }
    }
    return QPixmap::fromImage(image);
}

} // namespace

class ConfigWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { clearCandidates(); }
    void cleanupTestCase() { clearCandidates(); }

    void sizeOnScreen_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QSize>("central");
        QTest::newRow("1920x1040") << QSize(1920, 1040) << QSize(1152, 648);
        QTest::newRow("2560x1400") << QSize(2560, 1400) << QSize(1152, 648);
        QTest::newRow("1280x984: at least 900 wide") << QSize(1280, 984) << QSize(900, 506);
        QTest::newRow("1024x500: height limits") << QSize(1024, 500) << QSize(888, 500);
        QTest::newRow("1600x600") << QSize(1600, 600) << QSize(960, 540);
        QTest::newRow("1280x400") << QSize(1280, 400) << QSize(711, 400);
        QTest::newRow("2560x600: limited after the 1152 case") << QSize(2560, 600) << QSize(1066, 600);
    }

    void sizeOnScreen()
    {
        QFETCH(QSize, screen);
        QFETCH(QSize, central);
        const auto dir = KavendruTest::makeTempDir();
        const QString config = dir->filePath(QStringLiteral("screen.json"));
        const QJsonObject screenObject{{QStringLiteral("name"), QStringLiteral("tela")},
                                       {QStringLiteral("x"), 0},
                                       {QStringLiteral("y"), 0},
                                       {QStringLiteral("width"), screen.width()},
                                       {QStringLiteral("height"), screen.height()}};
        const QJsonObject configuration{{QStringLiteral("screens"), QJsonArray{screenObject}}};
        QVERIFY(KavendruTest::writeWholeFile(config, QJsonDocument(configuration).toJson()));

        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
        environment.insert(QStringLiteral("KAVENDRU_TEST_PRINT_WINDOW_SIZE"), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        const QString output = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^central=(\\d+)x(\\d+) window=(\\d+)x(\\d+) fixed=(\\d)$")).match(output);
        QVERIFY2(match.hasMatch(), qPrintable(output));
        QCOMPARE(QSize(match.captured(1).toInt(), match.captured(2).toInt()), central);
        // Menu and status bar come on top; the user cannot resize.
        QVERIFY(match.captured(3).toInt() >= central.width());
        QVERIFY(match.captured(4).toInt() > central.height());
        QCOMPARE(match.captured(5), QStringLiteral("1"));
    }

    void sizeWithoutScreen() { QCOMPARE(centralAreaSize(std::nullopt), QSize(960, 540)); }

    void menusButtonsAndTexts()
    {
        const auto window = makeWindow();
        QCOMPARE(window->windowTitle(), QStringLiteral("Kavendru - Gerenciador"));

        const QList<QAction*> menus = window->menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus.at(0)->text(), QStringLiteral("Arquivo"));
        QCOMPARE(actionTexts(menus.at(0)->menu()),
                 QStringList({QStringLiteral("Atualizar lista"), QStringLiteral("Preparar unidade USB"),
                              QStringLiteral("Reciclar espaço de trabalho"), QStringLiteral("---"),
                              QStringLiteral("Sair")}));
        QCOMPARE(menus.at(1)->text(), QStringLiteral("Ajuda"));
        QCOMPARE(actionTexts(menus.at(1)->menu()),
                 QStringList({QStringLiteral("Verificar atualizações"), QStringLiteral("---"),
                              QStringLiteral("Sobre o sistema")}));
        QCOMPARE(menus.at(0)->menu()->actions().last()->shortcut(), QKeySequence(QKeySequence::Quit));

        // Left to right: refresh alone, then the check and the preparation.
        QPushButton* refresh = buttonWithText(window.get(), QStringLiteral("Atualizar lista"));
        QPushButton* check = buttonWithText(window.get(), QStringLiteral("Verificar atualizações"));
        QPushButton* prepare = buttonWithText(window.get(), QStringLiteral("Preparar unidade USB"));
        QVERIFY(refresh && check && prepare);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(refresh->x() < check->x() && check->x() < prepare->x());
        QVERIFY(check->x() - (refresh->x() + refresh->width()) > 100);

        for (const QString& text : {QStringLiteral("Unidade USB:"), QStringLiteral("Fonte Windows:"),
                                    QStringLiteral("Fonte Linux:"),
                                    QStringLiteral("Preparador de unidade USB para o ambiente portátil Kavendru.")})
            QVERIFY2(labelWithText(window.get(), text), qPrintable(text));
        QLabel* marketing = window->findChild<QLabel*>(QStringLiteral("marketingLabel"));
        QVERIFY(marketing);
        QVERIFY(marketing->text().startsWith(QStringLiteral("Suas informações merecem proteção.\n")));

        QLabel* version = labelWithText(window.get(), QStringLiteral("Versão 1.0.5"));
        QVERIFY(version);
        QVERIFY(window->statusBar()->isAncestorOf(version));

        auto* combo = window->findChild<QComboBox*>();
        QVERIFY(combo);
        QCOMPARE(combo->width(), 340);
        auto* log = window->findChild<QTextEdit*>();
        QVERIFY(log);
        QVERIFY(log->isReadOnly());
        QCOMPARE(log->height(), 100);
        // The log sits at the bottom of the panel, below the buttons.
        QVERIFY(log->mapTo(window.get(), QPoint(0, 0)).y() > prepare->mapTo(window.get(), QPoint(0, 0)).y());
    }

    void quitClosesTheWindow()
    {
        const auto window = makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        // The offscreen platform binds no key to Quit; the action is what counts.
        window->menuBar()->actions().at(0)->menu()->actions().last()->trigger();
        QTRY_VERIFY(!window->isVisible());
    }

    void backgroundFillsCentredAndCropped_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("widget");
        QTest::addColumn<QList<QPoint>>("points");
        QTest::addColumn<QList<QColor>>("colours");
        // A 2:1 picture in a square shows its two middle stripes.
        QTest::newRow("wider than the widget")
            << QSize(200, 100) << QSize(100, 100) << QList<QPoint>{{2, 50}, {48, 50}, {52, 50}, {97, 50}}
            << QList<QColor>{Qt::green, Qt::green, Qt::blue, Qt::blue};
        QTest::newRow("taller than the widget")
            << QSize(100, 200) << QSize(100, 100) << QList<QPoint>{{50, 2}, {50, 48}, {50, 52}, {50, 97}}
            << QList<QColor>{Qt::green, Qt::green, Qt::blue, Qt::blue};
        // Same proportions: scaled whole, all four stripes.
        QTest::newRow("same proportions")
            << QSize(160, 90) << QSize(320, 180) << QList<QPoint>{{20, 90}, {100, 90}, {180, 90}, {300, 90}}
            << QList<QColor>{Qt::red, Qt::green, Qt::blue, Qt::yellow};
    }

    void backgroundFillsCentredAndCropped()
    {
        QFETCH(QSize, picture);
        QFETCH(QSize, widget);
        QFETCH(QList<QPoint>, points);
        QFETCH(QList<QColor>, colours);
        BackgroundWidget background;
        background.setFixedSize(widget);
        background.pixmap = stripes(picture);
        const QImage shown = background.grab().toImage();
        QCOMPARE(shown.size(), widget);
        for (int i = 0; i < points.size(); ++i)
            QCOMPARE(shown.pixelColor(points.at(i)), colours.at(i));
    }

    void backgroundWithoutPicture()
    {
        BackgroundWidget background;
        background.setFixedSize(40, 30);
        background.setAutoFillBackground(true);
        QPalette palette;
        palette.setColor(QPalette::Window, Qt::magenta);
        background.setPalette(palette);
        QCOMPARE(background.grab().toImage().pixelColor(20, 15), QColor(Qt::magenta));
    }

    void backgroundIsOneOfTheTwo()
    {
        const QStringList resources{QStringLiteral(":/backgrounds/Fundo01.png"),
                                    QStringLiteral(":/backgrounds/Fundo02.png")};
        QList<QImage> pictures;
        for (const QString& resource : resources) {
            const QImage picture(resource);
            QVERIFY2(!picture.isNull(), qPrintable(resource));
            QVERIFY(picture.width() >= 1280);
            QCOMPARE(picture.width() * 9, picture.height() * 16);
            pictures.append(picture);
        }
        QVERIFY(pictures.at(0) != pictures.at(1));

        QSet<QString> drawn;
        for (int i = 0; i < 200; ++i)
            drawn.insert(chooseBackground());
        QCOMPARE(drawn, QSet<QString>(resources.cbegin(), resources.cend()));

        const auto window = makeWindow();
        auto* background = dynamic_cast<BackgroundWidget*>(window->centralWidget());
        QVERIFY(background);
        QVERIFY(pictures.contains(background->pixmap.toImage().convertToFormat(pictures.at(0).format())));
    }

    void bundleSources_data()
    {
        QTest::addColumn<QStringList>("besideTool");
        QTest::addColumn<QStringList>("inBuildFolder");
        QTest::addColumn<QString>("windowsFound");
        QTest::addColumn<QString>("linuxFound");
        QTest::addColumn<bool>("fromBuildTree");

        QTest::newRow("none") << QStringList() << QStringList() << QString() << QString() << false;
        QTest::newRow("first list order beside the tool")
            << QStringList({QStringLiteral("Kavendru"), QStringLiteral("bundles/linux-x64/Kavendru")}) << QStringList()
            << QString() << QStringLiteral("T/bundles/linux-x64/Kavendru") << false;
        QTest::newRow("one folder up")
            << QStringList({QStringLiteral("../linux-x64/Kavendru"), QStringLiteral("../../linux-x64/Kavendru")})
            << QStringList() << QString() << QStringLiteral("T/../linux-x64/Kavendru") << false;
        QTest::newRow("two folders up") << QStringList({QStringLiteral("../../linux-x64/Kavendru")})
                                        << QStringList() << QString()
                                        << QStringLiteral("T/../../linux-x64/Kavendru") << false;
        QTest::newRow("beside the tool wins over the build folder")
            << QStringList({QStringLiteral("Kavendru")}) << QStringList({QStringLiteral("bundles/linux-x64/Kavendru")})
            << QString() << QStringLiteral("T/Kavendru") << false;
        QTest::newRow("second list order in the build folder")
            << QStringList()
            << QStringList({QStringLiteral("out/build/linux-x64-release/Kavendru"),
                            QStringLiteral("bundles/linux-x64/Kavendru")})
            << QString() << QStringLiteral("B/bundles/linux-x64/Kavendru") << true;
        QTest::newRow("build folder's parent")
            << QStringList()
            << QStringList({QStringLiteral("../out/build/linux-x64-release/Kavendru/Kavendru"),
                            QStringLiteral("bundles/linux-x64/Kavendru")})
            << QString() << QStringLiteral("B/../out/build/linux-x64-release/Kavendru/Kavendru") << true;
        QTest::newRow("windows beside the tool, linux in the build folder")
            << QStringList({QStringLiteral("../windows-x64/Kavendru.exe")})
            << QStringList({QStringLiteral("bundles/linux-x64/Kavendru")})
            << QStringLiteral("T/../windows-x64/Kavendru.exe") << QStringLiteral("B/bundles/linux-x64/Kavendru")
            << true;
        QTest::newRow("windows install folder") << QStringList()
                                                << QStringList({QStringLiteral("out/install/x64-release/bin/Kavendru.exe")})
                                                << QStringLiteral("B/out/install/x64-release/bin/Kavendru.exe")
                                                << QString() << true;
        QTest::newRow("a folder counts as found")
            << QStringList({QStringLiteral("Kavendru.exe/")}) << QStringList() << QStringLiteral("T/Kavendru.exe")
            << QString() << false;
    }

    void bundleSources()
    {
        QFETCH(QStringList, besideTool);
        QFETCH(QStringList, inBuildFolder);
        QFETCH(QString, windowsFound);
        QFETCH(QString, linuxFound);
        QFETCH(bool, fromBuildTree);
        const auto expand = [](QString path) {
            if (path.startsWith(QLatin1String("T/")))
                return QDir(toolFolder()).filePath(path.mid(2));
            if (path.startsWith(QLatin1String("B/")))
                return QDir(buildFolder()).filePath(path.mid(2));
            return path;
        };
        for (const QString& candidate : besideTool)
            QVERIFY(makeCandidate(QDir(toolFolder()).filePath(candidate), candidate.endsWith(QLatin1Char('/'))));
        for (const QString& candidate : inBuildFolder)
            QVERIFY(makeCandidate(QDir(buildFolder()).filePath(candidate), false));

        const auto window = makeWindow();
        QCOMPARE(window->windowsSource.executablePath, expand(windowsFound));
        QCOMPARE(window->linuxSource.executablePath, expand(linuxFound));
        const BundleSource& found = linuxFound.isEmpty() ? window->windowsSource : window->linuxSource;
        QCOMPARE(found.fromBuildTree, fromBuildTree);
        if (!found.executablePath.isEmpty())
            QCOMPARE(QFileInfo(found.runtimeDirectory).canonicalFilePath(),
                     QFileInfo(found.executablePath).dir().canonicalPath());
        else
            QVERIFY(found.runtimeDirectory.isEmpty());

        const auto state = [](const QString& path) {
            return path.isEmpty() ? QStringLiteral("ausente") : QStringLiteral("encontrada");
        };
        const QStringList log = lines(window->findChild<QTextEdit*>()->toPlainText());
        QVERIFY(log.size() >= 2);
        QCOMPARE(log.at(0), QStringLiteral("Fonte Windows para preparação %1.").arg(state(windowsFound)));
        QCOMPARE(log.at(1), QStringLiteral("Fonte Linux para preparação %1.").arg(state(linuxFound)));
        QCOMPARE(window->windowsSourceLabel->text(),
                 windowsFound.isEmpty() ? QStringLiteral("Ausente") : QStringLiteral("Disponível"));
        QCOMPARE(window->linuxSourceLabel->text(),
                 linuxFound.isEmpty() ? QStringLiteral("Ausente") : QStringLiteral("Disponível"));
    }

    void askYesNoAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("yes");
        QTest::newRow("Sim") << "Sim" << true;
        QTest::newRow("Não") << "Não" << false;
        QTest::newRow("Escape") << "<Escape>" << false;
        QTest::newRow("Return takes the default") << "<Return>" << false;
    }

    void askYesNoAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(bool, yes);
        ModalDriver driver;
        driver.answerBox(answer);
        QCOMPARE(askYesNo(nullptr, QStringLiteral("Título"), QStringLiteral("Pergunta?")), yes);
        QCOMPARE(driver.boxes().size(), 1);
        const SeenBox& box = driver.boxes().first();
        QCOMPARE(box.title, QStringLiteral("Título"));
        QCOMPARE(box.text, QStringLiteral("Pergunta?"));
        QCOMPARE(box.icon, QMessageBox::Question);
        QCOMPARE(box.buttons, QStringList({QStringLiteral("Sim"), QStringLiteral("Não")}));
        QCOMPARE(box.defaultButton, QStringLiteral("Não"));
    }

    void aboutDialog()
    {
        const auto window = makeWindow();
        ModalDriver driver;
        QStringList seen;
        QString components;
        QSize size;
        bool modal = false;
        driver.onNext([&](QWidget* widget) {
            auto* dialog = qobject_cast<QDialog*>(widget);
            if (!dialog || qobject_cast<QMessageBox*>(widget))
                return false;
            seen.append(dialog->windowTitle());
            for (const QLabel* label : dialog->findChildren<QLabel*>())
                seen.append(label->text());
            components = dialog->findChild<QPlainTextEdit*>()->toPlainText();
            size = dialog->size();
            modal = dialog->isModal();
            QPushButton* close = buttonWithText(dialog, QStringLiteral("Fechar"));
            if (close)
                close->click();
            return true;
        });
        window->aboutAction->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(seen.value(0), QStringLiteral("Sobre o Kavendru - Gerenciador"));
        QVERIFY(modal);
        QCOMPARE(size, QSize(720, 430));
        QVERIFY(seen.contains(QStringLiteral("Kavendru - Gerenciador")));
        QVERIFY(seen.contains(QStringLiteral("Componentes relevantes:")));
        const QString version = QStringLiteral("Preparador e atualizador de unidades USB Kavendru<br>Versão 1.0.5");
        QVERIFY(std::any_of(seen.cbegin(), seen.cend(), [&](const QString& text) { return text.startsWith(version); }));
        const QString runtime = QStringLiteral("Ambiente de execução\n%1\nQt %2\n%3")
                                    .arg(QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()),
                                         QSysInfo::currentCpuArchitecture());
        QVERIFY(seen.contains(runtime));
        const QStringList componentLines = components.split(QLatin1Char('\n'));
        QCOMPARE(componentLines.size(), 8);
        QCOMPARE(componentLines.at(0), QStringLiteral("Qt Core/Network/Widgets - %1").arg(qVersion()));
        QCOMPARE(componentLines.at(2), QString());
        QCOMPARE(componentLines.at(6), QStringLiteral("Microsoft Windows APIs"));
    }
};

int main(int argc, char* argv[])
{
    KavendruTest::enterPrivateMountNamespace();
    ConfigTest::PrivateEnvironment environment;
    QApplication app(argc, argv);
    applyApplicationIdentity();
    if (qEnvironmentVariableIsSet("KAVENDRU_TEST_PRINT_WINDOW_SIZE"))
        return printWindowSizes();
    ConfigWindowTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_configwindow.moc"

// The drive list and the choice of a container: rows, the default row, the
// highlight of the container's drive, double-click and "Escolher container...".
#include "MainWindowTestSupport.h"

#include <QDir>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

using namespace KavendruTest;
using Kavendru::UI::MainWindow;

namespace {

QStringList rowTexts(MainWindow* window)
{
    QStringList texts;
    for (int row = 0; row < driveList(window)->count(); ++row)
        texts.append(driveList(window)->item(row)->text());
    return texts;
}

void doubleClickDrive(MainWindow* window, int row)
{
    QListWidget* list = driveList(window);
    const QRect rect = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

} // namespace

class TestWindowDrives : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir = makeTempDir();
        pen = dir->filePath(QStringLiteral("PEN"));
        pen2 = dir->filePath(QStringLiteral("PEN2"));
        QVERIFY(QDir().mkpath(pen) && QDir().mkpath(pen2));
    }

    void rowsForMountedAndUnmountedDrives()
    {
        WindowFixture fixture({mountedDrive(pen, "PEN"), unmountedDrive("/dev/sdc1", "PEN"),
                               unmountedDrive(QString(), QString()), mountedDrive("/nao/existe", QString())});
        MainWindow* window = fixture.window.get();
        const QStringList texts = rowTexts(window);
        QCOMPARE(texts.size(), 4);
        QVERIFY2(texts.at(0).startsWith(QStringLiteral("PEN (%1) | ").arg(pen)) && texts.at(0).endsWith(" livres"),
                 qPrintable(texts.at(0)));
        QCOMPARE(texts.at(1), QStringLiteral("PEN (/dev/sdc1) | não montado"));
        QCOMPARE(texts.at(2), QStringLiteral("não montado (não montado) | não montado"));
        QCOMPARE(texts.at(3), QStringLiteral("/nao/existe (/nao/existe)"));
        QListWidgetItem* unmounted = driveList(window)->item(1);
        QVERIFY(!(unmounted->flags() & Qt::ItemIsSelectable));
        QVERIFY(unmounted->flags() & Qt::ItemIsEnabled);
        QCOMPARE(unmounted->foreground().color(), QColor(110, 110, 110));
        QCOMPARE(unmounted->toolTip(), QStringLiteral("Monte a unidade USB no gerenciador de arquivos e atualize a lista."));
    }

    void defaultRow_data()
    {
        QTest::addColumn<int>("mounted");
        QTest::addColumn<bool>("current");
        QTest::newRow("one mounted drive") << 1 << true;
        QTest::newRow("two mounted drives") << 2 << false;
    }
    void defaultRow()
    {
        QFETCH(int, mounted);
        QFETCH(bool, current);
        QList<UsbDevice> drives{unmountedDrive("/dev/sdc1", "OUTRO"), mountedDrive(pen, "PEN")};
        if (mounted == 2)
            drives.append(mountedDrive(pen2, "PEN2"));
        WindowFixture fixture(drives);
        MainWindow* window = fixture.window.get();
        QCOMPARE(driveList(window)->currentRow(), current ? 1 : -1);
        // Again after "Atualizar lista".
        menuAction(window, {"USB", "Dispositivos", "Atualizar lista"})->trigger();
        QCOMPARE(driveList(window)->currentRow(), current ? 1 : -1);
    }

    void noticeWithoutDrives()
    {
        WindowFixture fixture;
        QCOMPARE(rowTexts(fixture.window.get()), QStringList({"Nenhum dispositivo USB detectado."}));
        QCOMPARE(driveList(fixture.window.get())->currentRow(), -1);
    }

    // PEN2 is listed first: a prefix test that took /PEN as a prefix of
    // /PEN2 would let the later row, PEN, win.
    void doubleClickChoosesTheDrivesContainer()
    {
        QVERIFY(writeVaultWithFiles(QDir(pen2).filePath("kavendru.susb"), "senha-do-teste-1", {}));
        WindowFixture fixture({mountedDrive(pen2, "PEN2"), mountedDrive(pen, "PEN")});
        MainWindow* window = fixture.window.get();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        doubleClickDrive(window, 0);
        QCOMPARE(driveList(window)->currentRow(), 0);
        QListWidgetItem* highlighted = driveList(window)->item(0);
        QVERIFY(highlighted->font().bold());
        QCOMPARE(highlighted->background().color(), QColor(222, 237, 255));
        QCOMPARE(highlighted->toolTip(), QStringLiteral("Dispositivo associado ao container selecionado."));
        QVERIFY(!driveList(window)->item(1)->font().bold());
        QVERIFY(labelStartingWith(window, "Container: Kavendru"));
        QVERIFY(menuAction(window, {"USB", "Acesso ao cofre", "Desbloquear"})->isEnabled());

        // A drive without a container says so and changes nothing: the
        // container and its drive's highlight stay.
        ModalDriver driver;
        driver.answerBox("OK");
        doubleClickDrive(window, 1);
        QCOMPARE(driver.boxTexts(),
                 QStringList({QStringLiteral("Nenhum kavendru.susb foi encontrado em %1. Use Criar cofre para criar "
                                             "um novo container.")
                                  .arg(pen)}));
        QCOMPARE(driver.boxes().first().title, QStringLiteral("Kavendru"));
        QVERIFY(highlighted->font().bold());
        QVERIFY(!driveList(window)->item(1)->font().bold());
        QVERIFY(labelStartingWith(window, "Container: Kavendru"));
        QVERIFY(menuAction(window, {"USB", "Acesso ao cofre", "Desbloquear"})->isEnabled());
    }

    // With the vault locked, a click on another drive stays there and a vault
    // can be created in its root, also when the chosen container lies on no
    // listed drive; the chosen container's drive keeps its highlight. Once a
    // vault is open, the current row keeps to its drive.
    void anotherDriveForANewVault_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<int>("highlighted");
        QTest::newRow("container on the first drive") << "PEN/kavendru.susb" << 0;
        QTest::newRow("container on no drive") << "casa/cofre.susb" << -1;
    }
    void anotherDriveForANewVault()
    {
        QFETCH(QString, chosen);
        QFETCH(int, highlighted);
        const QString path = dir->filePath(chosen);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(writeVaultWithFiles(path, "senha-do-teste-1", {{"a.txt", "a"}}));
        const QByteArray before = readWholeFile(path);
        WindowFixture fixture({mountedDrive(pen, "PEN"), mountedDrive(pen2, "PEN2", "/dev/sdc1")});
        MainWindow* window = fixture.window.get();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QListWidget* list = driveList(window);
        ModalDriver driver;
        driver.answerFile(path);
        menuAction(window, {"USB", "Container", "Escolher container..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(list->currentRow(), highlighted);

        const auto click = [list](int row) {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                              list->visualItemRect(list->item(row)).center());
        };
        click(1);
        QCOMPARE(list->currentRow(), 1);
        for (int row = 0; row < 2; ++row)
            QCOMPARE(list->item(row)->font().bold(), row == highlighted);
        if (highlighted >= 0)
            QCOMPARE(list->item(highlighted)->toolTip(),
                     QStringLiteral("Dispositivo associado ao container selecionado."));
        QVERIFY(menuAction(window, {"USB", "Acesso ao cofre", "Desbloquear"})->isEnabled());

        const QString created = QDir(pen2).filePath("kavendru.susb");
        const QString password = QStringLiteral("doze-letras!");
        driver.answerFile(created);
        driver.answerPassword(password);
        driver.answerPassword(password);
        menuAction(window, {"USB", "Container", "Criar novo cofre..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.unexpected(), 0);
        QCOMPARE(driver.fileDialogStarts().last(), created);
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Cofre criado com sucesso."));
        QVERIFY(QFileInfo::exists(created));
        QCOMPARE(readWholeFile(path), before);
        QCOMPARE(list->currentRow(), 1);
        QVERIFY(list->item(1)->font().bold());
        QVERIFY(!list->item(0)->font().bold());

        // Locked, the other drive may be picked again; unlocking brings the
        // current row back to the open container's drive, and there it stays.
        click(0);
        QCOMPARE(list->currentRow(), 0);
        driver.answerPassword(password);
        padlockOf(window)->click();
        QVERIFY(driver.allHandled());
        QVERIFY(menuAction(window, {"USB", "Acesso ao cofre", "Bloquear"})->isEnabled());
        QCOMPARE(list->currentRow(), 1);
        click(0);
        QCOMPARE(list->currentRow(), 1);
        QVERIFY(list->item(1)->font().bold());
        QVERIFY(window->close());
        QCOMPARE(driver.unexpected(), 0);
    }

    void chooseContainerInASubfolderOrOutside_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("highlighted");
        QTest::newRow("subfolder of PEN") << "PEN/backup/cofre.susb" << 1;
        QTest::newRow("root of PEN2") << "PEN2/cofre.susb" << 0;
        QTest::newRow("outside every drive") << "casa/cofre.susb" << -1;
    }
    void chooseContainerInASubfolderOrOutside()
    {
        QFETCH(QString, where);
        QFETCH(int, highlighted);
        const QString path = dir->filePath(where);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(writeWholeFile(path, "qualquer"));
        WindowFixture fixture({mountedDrive(pen2, "PEN2"), mountedDrive(pen, "PEN"), unmountedDrive("/dev/sdd1")});
        MainWindow* window = fixture.window.get();
        ModalDriver driver;
        driver.answerFile(path);
        menuAction(window, {"USB", "Container", "Escolher container..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.unexpected(), 0);
        QCOMPARE(driveList(window)->currentRow(), highlighted);
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(driveList(window)->item(row)->font().bold(), row == highlighted);
            // The reset also takes the hint off the unmounted drive.
            if (row != highlighted)
                QCOMPARE(driveList(window)->item(row)->toolTip(), QString());
        }
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Container selecionado."));
        QCOMPARE(labelStartingWith(window, "Container: ")->toolTip(), QStringLiteral("Container: cofre.susb"));
        menuAction(window, {"USB", "Dispositivos", "Atualizar lista"})->trigger();
        QCOMPARE(driveList(window)->currentRow(), highlighted);
    }

    void chooseContainerCancelledChangesNothing()
    {
        WindowFixture fixture({mountedDrive(pen, "PEN")});
        MainWindow* window = fixture.window.get();
        ModalDriver driver;
        driver.answerFile(QString());
        menuAction(window, {"USB", "Container", "Escolher container..."})->trigger();
        QVERIFY(driver.allHandled());
        QCOMPARE(driver.fileDialogStarts().value(0).isEmpty() || driver.fileDialogStarts().value(0).startsWith(pen), true);
        QVERIFY(labelStartingWith(window, "Container: nenhum"));
        QVERIFY(!menuAction(window, {"USB", "Acesso ao cofre", "Desbloquear"})->isEnabled());
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString pen;
    QString pen2;
};

KAVENDRU_UI_TEST_MAIN(TestWindowDrives)

#include "tst_windowdrives.moc"

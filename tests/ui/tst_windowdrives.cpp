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

        // Another drive clicked: the current row goes back to the container's.
        const QRect other = driveList(window)->visualItemRect(driveList(window)->item(1));
        QTest::mouseClick(driveList(window)->viewport(), Qt::LeftButton, Qt::NoModifier, other.center());
        QCOMPARE(driveList(window)->currentRow(), 0);

        // A drive without a container says so and changes nothing.
        ModalDriver driver;
        driver.answerBox("OK");
        doubleClickDrive(window, 1);
        QCOMPARE(driver.boxTexts(),
                 QStringList({QStringLiteral("Nenhum kavendru.susb foi encontrado em %1. Use Criar cofre para criar "
                                             "um novo container.")
                                  .arg(pen)}));
        QCOMPARE(driver.boxes().first().title, QStringLiteral("Kavendru"));
        QCOMPARE(driveList(window)->currentRow(), 0);
        QVERIFY(labelStartingWith(window, "Container: Kavendru"));
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

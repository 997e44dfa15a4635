// As a user does it, with a folder standing for a drive: create a vault in
// its root, unlock it with the padlock, lock it, unlock it, close the
// window; then the container opens with the vault core.
#include "MainWindowTestSupport.h"

#include "core/VaultManager.h"

#include <QDir>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

using namespace KavendruTest;
using Kavendru::UI::MainWindow;

class TestWindowEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void createUnlockLockClose()
    {
        const auto dir = makeTempDir();
        const QString root = dir->filePath(QStringLiteral("PENDRIVE"));
        QVERIFY(QDir().mkpath(root));
        WindowFixture fixture({mountedDrive(root, QStringLiteral("PENDRIVE"))});
        MainWindow* window = fixture.window.get();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(driveList(window)->currentRow(), 0);

        ModalDriver driver;
        const QString password = QStringLiteral("minha senha longa");
        driver.answerFile(QDir(root).filePath(QStringLiteral("kavendru.susb")));
        driver.answerPassword(password);
        driver.answerPassword(password);
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_N, Qt::ControlModifier);
        QVERIFY(driver.allHandled());
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Cofre criado com sucesso."));
        QVERIFY(labelStartingWith(window, "Container: Kavendru"));

        driver.answerPassword(password);
        padlockOf(window)->click();
        QVERIFY(driver.allHandled());
        QVERIFY(padlockOf(window)->isChecked());
        QVERIFY(labelStartingWith(window, "Arquivos protegidos | Pasta: Raiz | O cofre está vazio."));
        QVERIFY(badgeOf(window)->styleSheet().contains(QLatin1String("#7bd88f")));

        padlockOf(window)->click();
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Cofre bloqueado."));
        QVERIFY(!padlockOf(window)->isChecked());

        driver.answerPassword(password);
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(driver.allHandled());
        QVERIFY(padlockOf(window)->isChecked());
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(!window->isVisible());
        QCOMPARE(driver.boxes().size(), 0);
        QCOMPARE(driver.unexpected(), 0);
        fixture.window.reset();

        Kavendru::Core::VaultManager vault;
        QVERIFY(vault.unlockVault(QDir(root).filePath(QStringLiteral("kavendru.susb")), password.toUtf8()));
        QVERIFY(vault.fileIndex().fileList().isEmpty());
        QVERIFY(vault.lockVault());
        QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), QStringList({"kavendru.susb"}));
    }
};

KAVENDRU_UI_TEST_MAIN(TestWindowEndToEnd)

#include "tst_window_e2e.moc"

// The file table of an unlocked vault: rows, sorting, navigation, icons.
#include "MainWindowTestSupport.h"

#include "core/SecureFileIndex.h"
#include "core/VaultFixtures.h"

#include <QDir>
#include <QHeaderView>
#include <QTemporaryDir>
#include <QTest>

using namespace KavendruTest;
using Kavendru::UI::MainWindow;

namespace {

const QString kPassword = QStringLiteral("senha-do-teste-1");

QStringList column(MainWindow* window, int index)
{
    QStringList texts;
    QTableWidget* table = fileTableOf(window);
    for (int row = 0; row < table->rowCount(); ++row)
        texts.append(table->item(row, index)->text());
    return texts;
}

void clickHeader(MainWindow* window, int section)
{
    QHeaderView* header = fileTableOf(window)->horizontalHeader();
    const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, header->height() / 2));
}

} // namespace

class TestFileTable : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        dir = makeTempDir();
        const QString root = dir->filePath(QStringLiteral("PEN"));
        QVERIFY(QDir().mkpath(root));
        const QString container = QDir(root).filePath(QStringLiteral("kavendru.susb"));
        // Sizes: alpha 3, Beta 1, gamma 3, same.txt 3 (ties by size).
        QVERIFY(writeVaultWithFiles(container, kPassword.toUtf8(),
                                    {{"gamma.txt", "ggg"},
                                     {"alpha.PDF", "aaa"},
                                     {"Beta.jpg", "b"},
                                     {"semtipo", "123"},
                                     {"Docs/x.txt", "x"},
                                     {"docs/sub/y.key", "y"}},
                                    {"Docs", "docs/sub", "Zeta", "arquivo"}));
        fixture = std::make_unique<WindowFixture>(QList<UsbDevice>{mountedDrive(root, "PEN")});
        window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(window()));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(window(), driver, container, kPassword));
    }

    void rootRows()
    {
        QCOMPARE(tableNames(window()), QStringList({"arquivo", "Docs", "Zeta", "alpha.PDF", "Beta.jpg", "gamma.txt", "semtipo"}));
        QCOMPARE(column(window(), 3), QStringList({"Pasta", "Pasta", "Pasta", "PDF", "JPG", "TXT", "Arquivo"}));
        QTableWidget* table = fileTableOf(window());
        const int beta = rowNamed(window(), "Beta.jpg");
        QCOMPARE(table->item(beta, 2)->textAlignment(), int(Qt::AlignRight | Qt::AlignVCenter));
        QCOMPARE(table->item(beta, 3)->textAlignment(), int(Qt::AlignCenter));
        QVERIFY(!table->item(beta, 4)->text().isEmpty());
        QVERIFY(!table->item(beta, 0)->icon().isNull());
        QCOMPARE(table->item(rowNamed(window(), "Docs"), 2)->text(), QString());
        QCOMPARE(table->currentRow(), -1);
        QVERIFY(table->selectedItems().isEmpty());
    }

    void sorting_data()
    {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<int>("indicator");
        QTest::addColumn<int>("order");
        QTest::newRow("name descending") << QList<int>{1} << QStringList({"Zeta", "Docs", "arquivo", "semtipo", "gamma.txt", "Beta.jpg", "alpha.PDF"}) << 1 << 1;
        // Folders by name, files by size; equal sizes by name, all reversed.
        QTest::newRow("size ascending") << QList<int>{2} << QStringList({"arquivo", "Docs", "Zeta", "Beta.jpg", "alpha.PDF", "gamma.txt", "semtipo"}) << 2 << 0;
        QTest::newRow("size descending") << QList<int>{2, 2} << QStringList({"Zeta", "Docs", "arquivo", "semtipo", "gamma.txt", "alpha.PDF", "Beta.jpg"}) << 2 << 1;
        QTest::newRow("type ascending") << QList<int>{3} << QStringList({"arquivo", "Docs", "Zeta", "semtipo", "Beta.jpg", "alpha.PDF", "gamma.txt"}) << 3 << 0;
        QTest::newRow("new section starts ascending") << QList<int>{2, 2, 3} << QStringList({"arquivo", "Docs", "Zeta", "semtipo", "Beta.jpg", "alpha.PDF", "gamma.txt"}) << 3 << 0;
        // The icon column is ignored, and its indicator goes back.
        QTest::newRow("icon column ignored") << QList<int>{2, 0} << QStringList({"arquivo", "Docs", "Zeta", "Beta.jpg", "alpha.PDF", "gamma.txt", "semtipo"}) << 2 << 0;
    }
    void sorting()
    {
        QFETCH(QList<int>, clicks);
        QFETCH(QStringList, names);
        QFETCH(int, indicator);
        QFETCH(int, order);
        // Back to name ascending first.
        while (fileTableOf(window())->horizontalHeader()->sortIndicatorSection() != 1
               || fileTableOf(window())->horizontalHeader()->sortIndicatorOrder() != Qt::AscendingOrder)
            clickHeader(window(), 1);
        for (int section : clicks)
            clickHeader(window(), section);
        QCOMPARE(tableNames(window()), names);
        QCOMPARE(fileTableOf(window())->horizontalHeader()->sortIndicatorSection(), indicator);
        QCOMPARE(int(fileTableOf(window())->horizontalHeader()->sortIndicatorOrder()), order);
        QCOMPARE(fileTableOf(window())->currentRow(), -1);
    }

    void navigation()
    {
        while (fileTableOf(window())->horizontalHeader()->sortIndicatorSection() != 1
               || fileTableOf(window())->horizontalHeader()->sortIndicatorOrder() != Qt::AscendingOrder)
            clickHeader(window(), 1);
        // Docs/x.txt and docs/sub show in the folder Docs: parents compare
        // without regard to case.
        doubleClickRow(window(), rowNamed(window(), "Docs"));
        QCOMPARE(tableNames(window()), QStringList({"..", "sub", "x.txt"}));
        QVERIFY(labelStartingWith(window(), "Arquivos protegidos | Pasta: Docs | 6 arquivos no cofre."));
        doubleClickRow(window(), rowNamed(window(), "sub"));
        QCOMPARE(tableNames(window()), QStringList({"..", "y.key"}));
        clickRow(window(), 0);
        QVERIFY(!menuAction(window(), {"USB", "Acesso ao cofre", "Arquivos protegidos", "Renomear pasta..."})->isEnabled());
        QVERIFY(!menuAction(window(), {"USB", "Acesso ao cofre", "Arquivos protegidos", "Abrir"})->isEnabled());
        doubleClickRow(window(), 0);
        QCOMPARE(tableNames(window()), QStringList({"..", "sub", "x.txt"}));
        doubleClickRow(window(), 0);
        QCOMPARE(tableNames(window()).first(), QStringLiteral("arquivo"));
    }

    void contextMenuOffersFileActionsOnFileRows()
    {
        QTableWidget* table = fileTableOf(window());
        const auto menuTexts = [table](int row) {
            QStringList texts;
            QTimer::singleShot(50, [&texts] {
                if (QWidget* popup = QApplication::activePopupWidget()) {
                    for (QAction* action : popup->actions())
                        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
                    popup->close();
                }
            });
            const QPoint at = row >= 0 ? table->visualRect(table->model()->index(row, 1)).center() : QPoint(5, table->viewport()->height() - 5);
            table->customContextMenuRequested(at);
            return texts;
        };
        QCOMPARE(menuTexts(rowNamed(window(), "gamma.txt")),
                 QStringList({"Nova pasta...", "Renomear pasta...", "Excluir pasta vazia", "-", "Importar...",
                              "Exportar...", "Abrir", "Mover para pasta...", "Renomear arquivo...", "-", "Excluir..."}));
        QCOMPARE(table->item(table->currentRow(), 1)->text(), QStringLiteral("gamma.txt"));
        QCOMPARE(menuTexts(rowNamed(window(), "Zeta")),
                 QStringList({"Nova pasta...", "Renomear pasta...", "Excluir pasta vazia", "-", "Importar...",
                              "Exportar...", "Abrir", "-", "Excluir..."}));
        QVERIFY(menuAction(window(), {"USB", "Acesso ao cofre", "Arquivos protegidos", "Renomear pasta..."})->isEnabled());
    }

    // Rows that compare equal (names differing only in case, same size)
    // keep the index's order in both directions.
    void tiesKeepTheIndexOrder()
    {
        const auto folder = makeTempDir();
        const QString root = folder->filePath(QStringLiteral("PEN"));
        QVERIFY(QDir().mkpath(root));
        Kavendru::Core::SecureFileIndex index;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        int id = 0;
        for (const char* path : {"Nota.txt", "b.txt", "NOTA.txt", "nota.TXT"}) {
            Kavendru::Core::VaultFileEntry entry;
            entry.id = QString::number(++id);
            entry.vaultPath = QLatin1String(path);
            entry.sizeBytes = 10;
            entry.lastModifiedUtc = now;
            QVERIFY(index.addOrReplace(entry));
        }
        const QString container = QDir(root).filePath(QStringLiteral("kavendru.susb"));
        QVERIFY(writeFastVault(container, kPassword.toUtf8(), index));
        WindowFixture other({mountedDrive(root, "PEN")});
        other.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(other.window.get()));
        ModalDriver driver;
        QVERIFY(chooseAndUnlock(other.window.get(), driver, container, kPassword));
        QCOMPARE(tableNames(other.window.get()), QStringList({"b.txt", "Nota.txt", "NOTA.txt", "nota.TXT"}));
        clickHeader(other.window.get(), 1);
        QCOMPARE(tableNames(other.window.get()), QStringList({"Nota.txt", "NOTA.txt", "nota.TXT", "b.txt"}));
        clickHeader(other.window.get(), 2); // one size: ties by name
        QCOMPARE(tableNames(other.window.get()), QStringList({"b.txt", "Nota.txt", "NOTA.txt", "nota.TXT"}));
    }

private:
    MainWindow* window() { return fixture->window.get(); }
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<WindowFixture> fixture;
};

KAVENDRU_UI_TEST_MAIN(TestFileTable)

#include "tst_filetable.moc"

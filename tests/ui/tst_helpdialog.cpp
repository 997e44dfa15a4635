#include "UiTestSupport.h"

#include "ui/HelpDialog.h"

#include <QDesktopServices>
#include <QFile>
#include <QImage>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextImageFormat>
#include <QTextTable>
#include <QTimer>
#include <QUrl>

using Kavendru::UI::HelpDialog;
using KavendruTest::findButton;

namespace {

const QString kFlowPicture = QStringLiteral("qrc:/help/pt_BR/images/fluxo-uso.png");
const QString kToolPicture = QStringLiteral("qrc:/help/pt_BR/images/gerenciador-pacotes.png");

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls.append(url); }
};

QList<QTextImageFormat> pictures(const QTextDocument* document)
{
    QList<QTextImageFormat> found;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().isImageFormat())
                found.append(it.fragment().charFormat().toImageFormat());
        }
    }
    return found;
}

QString cellText(QTextTable* table, int row, int column)
{
    const QTextTableCell cell = table->cellAt(row, column);
    QTextCursor cursor = cell.firstCursorPosition();
    cursor.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
    return cursor.selectedText().simplified();
}

// Rows of the page's table whose header starts with the given cell.
QList<QStringList> tableRows(QTextDocument* document, const QString& firstHeader)
{
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        QTextTable* table = QTextCursor(block).currentTable();
        if (!table || cellText(table, 0, 0) != firstHeader)
            continue;
        QList<QStringList> rows;
        for (int row = 1; row < table->rows(); ++row) {
            QStringList cells;
            for (int column = 0; column < table->columns(); ++column)
                cells << cellText(table, row, column);
            rows << cells;
        }
        return rows;
    }
    return {};
}

} // namespace

class TestHelpDialog : public QObject {
    Q_OBJECT

private slots:
    void showsTheHelpPage()
    {
        HelpDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Ajuda do Kavendru"));
        QCOMPARE(dialog.size(), QSize(760, 560));
        auto* browser = dialog.findChild<QTextBrowser*>();
        QVERIFY(browser);
        QCOMPARE(browser->document()->metaInformation(QTextDocument::DocumentTitle),
                 QStringLiteral("Ajuda do Kavendru"));
        const QString text = browser->toPlainText();
        QVERIFY2(text.startsWith(QLatin1String("Ajuda do Kavendru\n")), qPrintable(text.left(200)));
        QVERIFY(text.contains(QLatin1String("kavendru.susb")));
        QVERIFY(browser->openExternalLinks());
    }

    void picturesResolve_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("usage flow") << kFlowPicture;
        QTest::newRow("drive preparation tool") << kToolPicture;
    }

    void picturesResolve()
    {
        QFETCH(QString, url);
        HelpDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* browser = dialog.findChild<QTextBrowser*>();
        QTextDocument* document = browser->document();

        QTextImageFormat format;
        for (const QTextImageFormat& picture : pictures(document)) {
            if (picture.name() == url)
                format = picture;
        }
        QVERIFY2(format.isValid(), "the page refers to the picture");

        // What the page names is a 900x360 picture compiled into the program...
        const QImage source = QImage::fromData(
            browser->loadResource(QTextDocument::ImageResource, QUrl(url)).toByteArray());
        QCOMPARE(source.size(), QSize(900, 360));
        // ...and the document holds it, at the size the page shows it.
        const QImage shown = document->resource(QTextDocument::ImageResource, QUrl(url)).value<QImage>();
        QVERIFY(!shown.isNull());
        QCOMPARE(shown.deviceIndependentSize(), QSizeF(format.width(), format.height()));
        QVERIFY2(format.width() <= browser->viewport()->width(), "the picture fits the dialog's width");
        QCOMPARE(browser->horizontalScrollBar()->maximum(), 0);
    }

    void pageShowsOnlyItsTwoPictures()
    {
        HelpDialog dialog;
        QStringList names;
        for (const QTextImageFormat& picture : pictures(dialog.findChild<QTextBrowser*>()->document()))
            names << picture.name();
        QCOMPARE(names, (QStringList{kFlowPicture, kToolPicture}));
    }

    void menuTableListsTheWindowsMenus()
    {
        HelpDialog dialog;
        const QList<QStringList> rows = tableRows(dialog.findChild<QTextBrowser*>()->document(), QStringLiteral("Menu"));
        QStringList shown;
        for (const QStringList& row : rows)
            shown << QStringList(row.mid(0, 3)).join(QLatin1String(" | "));

        const QString usb = QStringLiteral("USB › ");
        const QString access = usb + QStringLiteral("Acesso ao cofre");
        const QString files = access + QStringLiteral(" › Arquivos protegidos");
        const QStringList expected = {
            QStringLiteral("Arquivo | Sair | Ctrl+Q"),
            usb + QStringLiteral("Dispositivos | Atualizar lista | Ctrl+F5"),
            usb + QStringLiteral("Container | Escolher container... | Ctrl+O"),
            usb + QStringLiteral("Container | Criar novo cofre... | Ctrl+N"),
            usb + QStringLiteral("Container | Fazer backup... | Ctrl+B"),
            usb + QStringLiteral("Container | Alterar senha... | Ctrl+P"),
            access + QStringLiteral(" | Desbloquear | Ctrl+L"),
            access + QStringLiteral(" | Bloquear | Ctrl+Shift+L"),
            files + QStringLiteral(" | Nova pasta... | Ctrl+Shift+N"),
            files + QStringLiteral(" | Importar... | Ctrl+I"),
            files + QStringLiteral(" | Exportar... | Ctrl+E"),
            files + QStringLiteral(" | Abrir | Return"),
            files + QStringLiteral(" | Renomear pasta... | "),
            files + QStringLiteral(" | Excluir pasta vazia | "),
            files + QStringLiteral(" | Excluir... | Delete"),
            access + QStringLiteral(" | Compactar cofre... | F6"),
            QStringLiteral("Sobre | Ajuda | "),
            QStringLiteral("Sobre | Visitar a página oficial do Kavendru | "),
            QStringLiteral("Sobre | Sobre o Kavendru | "),
        };
        QCOMPARE(shown, expected);
    }

    void makersLinkOpensInTheBrowser()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        HelpDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* browser = dialog.findChild<QTextBrowser*>();

        // The last link of the page, clicked where it is drawn.
        QTextCursor link;
        QTextDocument* document = browser->document();
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                if (it.fragment().charFormat().isAnchor()) {
                    link = QTextCursor(document);
                    link.setPosition(it.fragment().position() + 1);
                }
            }
        }
        QVERIFY(!link.isNull());
        browser->setTextCursor(link);
        browser->ensureCursorVisible();
        const QPoint where = browser->cursorRect(link).center();
        QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, where);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl(QStringLiteral("https://www.kavendru.example/"))});
    }

    void fallbackTextWhenThePageIsMissing()
    {
        // The shipped dialog, with the resources taken out of the program.
        struct Restore {
            ~Restore() { Q_INIT_RESOURCE(resources); }
        } restore;
        Q_CLEANUP_RESOURCE(resources);
        QVERIFY(!QFile::exists(QStringLiteral(":/help/pt_BR/index.html")));

        HelpDialog dialog;
        QCOMPARE(dialog.findChild<QTextBrowser*>()->toPlainText(),
                 QStringLiteral("Ajuda indisponível\nNão foi possível carregar o arquivo de ajuda do Kavendru."));
    }

    void fecharCloses()
    {
        HelpDialog dialog;
        QAbstractButton* close = findButton(&dialog, QStringLiteral("Fechar"));
        QVERIFY(close);
        QTimer::singleShot(0, &dialog, [close] { QTest::mouseClick(close, Qt::LeftButton); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(!dialog.isVisible());
    }
};

KAVENDRU_UI_TEST_MAIN(TestHelpDialog)
#include "tst_helpdialog.moc"

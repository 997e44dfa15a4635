#include "UiTestSupport.h"

#include "ui/AboutDialog.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QLabel>
#include <QLibraryInfo>
#include <QListWidget>
#include <QPushButton>
#include <QSysInfo>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <sodium.h>

using Kavendru::UI::AboutDialog;
using KavendruTest::findButton;

namespace {

// Receives what the dialog hands to the desktop's browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls.append(url); }
};

QLabel* labelStartingWith(QWidget* root, const QString& start)
{
    const QList<QLabel*> labels = root->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        if (label->text().startsWith(start))
            return label;
    }
    return nullptr;
}

QLabel* makerLabel(QWidget* root)
{
    const QList<QLabel*> labels = root->findChildren<QLabel*>();
    for (QLabel* label : labels) {
        if (label->text().contains(QLatin1String("href=")))
            return label;
    }
    return nullptr;
}

QString shownText(const QLabel* label)
{
    QTextDocument document;
    document.setHtml(label->text());
    return document.toPlainText();
}

const QString kRuntimeEntry = QStringLiteral("Microsoft Visual C++ Runtime");
const QString kWindowsEntry = QStringLiteral("Microsoft Windows APIs");

QString qtEntry()
{
    return QStringLiteral("Qt 6 Core/Widgets - ") + QString::fromLatin1(qVersion());
}

QString sodiumEntry()
{
    return QStringLiteral("libsodium - ") + QString::fromLatin1(sodium_version_string());
}

} // namespace

class TestAboutDialog : public QObject {
    Q_OBJECT

private slots:
    void componentRowsAreInMapOrder()
    {
        AboutDialog dialog;
        auto* list = dialog.findChild<QListWidget*>();
        QVERIFY(list);
        QStringList rows;
        for (int i = 0; i < list->count(); ++i)
            rows << list->item(i)->text();
        QCOMPARE(rows, (QStringList{kRuntimeEntry, kWindowsEntry, qtEntry(), sodiumEntry()}));
    }

    void opensWithFirstComponentShown()
    {
        AboutDialog dialog;
        auto* list = dialog.findChild<QListWidget*>();
        auto* details = dialog.findChild<QTextEdit*>();
        QVERIFY(list && details);
        QCOMPARE(list->currentRow(), 0);
        QVERIFY(details->isReadOnly());
        QVERIFY2(details->toPlainText().startsWith(kRuntimeEntry + QLatin1Char('\n')),
                 qPrintable(details->toPlainText()));
        QVERIFY(details->toPlainText().contains(QLatin1String("Microsoft Visual Studio/MSVC")));
    }

    void clickingARowShowsItsDetails_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QStringList>("mentions");

        QTest::newRow("Windows APIs")
            << 1
            << QStringLiteral("Microsoft Windows APIs\nO Kavendru usa APIs do Windows para detecção de unidades "
                              "removíveis e integração nativa com a área de trabalho no Windows. Essas APIs fazem "
                              "parte da plataforma do sistema operacional.")
            << QStringList();
        QTest::newRow("Qt, with the prefix found at run time")
            << 2 << QStringLiteral("Qt Framework\nMódulos usados pelo Kavendru: Qt Core e Qt Widgets.\n")
            << QStringList{QStringLiteral("LGPLv3"),
                           QStringLiteral("Prefixo de instalação do Qt detectado em tempo de execução:\n")
                               + QLibraryInfo::path(QLibraryInfo::PrefixPath)};
        QTest::newRow("libsodium")
            << 3 << QStringLiteral("libsodium\n")
            << QStringList{QStringLiteral("Argon2id"), QStringLiteral("XChaCha20-Poly1305"), QStringLiteral("ISC")};
        QTest::newRow("back to the runtime libraries") << 0 << kRuntimeEntry << QStringList();
    }

    void clickingARowShowsItsDetails()
    {
        QFETCH(int, row);
        QFETCH(QString, start);
        QFETCH(QStringList, mentions);

        AboutDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* list = dialog.findChild<QListWidget*>();
        auto* details = dialog.findChild<QTextEdit*>();
        QVERIFY(list && details);
        // Away from the row first, so every case really changes the selection.
        const int other = row == 3 ? 2 : 3;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(other)).center());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());

        QCOMPARE(list->currentRow(), row);
        const QString shown = details->toPlainText();
        QVERIFY2(shown.startsWith(start), qPrintable(shown));
        for (const QString& mention : mentions)
            QVERIFY2(shown.contains(mention), qPrintable(mention));
    }

    void unknownComponentShowsNothing()
    {
        AboutDialog dialog;
        auto* details = dialog.findChild<QTextEdit*>();
        dialog.updateDetails(kWindowsEntry.toLower());
        QCOMPARE(details->toPlainText(), QString());
    }

    void componentRowsSitClose()
    {
        AboutDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* list = dialog.findChild<QListWidget*>();
        const int expected = QFontMetrics(list->font()).height() + 3;
        for (int i = 0; i < list->count(); ++i)
            QCOMPARE(list->visualItemRect(list->item(i)).height(), expected);
        QVERIFY(list->minimumHeight() >= 82);
    }

    void runtimeLineNamesSystemQtAndProcessor()
    {
        AboutDialog dialog;
        QLabel* runtime = labelStartingWith(&dialog, QStringLiteral("Ambiente de execução"));
        QVERIFY(runtime);
        QCOMPARE(runtime->text(), QStringLiteral("Ambiente de execução\n%1\nQt %2\n%3")
                                      .arg(QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()),
                                           QSysInfo::currentCpuArchitecture()));
        QCOMPARE(runtime->textFormat(), Qt::PlainText);
    }

    void versionLine_data()
    {
        QTest::addColumn<QString>("applicationVersion");
        QTest::addColumn<QString>("line");
        QTest::newRow("empty application version") << QString() << QStringLiteral("Versão 1.0.5");
        QTest::newRow("the application's version") << QStringLiteral("2.3.1") << QStringLiteral("Versão 2.3.1");
        QTest::newRow("markup in the version") << QStringLiteral("2<b>") << QStringLiteral("Versão 2<b>");
    }

    void versionLine()
    {
        QFETCH(QString, applicationVersion);
        QFETCH(QString, line);
        const QString saved = QCoreApplication::applicationVersion();
        QCoreApplication::setApplicationVersion(applicationVersion);
        AboutDialog dialog;
        QCoreApplication::setApplicationVersion(saved);

        QLabel* about = makerLabel(&dialog);
        QVERIFY(about);
        const QStringList lines = shownText(about).split(QLatin1Char('\n'));
        QCOMPARE(lines.value(0), QStringLiteral("Kavendru"));
        QCOMPARE(lines.value(1), line);
        QVERIFY2(lines.value(2).contains(QLatin1String("www.kavendru.example")), qPrintable(lines.value(2)));
    }

    void headerShowsIconAndTitle()
    {
        AboutDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Sobre o Kavendru"));
        QCOMPARE(dialog.size(), QSize(760, 520));
        QLabel* title = nullptr;
        const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
        for (QLabel* label : labels) {
            if (label->text() == QLatin1String("Kavendru"))
                title = label;
        }
        QVERIFY(title);
        QVERIFY(title->font().pointSizeF() > QApplication::font().pointSizeF() + 15);
        const int h = QFontMetrics(title->font()).height();
        bool iconShown = false;
        for (QLabel* label : labels) {
            const QPixmap pixmap = label->pixmap();
            if (!pixmap.isNull() && label->size() == QSize(h, h))
                iconShown = pixmap.deviceIndependentSize().toSize() == QSize(h, h);
        }
        QVERIFY2(iconShown, "the application icon beside the title");
    }

    void makersLinkOpensInTheBrowser()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        AboutDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QLabel* about = makerLabel(&dialog);
        QVERIFY(about);
        QVERIFY(about->textInteractionFlags().testFlag(Qt::LinksAccessibleByKeyboard));
        QVERIFY(!about->openExternalLinks());

        // The keyboard way: Tab onto the link, Return follows it.
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        about->setFocus(Qt::TabFocusReason);
        QTest::keyClick(about, Qt::Key_Tab);
        QTest::keyClick(about, Qt::Key_Return);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl(QStringLiteral("https://www.kavendru.example/"))});
    }

    void closesWithFecharAndEscape_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::addColumn<int>("result");
        QTest::newRow("Fechar") << false << int(QDialog::Accepted);
        QTest::newRow("Escape") << true << int(QDialog::Rejected);
    }

    void closesWithFecharAndEscape()
    {
        QFETCH(bool, escape);
        QFETCH(int, result);
        AboutDialog dialog;
        QAbstractButton* close = findButton(&dialog, QStringLiteral("Fechar"));
        QVERIFY(close);
        QTimer::singleShot(0, &dialog, [&] {
            if (escape)
                QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(close, Qt::LeftButton);
        });
        QCOMPARE(dialog.exec(), result);
        QVERIFY(!dialog.isVisible());
    }
};

KAVENDRU_UI_TEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"

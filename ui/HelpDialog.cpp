#include "HelpDialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextImageFormat>
#include <QUrl>
#include <QVBoxLayout>

namespace Kavendru::UI {

namespace {

// The text browser draws a picture at the size the page asks for without
// smoothing, which breaks up the text in the pictures. Each picture shown
// at another size than its own is scaled smoothly once instead.
void smoothScaledImages(QTextBrowser* browser)
{
    QTextDocument* document = browser->document();
    const qreal ratio = browser->devicePixelRatioF();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.isImageFormat())
                continue;
            const QTextImageFormat imageFormat = format.toImageFormat();
            const QSize shown(qRound(imageFormat.width() * ratio), qRound(imageFormat.height() * ratio));
            if (shown.isEmpty())
                continue;
            const QUrl url(imageFormat.name());
            const QVariant data = browser->loadResource(QTextDocument::ImageResource, url);
            QImage image = QImage::fromData(data.toByteArray());
            if (image.isNull() || image.size() == shown)
                continue;
            image = image.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            image.setDevicePixelRatio(ratio);
            document->addResource(QTextDocument::ImageResource, url, image);
        }
    }
}

} // namespace

HelpDialog::HelpDialog(QWidget* parent)
    : QDialog(parent)
{
    buildUi();
    loadHelpContent();
}

HelpDialog::~HelpDialog() = default;

void HelpDialog::buildUi()
{
    setWindowTitle(tr("Ajuda do Kavendru"));
    setModal(true);
    resize(760, 560);

    textBrowser = new QTextBrowser(this);
    textBrowser->setOpenExternalLinks(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(tr("Fechar"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textBrowser);
    layout->addWidget(buttons);
}

void HelpDialog::loadHelpContent()
{
    QFile page(QStringLiteral(":/help/pt_BR/index.html"));
    if (page.open(QIODevice::ReadOnly | QIODevice::Text)) {
        textBrowser->setHtml(QString::fromUtf8(page.readAll()));
        smoothScaledImages(textBrowser);
        return;
    }
    textBrowser->setHtml(
        tr("<h1>Ajuda indisponível</h1><p>Não foi possível carregar o arquivo de ajuda do Kavendru.</p>"));
}

} // namespace Kavendru::UI

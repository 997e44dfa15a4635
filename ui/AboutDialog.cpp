#include "AboutDialog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFont>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLibraryInfo>
#include <QListWidget>
#include <QStyledItemDelegate>
#include <QSysInfo>
#include <QTextEdit>
#include <QUrl>
#include <QVBoxLayout>

#include <sodium.h>

namespace Kavendru::UI {

namespace {

const char* const kFallbackVersion = "1.0.5";

// Rows only as tall as their text, so the four components fit without
// scrolling in the list's minimum height.
class CompactListItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    ~CompactListItemDelegate() override = default;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), option.fontMetrics.height() + 3);
    }
};

QString qtNotice()
{
    return QStringLiteral(
        "O Qt é oferecido sob licenças comerciais e de código aberto. A distribuição de software proprietário "
        "exige uma licença comercial do Qt ou o cumprimento das licenças de código aberto dos módulos "
        "distribuídos (como LGPLv3 ou GPLv3).\n"
        "Avisos do Qt: Qt é marca registrada da The Qt Company Ltd. e de suas subsidiárias. As bibliotecas Qt "
        "são protegidas por direitos autorais da The Qt Company Ltd. e de outros colaboradores. Consulte os "
        "termos oficiais de licenciamento do Qt e os avisos de terceiros dos módulos Qt distribuídos com o "
        "aplicativo.");
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent)
{
    buildUi();
    populateComponents();
}

AboutDialog::~AboutDialog() = default;

void AboutDialog::buildUi()
{
    setWindowTitle(tr("Sobre o Kavendru"));
    setModal(true);
    resize(760, 520);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(8);
    auto* iconLabel = new QLabel(this);
    auto* titleLabel = new QLabel(tr("Kavendru"), this);
    QFont titleFont = titleLabel->font();
    if (titleFont.pointSizeF() > 0)
        titleFont.setPointSizeF(titleFont.pointSizeF() + 16);
    else
        titleFont.setPixelSize(titleFont.pixelSize() + 21); // 16 points at 96 dpi
    titleFont.setWeight(QFont::DemiBold);
    titleLabel->setFont(titleFont);
    titleLabel->setStyleSheet(QStringLiteral("color: #0B4F8A;"));
    const int h = QFontMetrics(titleFont).height();
    iconLabel->setFixedSize(h, h);
    iconLabel->setPixmap(QIcon(QStringLiteral(":/icons/Kavendru.ico")).pixmap(h, h));
    iconLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->addWidget(iconLabel);
    header->addWidget(titleLabel);
    header->addStretch();

    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty())
        version = QString::fromLatin1(kFallbackVersion);
    aboutLabel = new QLabel(this);
    aboutLabel->setTextFormat(Qt::RichText);
    aboutLabel->setText(QStringLiteral("<b>Kavendru</b><br>%1<br>%2")
                            .arg(tr("Versão %1").arg(version.toHtmlEscaped()),
                                 tr("Desenvolvido por Kavendru — <a href=\"%1\">www.kavendru.example</a>")
                                     .arg(QString::fromLatin1(kMakerPageUrl))));
    aboutLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse
                                        | Qt::LinksAccessibleByKeyboard);
    aboutLabel->setOpenExternalLinks(false);
    connect(aboutLabel, &QLabel::linkActivated, this,
            [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });

    // Plain text: a product name with "<" must not turn the label into rich text.
    auto* runtimeLabel = new QLabel(this);
    runtimeLabel->setTextFormat(Qt::PlainText);
    runtimeLabel->setText(tr("Ambiente de execução\n%1\nQt %2\n%3")
                              .arg(QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()),
                                   QSysInfo::currentCpuArchitecture()));

    auto* grid = new QGridLayout;
    grid->addLayout(header, 0, 0);
    grid->addWidget(aboutLabel, 1, 0, Qt::AlignTop);
    grid->addWidget(runtimeLabel, 1, 1, Qt::AlignTop);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    componentList = new QListWidget(this);
    componentList->setMinimumHeight(82);
    componentList->setSpacing(0);
    componentList->setUniformItemSizes(false);
    componentList->setItemDelegate(new CompactListItemDelegate(componentList));
    componentList->setStyleSheet(QStringLiteral("QListWidget::item { padding: 0px; margin: 0px; }"));

    detailsEdit = new QTextEdit(this);
    detailsEdit->setReadOnly(true);
    detailsEdit->setMinimumHeight(104);
    detailsEdit->document()->setDocumentMargin(4);
    detailsEdit->setStyleSheet(QStringLiteral("QTextEdit { padding: 0px; }"));

    auto* noticeLabel = new QLabel(tr(""), this);
    noticeLabel->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(tr("Fechar"), QDialogButtonBox::AcceptRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addSpacing(10);
    layout->addWidget(new QLabel(tr("Componentes e bibliotecas relevantes:"), this));
    layout->addWidget(componentList);
    layout->addSpacing(8);
    layout->addWidget(new QLabel(tr("Detalhes do componente:"), this));
    layout->addWidget(detailsEdit);
    layout->addWidget(noticeLabel);
    layout->addWidget(buttons);
}

void AboutDialog::populateComponents()
{
    const QString prefix = QLibraryInfo::path(QLibraryInfo::PrefixPath);
    components.insert(tr("Qt 6 Core/Widgets - %1").arg(QString::fromLatin1(qVersion())),
                      tr("Qt Framework\nMódulos usados pelo Kavendru: Qt Core e Qt Widgets.\n%1\n"
                         "Prefixo de instalação do Qt detectado em tempo de execução:\n%2")
                          .arg(qtNotice(), prefix));
    components.insert(
        tr("libsodium - %1").arg(QString::fromLatin1(sodium_version_string())),
        tr("libsodium\nBiblioteca criptográfica usada pelo Kavendru para derivar a chave a partir da senha "
           "(Argon2id) e para a criptografia autenticada dos arquivos (XChaCha20-Poly1305).\n"
           "Licença ISC. Copyright (c) 2013 Frank Denis e colaboradores.\n"
           "O aviso de licença ISC acompanha os binários da libsodium distribuídos com o aplicativo."));
    components.insert(
        tr("Microsoft Visual C++ Runtime"),
        tr("Microsoft Visual C++ Runtime\nBibliotecas de tempo de execução exigidas pelas compilações geradas "
           "com o Microsoft Visual Studio/MSVC. Sua distribuição deve seguir os termos de licença do pacote "
           "redistribuível da Microsoft (Microsoft Visual C++ Redistributable) para a versão do runtime "
           "distribuída com o aplicativo."));
    components.insert(
        tr("Microsoft Windows APIs"),
        tr("Microsoft Windows APIs\nO Kavendru usa APIs do Windows para detecção de unidades removíveis e "
           "integração nativa com a área de trabalho no Windows. Essas APIs fazem parte da plataforma do "
           "sistema operacional."));

    componentList->addItems(components.keys());
    connect(componentList, &QListWidget::currentTextChanged, this,
            [this](const QString& name) { updateDetails(name); });
    if (componentList->count() > 0)
        componentList->setCurrentRow(0);
}

void AboutDialog::updateDetails(const QString& componentName)
{
    detailsEdit->setPlainText(components.value(componentName));
}

} // namespace Kavendru::UI

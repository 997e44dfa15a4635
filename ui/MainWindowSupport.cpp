#include "MainWindowSupport.h"

#include <sodium.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>

namespace Kavendru::UI {

namespace {

QString trWindow(const char* text)
{
    return QCoreApplication::translate("Kavendru::UI::MainWindow", text);
}

bool askQuestion(QMessageBox::Icon icon, QWidget* parent, const QString& title, const QString& text,
                 const QString& positive, const QString& negative)
{
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    box.setTextFormat(Qt::PlainText);
    QPushButton* yes = box.addButton(positive, QMessageBox::AcceptRole);
    QPushButton* no = box.addButton(negative, QMessageBox::RejectRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void showBox(QMessageBox::Icon icon, QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

void wipe(QByteArray& secret)
{
    if (!secret.isEmpty())
        sodium_memzero(secret.data(), size_t(secret.size()));
    secret.clear();
}

void wipe(QString& secret)
{
    if (!secret.isEmpty())
        sodium_memzero(secret.data(), size_t(secret.size()) * sizeof(QChar));
    secret.clear();
}

QSize centralAreaSize(const std::optional<QSize>& availableScreenSize)
{
    if (!availableScreenSize)
        return QSize(960, 540);
    const int availableHeight = availableScreenSize->height();
    int width = availableScreenSize->width() * 6 / 10;
    int height;
    if (width > 1152) {
        width = 1152;
        height = 648;
    } else {
        width = qMax(width, 900);
        height = width * 9 / 16;
    }
    if (height > availableHeight) {
        height = availableHeight;
        width = availableHeight * 16 / 9;
    }
    return QSize(width, height);
}

QString formatFileSize(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

QString formatFileDate(const QDateTime& time)
{
    if (!time.isValid())
        return QString();
    return QLocale().toString(time.toLocalTime(), QStringLiteral("dd/MM/yyyy HH:mm"));
}

QString parentVaultPath(const QString& vaultPath)
{
    const qsizetype slash = vaultPath.lastIndexOf(QLatin1Char('/'));
    return slash >= 1 ? vaultPath.left(slash) : QString();
}

QString vaultBaseName(const QString& vaultPath)
{
    return vaultPath.mid(vaultPath.lastIndexOf(QLatin1Char('/')) + 1);
}

QString fileTypeLabel(const QString& vaultPath)
{
    const QString suffix = QFileInfo(vaultPath).suffix();
    return suffix.isEmpty() ? QStringLiteral("Arquivo") : suffix.toUpper();
}

bool questionYesNo(QWidget* parent, const QString& title, const QString& text)
{
    return askQuestion(QMessageBox::Question, parent, title, text, trWindow("Sim"), trWindow("Não"));
}

bool questionContinueCancel(QWidget* parent, const QString& title, const QString& text)
{
    return askQuestion(QMessageBox::Question, parent, title, text, trWindow("Continuar"), trWindow("Cancelar"));
}

bool warningYesNo(QWidget* parent, const QString& title, const QString& text)
{
    return askQuestion(QMessageBox::Warning, parent, title, text, trWindow("Sim"), trWindow("Não"));
}

void showWarning(QWidget* parent, const QString& title, const QString& text)
{
    showBox(QMessageBox::Warning, parent, title, text);
}

void showInformation(QWidget* parent, const QString& title, const QString& text)
{
    showBox(QMessageBox::Information, parent, title, text);
}

QLabel* plainTextLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QString plainToolTip(const QString& text)
{
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap) : text;
}

} // namespace Kavendru::UI

#include "MainWindowSupport.h"

#include <sodium.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>

namespace Kavendru::UI {

namespace {

QString trWindow(const char* text)
{
    return QCoreApplication::translate("Kavendru::UI::MainWindow", text);
}

bool askQuestion(QWidget* parent, const QString& title, const QString& text, const QString& positive,
                 const QString& negative)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QPushButton* yes = box.addButton(positive, QMessageBox::AcceptRole);
    QPushButton* no = box.addButton(negative, QMessageBox::RejectRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
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
    return askQuestion(parent, title, text, trWindow("Sim"), trWindow("Não"));
}

bool questionContinueCancel(QWidget* parent, const QString& title, const QString& text)
{
    return askQuestion(parent, title, text, trWindow("Continuar"), trWindow("Cancelar"));
}

} // namespace Kavendru::UI

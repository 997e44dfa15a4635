#include "OperationProgressDialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>

namespace Kavendru::UI {

OperationProgressDialog::OperationProgressDialog(const QString& title, const QString& label, QWidget* parent)
    : QProgressDialog(label, QString(), 0, Maximum, parent)
{
    setWindowTitle(title);
    // The label names the files being imported, as the user named them:
    // never read as markup. Centred like the dialog's own label.
    auto* plainLabel = new QLabel;
    plainLabel->setTextFormat(Qt::PlainText);
    plainLabel->setAlignment(Qt::AlignCenter);
    setLabel(plainLabel);
    setLabelText(label);
    setCancelButton(nullptr);
    setWindowModality(Qt::ApplicationModal);
    setMinimumDuration(0);
    setAutoClose(false);
    setAutoReset(false);
    // No close button on the frame where the window system honours it; the
    // events below refuse the close where it does not.
    setWindowFlags((windowFlags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint) & ~Qt::WindowCloseButtonHint);
}

OperationProgressDialog::~OperationProgressDialog() = default;

int OperationProgressDialog::progressValue(qint64 done, qint64 total)
{
    if (total <= 0)
        return Maximum;
    return int(qBound<qint64>(0, done * Maximum / total, qint64(Maximum)));
}

void OperationProgressDialog::step(qint64 done, qint64 total, const QString& label)
{
    setValue(progressValue(done, total));
    // Laying out and painting a new label text costs far more than the bar
    // (on a fast disk a quarter of a 1 GiB import), so the text follows at
    // most twice a second; a slow stick still sees every step.
    if (!labelShown.isValid() || labelShown.elapsed() >= kLabelIntervalMs || done >= total) {
        setLabelText(label);
        labelShown.start();
    }
    QCoreApplication::processEvents();
}

void OperationProgressDialog::finish()
{
    setValue(Maximum);
    finishing = true;
    close();
    finishing = false;
}

void OperationProgressDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QProgressDialog::keyPressEvent(event);
}

void OperationProgressDialog::closeEvent(QCloseEvent* event)
{
    if (!finishing) {
        event->ignore();
        return;
    }
    QProgressDialog::closeEvent(event);
}

void OperationProgressDialog::reject()
{
    if (finishing)
        QProgressDialog::reject();
}

} // namespace Kavendru::UI

#pragma once

#include <QElapsedTimer>
#include <QProgressDialog>

namespace Kavendru::UI {

// The progress dialog of an import, a compaction or a backup: 0 to 1000,
// application-modal, without a cancel button. Neither Escape nor the frame's
// close button hides it, since the operation behind it cannot stop and the
// window must not take input while it runs; only finish() closes it.
class OperationProgressDialog : public QProgressDialog {
public:
    static constexpr int Maximum = 1000;

    OperationProgressDialog(const QString& title, const QString& label, QWidget* parent);
    ~OperationProgressDialog() override;

    // done * 1000 / total, or 1000 when total is not positive.
    static int progressValue(qint64 done, qint64 total);

    // Sets the value and the label and lets the dialog repaint.
    void step(qint64 done, qint64 total, const QString& label);
    // Jumps to the maximum and closes the dialog.
    void finish();

    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    static constexpr qint64 kLabelIntervalMs = 500;

    bool finishing = false;
    QElapsedTimer labelShown;
};

} // namespace Kavendru::UI

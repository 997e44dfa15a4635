#pragma once

#include <QDialog>

class QTextBrowser;

namespace Kavendru::UI {

// The help page compiled into the program.
class HelpDialog : public QDialog {
public:
    explicit HelpDialog(QWidget* parent = nullptr);
    ~HelpDialog() override;

private:
    void buildUi();
    void loadHelpContent();

    QTextBrowser* textBrowser = nullptr;
};

} // namespace Kavendru::UI

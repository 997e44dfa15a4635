#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

class QLabel;
class QListWidget;
class QTextEdit;

namespace Kavendru::UI {

// The maker's product page: the about dialog's link and the window's
// "Visitar a página oficial do Kavendru".
inline constexpr char kMakerPageUrl[] = "https://www.kavendru.example/";

// The program's name, version and runtime, and the components it relies on,
// each with its details.
class AboutDialog : public QDialog {
public:
    explicit AboutDialog(QWidget* parent = nullptr);
    ~AboutDialog() override;

    void updateDetails(const QString& componentName);

private:
    void buildUi();
    void populateComponents();

    QListWidget* componentList = nullptr;
    QTextEdit* detailsEdit = nullptr;
    QLabel* aboutLabel = nullptr;
    QMap<QString, QString> components;
};

} // namespace Kavendru::UI

#include "MainWindow.h"

#include "resources/QtTranslation.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Kavendru::installQtTranslation(app);
    QApplication::setApplicationName(QStringLiteral("Kavendru"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.5"));
    QApplication::setOrganizationName(QStringLiteral("Kavendru"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/Kavendru.ico")));
    Kavendru::UI::MainWindow window;
    window.show();
    return app.exec();
}

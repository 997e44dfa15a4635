// Writes a picture of the tool's window as it looks after start, with one
// drive inserted, to the PNG file named on the command line. The second
// argument picks the background (1 or 2).
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "ConfigTestSupport.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    applyApplicationIdentity();
    if (argc < 2 || argc > 3) {
        std::fputs("uso: config_window_picture <arquivo.png> [1|2]\n", stderr);
        return 2;
    }
    auto drives = std::make_shared<QList<UsbDevice>>(
        QList<UsbDevice>{ConfigTest::mountedDrive(QStringLiteral("/media/ana/KAVENDRU"), QStringLiteral("KAVENDRU"))});
    ConfigWindow window(std::make_unique<ConfigTest::FakeDeviceManager>(drives));
    if (argc == 3) {
        auto* background = static_cast<BackgroundWidget*>(window.centralWidget());
        if (!background->pixmap.load(QStringLiteral(":/backgrounds/Fundo0%1.png").arg(QString::fromLocal8Bit(argv[2]))))
            return 2;
    }
    window.show();
    QCoreApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1])))
        return 1;
    return 0;
}

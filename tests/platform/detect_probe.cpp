// Prints what the real Linux detector finds, one drive a line, its fields
// separated by tabs. Run by the end-to-end check inside its own namespace.
#include "platform/linux/LinuxDeviceManager.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const Kavendru::Platform::Linux::LinuxDeviceManager manager;
    for (const Kavendru::Platform::UsbDevice& d : manager.detectUsbDevices()) {
        const QStringList fields = {d.id, d.devicePath, d.label, d.mountPoint, d.fileSystem,
                                    d.removable ? QStringLiteral("removable") : QStringLiteral("fixed"),
                                    d.mounted ? QStringLiteral("mounted") : QStringLiteral("not mounted")};
        const QByteArray line = fields.join(QLatin1Char('\t')).toUtf8() + '\n';
        if (std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout) != static_cast<size_t>(line.size()))
            return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

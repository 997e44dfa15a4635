#include "FakeDrives.h"

namespace KavendruTest {

UsbDevice mountedDrive(const QString& mountPoint, const QString& label, const QString& devicePath)
{
    UsbDevice device;
    device.id = devicePath;
    device.devicePath = devicePath;
    device.label = label;
    device.mountPoint = mountPoint;
    device.fileSystem = QStringLiteral("vfat");
    device.mounted = true;
    return device;
}

UsbDevice unmountedDrive(const QString& devicePath, const QString& label)
{
    UsbDevice device;
    device.id = devicePath;
    device.devicePath = devicePath;
    device.label = label;
    device.mounted = false;
    return device;
}

} // namespace KavendruTest

#include "WindowsDeviceManager.h"

#include "Kernel32.h"

#include <string>

namespace Kavendru::Platform::Windows {

namespace {

constexpr int kDriveLetters = 26;

// The buffers hold one character more than they announce, so the text
// always ends inside them.
QString textOf(const wchar_t* buffer)
{
    Dword length = 0;
    while (length < MaxPath && buffer[length] != 0)
        ++length;
    return QString::fromWCharArray(buffer, static_cast<qsizetype>(length));
}

} // namespace

#ifdef _WIN32
WindowsDeviceManager::WindowsDeviceManager()
    : kernel32(&systemKernel32())
{
}
#endif

WindowsDeviceManager::WindowsDeviceManager(Kernel32& api)
    : kernel32(&api)
{
}

QList<UsbDevice> WindowsDeviceManager::detectUsbDevices() const
{
    QList<UsbDevice> devices;
    const Dword drives = kernel32->getLogicalDrives();
    for (int bit = 0; bit < kDriveLetters; ++bit) {
        if ((drives & (Dword(1) << bit)) == 0)
            continue;
        const QChar letter(u'A' + bit);
        const QString root = QString(letter) + QLatin1String(":\\");
        const std::wstring rootText = root.toStdWString();
        const unsigned driveType = kernel32->getDriveType(rootText.c_str());
        if (driveType != DriveRemovable && driveType != DriveFixed)
            continue;

        const std::wstring volumePath = (QLatin1String("\\\\.\\") + letter + QLatin1Char(':')).toStdWString();
        const Handle volume = kernel32->createFile(volumePath.c_str(), 0, FileShareRead | FileShareWrite | FileShareDelete,
                                                   nullptr, OpenExisting, 0, nullptr);
        if (volume == invalidHandleValue())
            continue;
        StoragePropertyQuery query{};
        query.propertyId = StorageDeviceProperty;
        query.queryType = PropertyStandardQuery;
        StorageDeviceDescriptor descriptor{};
        descriptor.size = sizeof(descriptor);
        Dword returned = 0;
        const bool queried = kernel32->deviceIoControl(volume, IoctlStorageQueryProperty, &query, sizeof(query),
                                                       &descriptor, sizeof(descriptor), &returned, nullptr);
        kernel32->closeHandle(volume);
        if (!queried || descriptor.busType != BusTypeUsb)
            continue;

        wchar_t volumeName[MaxPath + 1] = {};
        wchar_t fileSystemName[MaxPath + 1] = {};
        Dword serialNumber = 0;
        const bool volumeKnown = kernel32->getVolumeInformation(rootText.c_str(), volumeName, MaxPath, &serialNumber,
                                                                nullptr, nullptr, fileSystemName, MaxPath);

        UsbDevice device;
        device.mountPoint = root;
        device.devicePath = root;
        const QString name = volumeKnown ? textOf(volumeName) : QString();
        device.label = name.isEmpty() ? QStringLiteral("USB %1:").arg(letter) : name;
        device.fileSystem = volumeKnown ? textOf(fileSystemName) : QString();
        device.id = volumeKnown ? QStringLiteral("%1-%2").arg(root, QString::number(serialNumber, 16)) : root;
        device.removable = driveType == DriveRemovable;
        device.mounted = true;
        devices.append(device);
    }
    return devices;
}

} // namespace Kavendru::Platform::Windows

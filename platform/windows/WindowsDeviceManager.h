#pragma once

#include "platform/DeviceManager.h"

namespace Kavendru::Platform::Windows {

class Kernel32;

class WindowsDeviceManager : public DeviceManager {
public:
#ifdef _WIN32
    WindowsDeviceManager();
#endif
    // The calls go through this interface, which must outlive the detector;
    // tests hand in a scripted one.
    explicit WindowsDeviceManager(Kernel32& kernel32);
    ~WindowsDeviceManager() override = default;

    QList<UsbDevice> detectUsbDevices() const override;

private:
    Kernel32* kernel32;
};

} // namespace Kavendru::Platform::Windows

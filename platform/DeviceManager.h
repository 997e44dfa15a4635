#pragma once

#include <QList>
#include <QString>

namespace Kavendru::Platform {

// One detected drive, copied by value.
struct UsbDevice {
    QString id;
    QString devicePath;
    QString label;
    QString mountPoint;
    QString fileSystem;
    bool removable = true;
    bool mounted = true;
};

// The drive detector of a build. Detects from scratch at every call and never
// fails: sources that cannot be read only make the list shorter.
class DeviceManager {
public:
    virtual ~DeviceManager() = default;
    virtual QList<UsbDevice> detectUsbDevices() const = 0;
};

} // namespace Kavendru::Platform

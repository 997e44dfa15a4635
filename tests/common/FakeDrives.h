#pragma once

#include "platform/DeviceManager.h"

#include <QList>
#include <QString>

#include <memory>

namespace KavendruTest {

using Kavendru::Platform::UsbDevice;

// A drive detector whose drives the test sets, also after a window owns it.
class FakeDeviceManager : public Kavendru::Platform::DeviceManager {
public:
    explicit FakeDeviceManager(std::shared_ptr<QList<UsbDevice>> drives) : drives(std::move(drives)) {}
    QList<UsbDevice> detectUsbDevices() const override { return *drives; }

private:
    std::shared_ptr<QList<UsbDevice>> drives;
};

UsbDevice mountedDrive(const QString& mountPoint, const QString& label = QString(),
                       const QString& devicePath = QStringLiteral("/dev/sdb1"));
UsbDevice unmountedDrive(const QString& devicePath, const QString& label = QString());

} // namespace KavendruTest

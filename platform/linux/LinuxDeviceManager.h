#pragma once

#include "platform/DeviceManager.h"

#include <QList>
#include <QString>

namespace Kavendru::Platform::Linux {

// The parts of a QStorageInfo that detection uses, already decoded.
struct MountedVolume {
    QString device;
    QString rootPath;
    QString fileSystemType;
    QString displayName;
    QString name;
    bool valid = false;
    bool ready = false;
};

// Where detection reads the system. The base class is the running system.
// Tests derive from it to point every system path below a fixture folder
// and to hand in volumes of their own, since QStorageInfo only ever sees
// the real mounts.
class SystemView {
public:
    virtual ~SystemView() = default;
    // Prepended to /proc, /sys, /dev, /media, /run and /mnt; empty for the
    // real system. Reported paths never carry it.
    virtual QString rootPrefix() const;
    // QStorageInfo::mountedVolumes().
    virtual QList<MountedVolume> mountedVolumes() const;
    // QStorageInfo for a path.
    virtual MountedVolume volumeAt(const QString& path) const;
    // Whether a file system is mounted on the folder (the path carries the
    // prefix): it lies on another device than its parent folder.
    virtual bool isMountPoint(const QString& path) const;
};

class LinuxDeviceManager : public DeviceManager {
public:
    LinuxDeviceManager() = default;
    // Test seam: the view must outlive the detector.
    explicit LinuxDeviceManager(const SystemView& system);
    ~LinuxDeviceManager() override = default;

    QList<UsbDevice> detectUsbDevices() const override;

private:
    const SystemView* system = nullptr;
};

} // namespace Kavendru::Platform::Linux

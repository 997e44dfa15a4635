#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace KavendruTest {

// A fake system below a folder, shaped like the real one: /sys/devices with
// the device folders, /sys/class/block with relative links into them,
// /dev/disk/by-label with relative links to /dev nodes (empty files here),
// /proc/self/mountinfo and the mount folders. Paths are given as the system
// names them ("/sys/...") and land below root(). Every call reports whether
// it could write what it was asked.
class SystemTree {
public:
    explicit SystemTree(const QString& root);

    QString root() const { return rootPath; }
    QString hostPath(const QString& systemPath) const { return rootPath + systemPath; }

    bool writeFile(const QString& systemPath, const QByteArray& content);
    bool makeFolder(const QString& systemPath);
    bool makeLink(const QString& systemPath, const QString& target);

    // A block device folder (a whole disk or a partition, sysfs path given)
    // and its link in /sys/class/block.
    bool addBlockDevice(const QString& sysfsFolder);

    // A SCSI disk below a host folder such as
    // /sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6 (USB) or
    // /sys/devices/pci0000:00/0000:00:17.0/ata1/host0 (SATA), with its
    // "removable" flag, the SCSI type of its device ("5" is optical) and
    // its partitions.
    bool addScsiDisk(const QString& hostFolder, const QString& name, const QString& removable,
                     const QString& scsiType, const QStringList& partitions = QStringList());
    // An NVMe namespace with its partitions (no "/block/" in its path).
    bool addNvmeDisk(const QString& controllerFolder, const QString& name, const QStringList& partitions);
    // loop and dm devices live below /sys/devices/virtual/block.
    bool addVirtualDevice(const QString& name);

    // /dev/disk/by-label/<label> -> ../../<name>, and the node /dev/<name>.
    bool addLabel(const QString& label, const QString& name);

    bool writeMountInfo(const QStringList& lines);

private:
    bool addDiskFolder(const QString& diskFolder, const QString& removable, const QStringList& partitions);

    QString rootPath;
};

} // namespace KavendruTest

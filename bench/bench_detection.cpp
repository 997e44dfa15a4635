// Times Linux drive detection over a generated system of 100 block devices
// and 100 mounts (USB sticks mounted, half-mounted and not mounted, SATA
// disks, loop and dm devices), then on this machine itself.
#include "platform/linux/LinuxDeviceManager.h"

#include "SystemTree.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Kavendru::Platform;
using namespace Kavendru::Platform::Linux;

namespace {

class GeneratedView : public SystemView {
public:
    QString root;
    QList<MountedVolume> volumes;
    QHash<QString, MountedVolume> storage;

    QString rootPrefix() const override { return root; }
    QList<MountedVolume> mountedVolumes() const override { return volumes; }
    MountedVolume volumeAt(const QString& path) const override { return storage.value(path); }
};

MountedVolume volume(const QString& device, const QString& root, const QString& fileSystem, bool ready)
{
    MountedVolume v;
    v.device = device;
    v.rootPath = root;
    v.fileSystemType = fileSystem;
    v.displayName = root.section(QLatin1Char('/'), -1);
    v.valid = true;
    v.ready = ready;
    return v;
}

struct Counts {
    int blockDevices = 0;
    int mounts = 0;
    int labels = 0;
};

bool generate(KavendruTest::SystemTree& tree, GeneratedView& view, Counts& counts)
{
    QStringList mounts;
    int mountId = 20;
    const auto mount = [&](const QString& source, const QString& point, const QString& type) {
        mounts << QStringLiteral("%1 1 0:%1 / %2 rw,relatime shared:%1 - %3 %4 rw").arg(mountId).arg(point, type, source);
        ++mountId;
    };

    // 20 pseudo file systems.
    const char* const pseudo[] = {"proc", "sysfs", "devtmpfs", "devpts", "tmpfs", "cgroup2", "pstore", "bpf",
                                  "debugfs", "tracefs", "mqueue", "hugetlbfs", "configfs", "fusectl", "securityfs",
                                  "efivarfs", "autofs", "binfmt_misc", "tmpfs", "tmpfs"};
    int n = 0;
    for (const char* type : pseudo)
        mount(QLatin1String(type), QStringLiteral("/pseudo/%1").arg(n++), QLatin1String(type));

    // 10 SATA disks with 2 partitions each (30 devices), 20 mounts.
    for (int disk = 0; disk < 10; ++disk) {
        const QString name = QStringLiteral("sd") + QChar(u'l' + disk);
        const QString host = QStringLiteral("/sys/devices/pci0000:00/0000:00:17.0/ata%1/host%1").arg(disk + 1);
        if (!tree.addScsiDisk(host, name, QStringLiteral("0"), QStringLiteral("0"), {name + "1", name + "2"}))
            return false;
        counts.blockDevices += 3;
        for (int part = 1; part <= 2; ++part) {
            const QString device = QStringLiteral("/dev/%1%2").arg(name).arg(part);
            const QString point = QStringLiteral("/srv/%1%2").arg(name).arg(part);
            if (!tree.addLabel(QStringLiteral("DATA_%1%2").arg(name).arg(part), name + QString::number(part)))
                return false;
            ++counts.labels;
            mount(device, point, QStringLiteral("ext4"));
            view.volumes.append(volume(device, point, QStringLiteral("ext4"), true));
        }
    }

    // 5 bind mounts of a SATA partition.
    for (int i = 0; i < 5; ++i)
        mount(QStringLiteral("/dev/sdl1"), QStringLiteral("/bind/%1").arg(i), QStringLiteral("ext4"));

    // 20 loop and 10 dm devices, all mounted.
    for (int i = 0; i < 20; ++i) {
        if (!tree.addVirtualDevice(QStringLiteral("loop%1").arg(i)))
            return false;
        const QString device = QStringLiteral("/dev/loop%1").arg(i);
        const QString point = QStringLiteral("/snap/app%1/1").arg(i);
        mount(device, point, QStringLiteral("squashfs"));
        view.volumes.append(volume(device, point, QStringLiteral("squashfs"), true));
    }
    for (int i = 0; i < 10; ++i) {
        if (!tree.addVirtualDevice(QStringLiteral("dm-%1").arg(i)))
            return false;
        const QString device = QStringLiteral("/dev/mapper/vg-lv%1").arg(i);
        const QString point = QStringLiteral("/volumes/lv%1").arg(i);
        mount(device, point, QStringLiteral("ext4"));
        view.volumes.append(volume(device, point, QStringLiteral("ext4"), true));
    }
    counts.blockDevices += 30;

    // 10 USB disks with 3 partitions each (40 devices): 20 partitions
    // mounted and ready, 5 mounted but not ready (found in the mount table),
    // 5 not mounted (found in sysfs, their roots guessed).
    int usbPartition = 0;
    for (int disk = 0; disk < 10; ++disk) {
        const QString name = QStringLiteral("sd") + QChar(u'b' + disk);
        const QString host = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-%1/2-%1:1.0/host%2")
                                 .arg(disk + 1)
                                 .arg(disk + 20);
        if (!tree.addScsiDisk(host, name, QStringLiteral("1"), QStringLiteral("0"), {name + "1", name + "2", name + "3"}))
            return false;
        counts.blockDevices += 4;
        for (int part = 1; part <= 3; ++part, ++usbPartition) {
            const QString kernelName = name + QString::number(part);
            const QString label = QStringLiteral("USB_%1").arg(kernelName);
            if (!tree.addLabel(label, kernelName))
                return false;
            ++counts.labels;
            if (usbPartition >= 25)
                continue;
            const QString device = QStringLiteral("/dev/") + kernelName;
            const QString point = QStringLiteral("/media/ana/") + label;
            mount(device, point, QStringLiteral("vfat"));
            const bool ready = usbPartition < 20;
            view.volumes.append(volume(device, point, QStringLiteral("vfat"), ready));
            view.storage.insert(point, volume(device, point, QStringLiteral("vfat"), ready));
        }
    }
    counts.mounts = mounts.size();
    return tree.makeFolder(QStringLiteral("/media/ana")) && tree.writeMountInfo(mounts);
}

qsizetype mountTableLines()
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    return file.readAll().count('\n');
}

struct Timing {
    double minMs = 0;
    double medianMs = 0;
    double maxMs = 0;
    int records = 0;
};

Timing timeDetection(const LinuxDeviceManager& manager, int runs)
{
    for (int i = 0; i < 3; ++i)
        manager.detectUsbDevices();
    std::vector<double> samples;
    Timing timing;
    QElapsedTimer timer;
    for (int i = 0; i < runs; ++i) {
        timer.start();
        timing.records = static_cast<int>(manager.detectUsbDevices().size());
        samples.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(samples.begin(), samples.end());
    timing.minMs = samples.front();
    timing.medianMs = samples[samples.size() / 2];
    timing.maxMs = samples.back();
    return timing;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 200;
    qputenv("USER", "ana");
    qputenv("LOGNAME", "ana");

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    KavendruTest::SystemTree tree(dir.filePath(QStringLiteral("system")));
    GeneratedView view;
    view.root = tree.root();
    Counts counts;
    if (!generate(tree, view, counts)) {
        std::fprintf(stderr, "cannot write the generated system\n");
        return 1;
    }

    const Timing generated = timeDetection(LinuxDeviceManager(view), runs);
    const Timing real = timeDetection(LinuxDeviceManager(), std::max(1, runs / 10));

    std::printf("generated system   %d block devices, %d mounts, %d labels\n", counts.blockDevices, counts.mounts,
                counts.labels);
    std::printf("detection          %d drives; min %.2f ms, median %.2f ms, max %.2f ms over %d runs (goal: well under 50 ms)\n",
                generated.records, generated.minMs, generated.medianMs, generated.maxMs, runs);
    std::printf("this machine       %d drives, %d mounts; min %.2f ms, median %.2f ms, max %.2f ms\n", real.records,
                static_cast<int>(mountTableLines()), real.minMs, real.medianMs, real.maxMs);
    return generated.records == 30 ? 0 : 1;
}

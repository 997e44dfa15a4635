#include "platform/linux/LinuxDeviceManager.h"

#include "SystemTree.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace Kavendru::Platform;
using namespace Kavendru::Platform::Linux;
using namespace KavendruTest;

namespace {

const QString kUsbStickHost = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6");
const QString kUsbBareStickHost = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7");
const QString kUsbHardDiskHost = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host8");
const QString kUsbOpticalHost = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb2/2-4/2-4:1.0/host9");
const QString kSataHost = QStringLiteral("/sys/devices/pci0000:00/0000:00:17.0/ata1/host0");
const QString kSataOpticalHost = QStringLiteral("/sys/devices/pci0000:00/0000:00:17.0/ata2/host1");
const QString kNvmeController = QStringLiteral("/sys/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0");

// The lines every mount table of a running system has; none is a USB drive.
const QStringList kBaseMounts = {
    QStringLiteral("22 28 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw"),
    QStringLiteral("23 28 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:2 - sysfs sysfs rw"),
    QStringLiteral("24 28 0:5 / /dev rw,nosuid,relatime shared:8 - devtmpfs udev rw,size=8092308k,mode=755"),
    QStringLiteral("28 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro"),
    QStringLiteral("30 28 259:1 / /home rw,relatime shared:5 - ext4 /dev/nvme0n1p1 rw"),
    QStringLiteral("31 28 7:0 / /snap/core/1 ro,nodev,relatime shared:9 - squashfs /dev/loop0 ro"),
    QStringLiteral("32 28 253:0 / /data rw,relatime shared:10 - ext4 /dev/mapper/vg-data rw"),
    QStringLiteral("33 28 0:40 / /run/user/1000 rw,nosuid,nodev,relatime shared:400 - tmpfs tmpfs rw,mode=700"),
};

class FixtureView : public SystemView {
public:
    QString root;
    QList<MountedVolume> volumes;
    QHash<QString, MountedVolume> storage;
    mutable QStringList storageQueries;

    QString rootPrefix() const override { return root; }
    QList<MountedVolume> mountedVolumes() const override { return volumes; }
    MountedVolume volumeAt(const QString& path) const override
    {
        storageQueries.append(path);
        return storage.value(path);
    }
    // Fixture folders count as mount points unless listed as left behind.
    QStringList leftBehind;
    bool isMountPoint(const QString& path) const override
    {
        return !leftBehind.contains(path.mid(root.size()));
    }
};

MountedVolume volume(const QString& device, const QString& root, const QString& fileSystem,
                     const QString& displayName, const QString& name = QString(), bool ready = true)
{
    MountedVolume v;
    v.device = device;
    v.rootPath = root;
    v.fileSystemType = fileSystem;
    v.displayName = displayName;
    v.name = name;
    v.valid = true;
    v.ready = ready;
    return v;
}

QString record(const QString& id, const QString& device, const QString& label, const QString& root,
               const QString& fileSystem, bool removable, bool mounted)
{
    return QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6 | %7")
        .arg(id, device, label, root, fileSystem, removable ? QStringLiteral("removable") : QStringLiteral("fixed"),
             mounted ? QStringLiteral("mounted") : QStringLiteral("not mounted"));
}

QString describe(const UsbDevice& d)
{
    return record(d.id, d.devicePath, d.label, d.mountPoint, d.fileSystem, d.removable, d.mounted);
}

QStringList describeAll(const QList<UsbDevice>& devices)
{
    QStringList lines;
    for (const UsbDevice& d : devices)
        lines.append(describe(d));
    return lines;
}

// Pass 3 follows the unsorted listing of /sys/class/block, so its records
// are compared as a set; everything before them in order.
QStringList sortedTail(QStringList lines, int orderedCount)
{
    lines = lines.mid(orderedCount);
    std::sort(lines.begin(), lines.end());
    return lines;
}

QStringList sorted(QStringList lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The records of drives that nothing has mounted, USER being ana.
QString unmountedPen()
{
    return record("/dev/sdb1", "/dev/sdb1", "PEN", "", "", true, false);
}
QString unmountedMyDisk()
{
    return record("/dev/sdb2", "/dev/sdb2", "MY DISK", "", "", true, false);
}
QString unmountedStick()
{
    return record("/dev/sdc", "/dev/sdc", "STICK", "", "", true, false);
}
QString unmountedHardDisk()
{
    return record("/dev/sdd1", "/dev/sdd1", "sdd1", "", "", false, false);
}

} // namespace

class LinuxDeviceManagerTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SystemTree> tree;
    FixtureView view;
    QByteArray savedUser;
    QByteArray savedLogName;
    bool hadUser = false;
    bool hadLogName = false;

    QList<UsbDevice> detect() const
    {
        const std::unique_ptr<DeviceManager> manager(new LinuxDeviceManager(view));
        return manager->detectUsbDevices();
    }

    // A USB stick with two partitions, a partitionless USB stick, a USB hard
    // disk that reports itself fixed, a USB optical drive; an internal SATA
    // disk and optical drive, an NVMe disk, a loop and a dm device; labels,
    // one of them escaped the way udev writes it, one dangling and one
    // pointing outside /dev.
    bool buildStandardTree()
    {
        SystemTree& t = *tree;
        return t.addScsiDisk(kUsbStickHost, "sdb", "1", "0", {"sdb1", "sdb2"})
            && t.addScsiDisk(kUsbBareStickHost, "sdc", "1", "0")
            && t.addScsiDisk(kUsbHardDiskHost, "sdd", "0", "0", {"sdd1"})
            && t.addScsiDisk(kUsbOpticalHost, "sr0", "1", "5")
            && t.addScsiDisk(kSataHost, "sda", "0", "0", {"sda1", "sda2"})
            && t.addScsiDisk(kSataOpticalHost, "sr1", "1", "5")
            && t.addNvmeDisk(kNvmeController, "nvme0n1", {"nvme0n1p1"})
            && t.addVirtualDevice("loop0") && t.addVirtualDevice("dm-0")
            && t.addLabel("PEN", "sdb1") && t.addLabel("MY\\x20DISK", "sdb2") && t.addLabel("STICK", "sdc")
            && t.addLabel("SYSTEM", "sda1") && t.addLabel("DVD", "sr0")
            && t.makeLink("/dev/disk/by-label/GONE", "../../sdq")
            && t.writeFile("/run/sdd1", QByteArray()) && t.makeLink("/dev/disk/by-label/ELSEWHERE", "../../../run/sdd1")
            && t.writeMountInfo(kBaseMounts);
    }

private slots:
    void init()
    {
        hadUser = qEnvironmentVariableIsSet("USER");
        hadLogName = qEnvironmentVariableIsSet("LOGNAME");
        savedUser = qgetenv("USER");
        savedLogName = qgetenv("LOGNAME");
        qputenv("USER", "ana");
        qputenv("LOGNAME", "ana");

        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        // The fixture's own path holds "/usb", "/block/" and "/dev/": none of
        // them may count.
        const QString root = dir->filePath("usb/block/dev/root");
        QVERIFY(QDir().mkpath(root));
        tree.reset(new SystemTree(root));
        view = FixtureView();
        view.root = root;
    }

    void cleanup()
    {
        if (hadUser)
            qputenv("USER", savedUser);
        else
            qunsetenv("USER");
        if (hadLogName)
            qputenv("LOGNAME", savedLogName);
        else
            qunsetenv("LOGNAME");
    }

    void unmountedDrivesComeFromSysfs()
    {
        QVERIFY(buildStandardTree());
        const QStringList found = describeAll(detect());
        QCOMPARE(sorted(found), sorted({unmountedPen(), unmountedMyDisk(), unmountedStick(), unmountedHardDisk()}));
    }

    void qtVolumesComeFirst()
    {
        QVERIFY(buildStandardTree());
        view.volumes = {
            volume("/dev/sda2", "/", "ext4", "SYSTEM"),
            volume("/dev/sdb1", "/media/ana/PEN", "vfat", "PEN"),
            volume("tmpfs", "/run/user/1000", "tmpfs", "tmpfs"),
            volume("/dev/sr0", "/media/ana/DVD", "iso9660", "DVD"),
            volume("/dev/sdc", "/media/ana/STICK", "exfat", "STICK", QString(), false),
            volume("/dev/mapper/vg-data", "/data", "ext4", "data"),
            volume("/dev/sdb1", "/srv/pen", "vfat", "PEN"),
            volume("/dev/sdd1", "/media/ana/PEN", "ntfs", "BACKUP"),
        };
        MountedVolume invalid = volume("/dev/sdb2", "/media/ana/MY DISK", "ext4", "MY DISK");
        invalid.valid = false;
        view.volumes.append(invalid);

        const QStringList found = describeAll(detect());
        const QStringList firstPass = {
            record("/dev/sdb1:/media/ana/PEN", "/dev/sdb1", "PEN", "/media/ana/PEN", "vfat", true, true),
            record("/dev/sdb1:/srv/pen", "/dev/sdb1", "PEN", "/srv/pen", "vfat", true, true),
        };
        QCOMPARE(found.mid(0, 2), firstPass);
        // sdc was not ready and sdd1's root was taken: both are left to pass 3.
        QCOMPARE(sortedTail(found, 2), sorted({unmountedMyDisk(), unmountedStick(), unmountedHardDisk()}));
        QVERIFY(view.storageQueries.isEmpty());
    }

    void mountTableListsWhatQtLeftOut()
    {
        QVERIFY(buildStandardTree());
        view.volumes = {volume("/dev/sdb1", "/media/ana/PEN", "vfat", "PEN")};
        QStringList mounts = kBaseMounts;
        mounts << "95 28 8:17 / /media/ana/PEN rw,nosuid,nodev,relatime shared:323 - vfat /dev/sdb1 rw,uid=1000"
               << "96 28 8:18 / /media/ana/MY\\040DISK rw,nosuid,nodev,relatime shared:330 master:1 - ext4 /dev/sdb2 rw"
               << "97 28 8:17 / /srv/again rw,relatime - vfat /dev/sdb1 rw"
               << "98 28 0:50 / /media/ana/NET rw,relatime shared:331 - fuse.sshfs ana@server:/ rw"
               << "99 28 11:0 / /media/ana/DVD ro,relatime shared:332 - iso9660 /dev/sr0 ro"
               << "100 28 8:32 / /media/ana/STICK rw,relatime - exfat /dev/sdc rw"
               << "101 28 8:49 / /media/ana/PEN rw,relatime - ntfs3 /dev/sdd1 rw";
        QVERIFY(tree->writeMountInfo(mounts));
        view.storage.insert("/media/ana/STICK", volume("/dev/sdc", "/media/ana/STICK", "exfat", "", "STICK"));

        const QStringList found = describeAll(detect());
        const QStringList ordered = {
            record("/dev/sdb1:/media/ana/PEN", "/dev/sdb1", "PEN", "/media/ana/PEN", "vfat", true, true),
            record("/dev/sdb2:/media/ana/MY DISK", "/dev/sdb2", "MY DISK", "/media/ana/MY DISK", "ext4", true, true),
            record("/dev/sdc:/media/ana/STICK", "/dev/sdc", "STICK", "/media/ana/STICK", "exfat", true, true),
        };
        QCOMPARE(found.mid(0, 3), ordered);
        QCOMPARE(sortedTail(found, 3), QStringList{unmountedHardDisk()});
        // Storage is asked only for the USB mounts it lists.
        QCOMPARE(view.storageQueries, QStringList({"/media/ana/MY DISK", "/media/ana/STICK"}));
    }

    void mountPointEscapes_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("mountPoint");
        QTest::newRow("blank") << "/media/ana/MY\\040DISK" << "/media/ana/MY DISK";
        QTest::newRow("tab") << "/media/ana/A\\011B" << "/media/ana/A\tB";
        QTest::newRow("line feed") << "/media/ana/A\\012B" << "/media/ana/A\nB";
        QTest::newRow("backslash") << "/media/ana/A\\134B" << "/media/ana/A\\B";
        QTest::newRow("backslash then digits") << "/media/ana/A\\134040" << "/media/ana/A\\040";
        QTest::newRow("backslash then tab code") << "/media/ana/A\\134011" << "/media/ana/A\\011";
        QTest::newRow("other escapes stay") << "/media/ana/A\\041B" << "/media/ana/A\\041B";
        QTest::newRow("separator inside a name") << "/media/ana/A\\040-\\040B" << "/media/ana/A - B";
        QTest::newRow("all") << "/media/ana/a\\040b\\011c\\012d\\134e" << "/media/ana/a b\tc\nd\\e";
    }

    void mountPointEscapes()
    {
        QFETCH(QString, token);
        QFETCH(QString, mountPoint);
        QVERIFY(buildStandardTree());
        QVERIFY(tree->writeMountInfo(kBaseMounts + QStringList{"95 28 8:17 / " + token + " rw,relatime shared:323 - vfat /dev/sdb1 rw"}));

        const QList<UsbDevice> found = detect();
        QVERIFY(!found.isEmpty());
        QCOMPARE(found.first().mountPoint, mountPoint);
        QCOMPARE(found.first().id, "/dev/sdb1:" + mountPoint);
        QCOMPARE(view.storageQueries, QStringList{mountPoint});
    }

    void mountTableLines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("sdb1");
        const QString listed = record("/dev/sdb1:/media/ana/PEN", "/dev/sdb1", "PEN", "/media/ana/PEN", "vfat", true, true);
        QTest::newRow("no optional fields") << "95 28 8:17 / /media/ana/PEN rw - vfat /dev/sdb1 rw" << listed;
        QTest::newRow("several optional fields")
            << "95 28 8:17 / /media/ana/PEN rw shared:323 master:1 propagate_from:1 unbindable - vfat /dev/sdb1 rw"
            << listed;
        QTest::newRow("no separator") << "95 28 8:17 / /media/ana/PEN rw vfat /dev/sdb1 rw" << unmountedPen();
        QTest::newRow("four left fields") << "95 28 8:17 /media/ana/PEN - vfat /dev/sdb1 rw" << unmountedPen();
        QTest::newRow("two right fields") << "95 28 8:17 / /media/ana/PEN rw - vfat /dev/sdb1" << unmountedPen();
        QTest::newRow("source outside /dev") << "95 28 8:17 / /media/ana/PEN rw - vfat sdb1 rw" << unmountedPen();
        QTest::newRow("empty type takes the volume's")
            << "95 28 8:17 / /media/ana/PEN rw -  /dev/sdb1 rw"
            << record("/dev/sdb1:/media/ana/PEN", "/dev/sdb1", "PEN", "/media/ana/PEN", "msdos", true, true);
    }

    void mountTableLines()
    {
        QFETCH(QString, line);
        QFETCH(QString, sdb1);
        QVERIFY(buildStandardTree());
        QVERIFY(tree->writeMountInfo(kBaseMounts + QStringList{line}));
        view.storage.insert("/media/ana/PEN", volume("/dev/sdb1", "/media/ana/PEN", "msdos", "PEN"));

        QStringList forSdb1;
        for (const UsbDevice& d : detect()) {
            if (d.devicePath == QLatin1String("/dev/sdb1"))
                forSdb1.append(describe(d));
        }
        QCOMPARE(forSdb1, QStringList{sdb1});
    }

    void volumeLabels_data()
    {
        QTest::addColumn<bool>("fromMountTable");
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("label");
        for (const bool fromMountTable : {false, true}) {
            const QByteArray pass = fromMountTable ? "mount table: " : "Qt volumes: ";
            QTest::newRow(pass + "display name") << fromMountTable << "PEN" << "OTHER" << "/media/ana/X" << "PEN";
            QTest::newRow(pass + "then name") << fromMountTable << "" << "OTHER" << "/media/ana/X" << "OTHER";
            QTest::newRow(pass + "then root folder") << fromMountTable << "" << "" << "/media/ana/X" << "X";
            QTest::newRow(pass + "then device") << fromMountTable << "" << "" << "/" << "sdb1";
        }
    }

    void volumeLabels()
    {
        QFETCH(bool, fromMountTable);
        QFETCH(QString, displayName);
        QFETCH(QString, name);
        QFETCH(QString, root);
        QFETCH(QString, label);
        QVERIFY(buildStandardTree());
        const MountedVolume mounted = volume("/dev/sdb1", root, "vfat", displayName, name);
        if (fromMountTable) {
            QVERIFY(tree->writeMountInfo(kBaseMounts + QStringList{"95 28 8:17 / /media/ana/PEN rw - vfat /dev/sdb1 rw"}));
            view.storage.insert("/media/ana/PEN", mounted);
        } else {
            view.volumes = {mounted};
        }

        const QList<UsbDevice> found = detect();
        QVERIFY(!found.isEmpty());
        QCOMPARE(found.first().devicePath, QStringLiteral("/dev/sdb1"));
        QCOMPARE(found.first().mountPoint, root);
        QCOMPARE(found.first().label, label);
    }

    void guessedMountRoot_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QByteArray>("logName");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("mountPoint");
        const QByteArray unset;
        QTest::newRow("no folder") << QByteArray("ana") << QByteArray("ana") << "PEN" << QStringList() << "";
        QTest::newRow("mounted in /media") << QByteArray("ana") << unset << "PEN"
                                           << QStringList{"/media/ana/PEN"} << "/media/ana/PEN";
        QTest::newRow("/run/media") << QByteArray("ana") << unset << "PEN" << QStringList{"/run/media/ana/PEN"}
                                    << "/run/media/ana/PEN";
        QTest::newRow("/mnt") << QByteArray("ana") << unset << "PEN" << QStringList{"/mnt/PEN"} << "/mnt/PEN";
        QTest::newRow("/media before /run/media")
            << QByteArray("ana") << unset << "PEN" << QStringList{"/run/media/ana/PEN", "/media/ana/PEN", "/mnt/PEN"}
            << "/media/ana/PEN";
        QTest::newRow("USER before LOGNAME") << QByteArray("ana") << QByteArray("bob") << "PEN"
                                             << QStringList{"/media/bob/PEN", "/media/ana/PEN"} << "/media/ana/PEN";
        QTest::newRow("LOGNAME in /media before /run/media")
            << QByteArray("ana") << QByteArray("bob") << "PEN" << QStringList{"/run/media/ana/PEN", "/media/bob/PEN"}
            << "/media/bob/PEN";
        QTest::newRow("LOGNAME alone") << unset << QByteArray("bob") << "PEN" << QStringList{"/run/media/bob/PEN"}
                                       << "/run/media/bob/PEN";
        QTest::newRow("no user: no empty user folder") << unset << unset << "PEN"
                                                       << QStringList{"/media/PEN", "/run/media/PEN"} << "";
        QTest::newRow("no user: /mnt") << unset << unset << "PEN" << QStringList{"/media/PEN", "/mnt/PEN"}
                                       << "/mnt/PEN";
        QTest::newRow("no label: kernel name") << QByteArray("ana") << unset << "" << QStringList{"/media/ana/sdb1"}
                                               << "/media/ana/sdb1";
    }

    void escapedLabels_data()
    {
        QTest::addColumn<QString>("linkName");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QString>("mountPoint");
        QTest::newRow("blank") << "MY\\x20DISK" << "MY DISK" << QStringList{"/media/ana/MY DISK"}
                               << "/media/ana/MY DISK";
        QTest::newRow("not found as udev wrote it")
            << "MY\\x20DISK" << "MY DISK" << QStringList{"/media/ana/MY\\x20DISK"} << "";
        QTest::newRow("UTF-8 bytes") << "Jo\\xc3\\xa3o\\x20\\xE2\\x82\\xAC" << QString::fromUtf8("João €")
                                     << QStringList{QString::fromUtf8("/run/media/ana/João €")}
                                     << QString::fromUtf8("/run/media/ana/João €");
        QTest::newRow("escaped backslash") << "A\\x5cx20B" << "A\\x20B" << QStringList() << "";
        QTest::newRow("no escape") << "A\\xZZ\\x2" << "A\\xZZ\\x2" << QStringList{"/mnt/A\\xZZ\\x2"}
                                   << "/mnt/A\\xZZ\\x2";
        // A label is shown as it is, but never leads the probe elsewhere.
        QTest::newRow("slash") << "a\\x2fb" << "a/b" << QStringList{"/media/ana/a/b"} << "";
        QTest::newRow("parent folder") << "\\x2e\\x2e" << ".." << QStringList{"/media/ana"} << "";
    }

    void escapedLabels()
    {
        QFETCH(QString, linkName);
        QFETCH(QString, label);
        QFETCH(QStringList, folders);
        QFETCH(QString, mountPoint);
        qputenv("USER", "ana");
        qunsetenv("LOGNAME");
        QVERIFY(tree->addScsiDisk(kUsbStickHost, "sdb", "1", "0", {"sdb1"}));
        QVERIFY(tree->addLabel(linkName, "sdb1"));
        QVERIFY(tree->writeMountInfo(kBaseMounts));
        for (const QString& folder : folders)
            QVERIFY(tree->makeFolder(folder));
        QCOMPARE(describeAll(detect()),
                 QStringList{record("/dev/sdb1", "/dev/sdb1", label, mountPoint, "", true, !mountPoint.isEmpty())});
    }

    void guessedMountRoot()
    {
        QFETCH(QByteArray, user);
        QFETCH(QByteArray, logName);
        QFETCH(QString, label);
        QFETCH(QStringList, folders);
        QFETCH(QString, mountPoint);
        if (user.isNull())
            qunsetenv("USER");
        else
            qputenv("USER", user);
        if (logName.isNull())
            qunsetenv("LOGNAME");
        else
            qputenv("LOGNAME", logName);
        QVERIFY(tree->addScsiDisk(kUsbStickHost, "sdb", "1", "0", {"sdb1"}));
        if (!label.isEmpty())
            QVERIFY(tree->addLabel(label, "sdb1"));
        QVERIFY(tree->writeMountInfo(kBaseMounts));
        for (const QString& folder : folders)
            QVERIFY(tree->makeFolder(folder));

        const QList<UsbDevice> found = detect();
        QCOMPARE(found.size(), 1);
        const UsbDevice& device = found.first();
        QCOMPARE(device.devicePath, QStringLiteral("/dev/sdb1"));
        QCOMPARE(device.id, QStringLiteral("/dev/sdb1"));
        QCOMPARE(device.label, label.isEmpty() ? QStringLiteral("sdb1") : label);
        QCOMPARE(device.mountPoint, mountPoint);
        QCOMPARE(device.mounted, !mountPoint.isEmpty());
    }

    void folderLeftBehindIsNoRoot()
    {
        qputenv("USER", "ana");
        QVERIFY(tree->addScsiDisk(kUsbStickHost, "sdb", "1", "0", {"sdb1"}));
        QVERIFY(tree->addLabel("PEN", "sdb1"));
        QVERIFY(tree->writeMountInfo(kBaseMounts));
        QVERIFY(tree->makeFolder("/media/ana/PEN"));
        QVERIFY(tree->makeFolder("/mnt/PEN"));
        view.leftBehind = QStringList{"/media/ana/PEN"};
        // The next candidate that really is mounted is taken.
        QCOMPARE(describeAll(detect()), QStringList{record("/dev/sdb1", "/dev/sdb1", "PEN", "/mnt/PEN", "", true, true)});
        view.leftBehind.append("/mnt/PEN");
        QCOMPARE(describeAll(detect()), QStringList{record("/dev/sdb1", "/dev/sdb1", "PEN", "", "", true, false)});
        view.leftBehind.clear();
    }

    void realFoldersAreNotMountPoints()
    {
        // The shipped check, on this machine: /proc is a mount, a fresh
        // folder is not.
        const SystemView real;
        QVERIFY(real.isMountPoint("/proc"));
        QVERIFY(real.isMountPoint("/"));
        QTemporaryDir folder;
        QVERIFY(!real.isMountPoint(folder.path()));
    }

    void fileInPlaceOfFolderIsNoRoot()
    {
        QVERIFY(tree->addScsiDisk(kUsbStickHost, "sdb", "1", "0", {"sdb1"}));
        QVERIFY(tree->addLabel("PEN", "sdb1"));
        QVERIFY(tree->writeMountInfo(kBaseMounts));
        QVERIFY(tree->writeFile("/media/ana/PEN", QByteArray()));
        QVERIFY(tree->makeFolder("/run/media/ana"));
        QVERIFY(tree->makeLink("/run/media/ana/PEN", "../../../mnt/elsewhere"));
        QVERIFY(tree->makeFolder("/mnt/elsewhere"));
        // The file is passed over; a link to a folder counts as a folder.
        const QList<UsbDevice> found = detect();
        QCOMPARE(describeAll(found), QStringList{record("/dev/sdb1", "/dev/sdb1", "PEN", "/run/media/ana/PEN", "", true, true)});
    }

    void unreadableSources_data()
    {
        QTest::addColumn<QString>("removed");
        QTest::addColumn<QStringList>("expected");
        const QString listed = record("/dev/sdb1:/media/ana/PEN", "/dev/sdb1", "PEN", "/media/ana/PEN", "vfat", true, true);
        QTest::newRow("nothing missing") << QString() << QStringList{listed, unmountedMyDisk(), unmountedStick(), unmountedHardDisk()};
        // Without the mount table only Qt's volumes are listed.
        QTest::newRow("no mount table") << "/proc/self/mountinfo" << QStringList{listed};
        QTest::newRow("no labels")
            << "/dev/disk" << QStringList{listed, record("/dev/sdb2", "/dev/sdb2", "sdb2", "", "", true, false),
                                          record("/dev/sdc", "/dev/sdc", "sdc", "", "", true, false), unmountedHardDisk()};
        // Without sysfs nothing is known to be on USB.
        QTest::newRow("no sysfs") << "/sys" << QStringList();
    }

    void unreadableSources()
    {
        QFETCH(QString, removed);
        QFETCH(QStringList, expected);
        QVERIFY(buildStandardTree());
        QVERIFY(tree->writeMountInfo(kBaseMounts + QStringList{"95 28 8:17 / /media/ana/PEN rw - vfat /dev/sdb1 rw"}));
        view.volumes = {volume("/dev/sdb1", "/media/ana/PEN", "vfat", "PEN")};
        if (!removed.isEmpty()) {
            const QString path = tree->hostPath(removed);
            QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
        }

        const QStringList found = describeAll(detect());
        if (expected.isEmpty()) {
            QCOMPARE(found, expected);
            return;
        }
        QCOMPARE(found.mid(0, 1), expected.mid(0, 1));
        QCOMPARE(sortedTail(found, 1), sortedTail(expected, 1));
    }

    void internalDisksNeverListed()
    {
        QVERIFY(tree->addScsiDisk(kSataHost, "sda", "0", "0", {"sda1", "sda2"}));
        QVERIFY(tree->addScsiDisk(kSataOpticalHost, "sr1", "1", "5"));
        QVERIFY(tree->addNvmeDisk(kNvmeController, "nvme0n1", {"nvme0n1p1", "nvme0n1p2"}));
        QVERIFY(tree->addVirtualDevice("loop0"));
        QVERIFY(tree->addLabel("DATA", "sda1"));
        QVERIFY(tree->addLabel("WORK", "nvme0n1p2"));
        QVERIFY(tree->writeMountInfo(kBaseMounts));
        QVERIFY(tree->makeFolder("/media/ana/DATA"));
        view.volumes = {volume("/dev/sda2", "/", "ext4", "SYSTEM"), volume("/dev/nvme0n1p1", "/home", "ext4", "HOME"),
                        volume("/dev/loop0", "/snap/core/1", "squashfs", "core")};
        QCOMPARE(describeAll(detect()), QStringList());
    }

    void detectsAfreshEachCall()
    {
        QVERIFY(buildStandardTree());
        const LinuxDeviceManager manager(view);
        QVERIFY(describeAll(manager.detectUsbDevices()).contains(unmountedPen()));
        QVERIFY(tree->makeFolder("/media/ana/PEN"));
        QVERIFY(tree->writeMountInfo(kBaseMounts + QStringList{"95 28 8:49 / /media/ana/BACKUP rw - ntfs3 /dev/sdd1 rw"}));
        const QStringList second = describeAll(manager.detectUsbDevices());
        QCOMPARE(second.first(), record("/dev/sdd1:/media/ana/BACKUP", "/dev/sdd1", "BACKUP", "/media/ana/BACKUP", "ntfs3", false, true));
        QVERIFY(second.contains(record("/dev/sdb1", "/dev/sdb1", "PEN", "/media/ana/PEN", "", true, true)));
    }

    void realSystem()
    {
        // The machine's own drives: whatever is there, detection returns,
        // twice the same, and every record is well formed.
        const std::unique_ptr<DeviceManager> manager(new LinuxDeviceManager);
        const QList<UsbDevice> first = manager->detectUsbDevices();
        const QList<UsbDevice> second = manager->detectUsbDevices();
        QCOMPARE(describeAll(second), describeAll(first));
        for (const UsbDevice& d : first) {
            QVERIFY2(d.devicePath.startsWith(QLatin1String("/dev/")), qPrintable(describe(d)));
            QVERIFY2(!d.label.isEmpty(), qPrintable(describe(d)));
            QVERIFY2(d.mounted == !d.mountPoint.isEmpty(), qPrintable(describe(d)));
        }
    }
};

KAVENDRU_TEST_MAIN(LinuxDeviceManagerTest)
#include "tst_linuxdevicemanager.moc"

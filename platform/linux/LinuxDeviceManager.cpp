#include "LinuxDeviceManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStorageInfo>
#include <QStringList>
#include <QTextStream>

#include <sys/stat.h>

namespace Kavendru::Platform::Linux {

namespace {

const QLatin1String kDevPrefix("/dev/");
const QLatin1String kClassBlock("/sys/class/block/");

QString decodeMountInfoToken(QString token)
{
    // The backslash goes last, so an escaped backslash followed by digits
    // is not read as a second escape.
    token.replace(QLatin1String("\\040"), QLatin1String(" "));
    token.replace(QLatin1String("\\011"), QLatin1String("\t"));
    token.replace(QLatin1String("\\012"), QLatin1String("\n"));
    token.replace(QLatin1String("\\134"), QLatin1String("\\"));
    return token;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// udev writes every byte of a label outside a small safe set as "\xHH"
// into the link name ("MY DISK" becomes "MY\x20DISK"); the bytes are the
// label's UTF-8. Anything that is not such an escape stays as it is.
QString decodeLabelLinkName(const QString& linkName)
{
    const QByteArray name = QFile::encodeName(linkName);
    QByteArray bytes;
    bytes.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name.at(i) == '\\' && i + 3 < name.size() && name.at(i + 1) == 'x') {
            const int high = hexValue(name.at(i + 2));
            const int low = hexValue(name.at(i + 3));
            if (high >= 0 && low >= 0) {
                bytes.append(char(high * 16 + low));
                i += 3;
                continue;
            }
        }
        bytes.append(name.at(i));
    }
    return QString::fromUtf8(bytes);
}

QString fallbackDisplayName(const QString& devicePath, const QString& mountPoint)
{
    const QString name = QFileInfo(mountPoint).fileName();
    if (!name.isEmpty() && name != QLatin1String("/"))
        return name;
    return QFileInfo(devicePath).fileName();
}

QString readFirstLine(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QTextStream stream(&file);
    return stream.readLine().trimmed();
}

QString volumeLabel(const MountedVolume& volume, const QString& devicePath, const QString& mountPoint)
{
    if (!volume.displayName.isEmpty())
        return volume.displayName;
    if (!volume.name.isEmpty())
        return volume.name;
    return fallbackDisplayName(devicePath, mountPoint);
}

MountedVolume fromStorageInfo(const QStorageInfo& info)
{
    MountedVolume volume;
    volume.device = QString::fromLocal8Bit(info.device());
    volume.rootPath = info.rootPath();
    volume.displayName = info.displayName();
    volume.name = info.name();
    volume.valid = info.isValid();
    volume.ready = info.isReady();
    return volume;
}

// One detection: the system as the view shows it, the two sets of what is
// already listed, and the sysfs links resolved so far (each is resolved
// once per call, however many tests ask for it).
class Detection {
public:
    explicit Detection(const SystemView& view);

    QList<UsbDevice> run();

private:
    QString systemPath(const QString& path) const { return prefix + path; }
    QString withoutPrefix(const QString& canonicalPath) const;

    QString blockDeviceSysfsPath(const QString& name);
    QString parentDiskName(const QString& name);
    bool isUsbBlockDevice(const QString& name);
    bool isOpticalBlockDevice(const QString& name);
    bool isRemovableBlockDevice(const QString& name);
    QHash<QString, QString> blockLabelMap() const;
    QString mountedRootForLabel(const QString& label) const;
    bool isMountedFolder(const QString& path) const;

    void addMountedVolumes();
    bool addMountTable();
    void addBlockDevices();
    void append(const UsbDevice& device, const QString& name);

    const SystemView& view;
    QString prefix;
    QString canonicalPrefix;
    QStringList userNames;
    QHash<QString, QString> sysfsPaths;
    QSet<QString> listedRoots;
    QSet<QString> listedNames;
    QList<UsbDevice> devices;
};

Detection::Detection(const SystemView& systemView)
    : view(systemView)
{
    const QString root = view.rootPrefix();
    if (!root.isEmpty()) {
        prefix = QDir::cleanPath(root);
        if (prefix == QLatin1String("/"))
            prefix.clear();
        else
            canonicalPrefix = QFileInfo(prefix).canonicalFilePath();
    }
    const QString user = QString::fromLocal8Bit(qgetenv("USER"));
    if (!user.isEmpty())
        userNames.append(user);
    const QString logName = QString::fromLocal8Bit(qgetenv("LOGNAME"));
    if (!logName.isEmpty() && !userNames.contains(logName))
        userNames.append(logName);
}

// The substring tests below look at paths as the system names them, so the
// fixture folder's own name never decides anything. A link that leaves the
// fixture counts as missing.
QString Detection::withoutPrefix(const QString& canonicalPath) const
{
    if (prefix.isEmpty() || canonicalPath.isEmpty())
        return canonicalPath;
    if (canonicalPrefix.isEmpty())
        return QString();
    if (canonicalPath == canonicalPrefix)
        return QStringLiteral("/");
    if (canonicalPath.size() > canonicalPrefix.size() && canonicalPath.startsWith(canonicalPrefix)
        && canonicalPath.at(canonicalPrefix.size()) == QLatin1Char('/'))
        return canonicalPath.mid(canonicalPrefix.size());
    return QString();
}

QString Detection::blockDeviceSysfsPath(const QString& name)
{
    const auto cached = sysfsPaths.constFind(name);
    if (cached != sysfsPaths.constEnd())
        return cached.value();
    const QString path = withoutPrefix(QFileInfo(systemPath(kClassBlock + name)).canonicalFilePath());
    sysfsPaths.insert(name, path);
    return path;
}

QString Detection::parentDiskName(const QString& name)
{
    const QString path = blockDeviceSysfsPath(name);
    const QLatin1String marker("/block/");
    const int at = path.indexOf(marker);
    if (at < 0)
        return QString();
    const int start = at + marker.size();
    const int end = path.indexOf(QLatin1Char('/'), start);
    return end < 0 ? path.mid(start) : path.mid(start, end - start);
}

bool Detection::isUsbBlockDevice(const QString& name)
{
    const QLatin1String usb("/usb");
    if (blockDeviceSysfsPath(name).contains(usb))
        return true;
    const QString parent = parentDiskName(name);
    if (parent.isEmpty())
        return false;
    return blockDeviceSysfsPath(parent).contains(usb);
}

bool Detection::isOpticalBlockDevice(const QString& name)
{
    const QString parent = parentDiskName(name);
    const QString disk = parent.isEmpty() ? name : parent;
    return readFirstLine(systemPath(kClassBlock + disk + QLatin1String("/device/type"))) == QLatin1String("5");
}

bool Detection::isRemovableBlockDevice(const QString& name)
{
    const QLatin1String removable("/removable");
    if (readFirstLine(systemPath(kClassBlock + name + removable)) == QLatin1String("1"))
        return true;
    const QString parent = parentDiskName(name);
    if (parent.isEmpty() || parent == name)
        return false;
    return readFirstLine(systemPath(kClassBlock + parent + removable)) == QLatin1String("1");
}

QHash<QString, QString> Detection::blockLabelMap() const
{
    QHash<QString, QString> labels;
    const QDir folder(systemPath(QStringLiteral("/dev/disk/by-label")));
    const QFileInfoList entries =
        folder.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        const QString target = withoutPrefix(entry.canonicalFilePath());
        if (target.startsWith(kDevPrefix))
            labels.insert(QFileInfo(target).fileName(), decodeLabelLinkName(entry.fileName()));
    }
    return labels;
}

bool Detection::isMountedFolder(const QString& path) const
{
    // A folder left behind by an earlier mount is not the drive: taking it
    // for one would put the user's vault on this computer's own disk.
    const QString folder = systemPath(path);
    return QFileInfo(folder).isDir() && view.isMountPoint(folder);
}

QString Detection::mountedRootForLabel(const QString& label) const
{
    // A decoded label can hold what no folder name may ("..", "a/b"): such a
    // label must not lead the probe out of the mount folders.
    if (label.isEmpty() || label == QLatin1String(".") || label == QLatin1String("..")
        || label.contains(QLatin1Char('/')) || label.contains(QChar(u'\0')))
        return QString();
    const QLatin1String patterns[] = {QLatin1String("/media/%1/%2"), QLatin1String("/run/media/%1/%2")};
    for (const QLatin1String& pattern : patterns) {
        for (const QString& user : userNames) {
            const QString candidate = QString(pattern).arg(user, label);
            if (isMountedFolder(candidate))
                return candidate;
        }
    }
    const QString candidate = QStringLiteral("/mnt/%1").arg(label);
    if (isMountedFolder(candidate))
        return candidate;
    return QString();
}

void Detection::append(const UsbDevice& device, const QString& name)
{
    devices.append(device);
    listedNames.insert(name);
    listedRoots.insert(device.mountPoint);
}

void Detection::addMountedVolumes()
{
    const QList<MountedVolume> volumes = view.mountedVolumes();
    for (const MountedVolume& volume : volumes) {
        const QString& device = volume.device;
        if (!device.startsWith(kDevPrefix) || !volume.valid || !volume.ready)
            continue;
        const QString name = QFileInfo(device).fileName();
        if (!isUsbBlockDevice(name) || isOpticalBlockDevice(name))
            continue;
        const QString& root = volume.rootPath;
        if (root.isEmpty() || listedRoots.contains(root))
            continue;

        UsbDevice record;
        record.devicePath = device;
        record.mountPoint = root;
        record.fileSystem = volume.fileSystemType;
        record.label = volumeLabel(volume, device, root);
        record.id = QStringLiteral("%1:%2").arg(device, root);
        record.removable = isRemovableBlockDevice(name);
        record.mounted = true;
        append(record, name);
    }
}

bool Detection::addMountTable()
{
    QFile file(systemPath(QStringLiteral("/proc/self/mountinfo")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    QString line;
    const QLatin1String separator(" - ");
    while (stream.readLineInto(&line)) {
        const int at = line.indexOf(separator);
        if (at < 0)
            continue;
        const QStringList left = line.left(at).split(QLatin1Char(' '));
        const QStringList right = line.mid(at + separator.size()).split(QLatin1Char(' '));
        if (left.size() < 5 || right.size() < 3)
            continue;
        const QString mountPoint = decodeMountInfoToken(left.at(4));
        const QString fileSystemType = decodeMountInfoToken(right.at(0));
        const QString source = decodeMountInfoToken(right.at(1));
        if (!source.startsWith(kDevPrefix) || listedRoots.contains(mountPoint))
            continue;
        const QString name = QFileInfo(source).fileName();
        if (listedNames.contains(name) || !isUsbBlockDevice(name) || isOpticalBlockDevice(name))
            continue;

        const MountedVolume storage = view.volumeAt(mountPoint);
        UsbDevice record;
        record.devicePath = source;
        record.mountPoint = storage.valid && !storage.rootPath.isEmpty() ? storage.rootPath : mountPoint;
        record.fileSystem = fileSystemType.isEmpty() ? storage.fileSystemType : fileSystemType;
        record.label = volumeLabel(storage, source, record.mountPoint);
        record.id = QStringLiteral("%1:%2").arg(source, record.mountPoint);
        record.removable = isRemovableBlockDevice(name);
        record.mounted = true;
        append(record, name);
    }
    return true;
}

void Detection::addBlockDevices()
{
    const QHash<QString, QString> labels = blockLabelMap();
    const QStringList names = QDir(systemPath(QStringLiteral("/sys/class/block")))
                                  .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : names) {
        if (listedNames.contains(name))
            continue;
        if (!isUsbBlockDevice(name) || isOpticalBlockDevice(name))
            continue;
        if (parentDiskName(name) == name) {
            const QStringList children =
                QDir(systemPath(kClassBlock + name)).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
            bool hasPartition = false;
            for (const QString& child : children) {
                if (child != name && child.startsWith(name)) {
                    hasPartition = true;
                    break;
                }
            }
            if (hasPartition)
                continue;
        }

        UsbDevice record;
        record.devicePath = kDevPrefix + name;
        record.id = record.devicePath;
        record.label = labels.value(name);
        if (record.label.isEmpty())
            record.label = name;
        record.mountPoint = mountedRootForLabel(record.label);
        record.removable = isRemovableBlockDevice(name);
        record.mounted = !record.mountPoint.isEmpty();
        devices.append(record);
    }
}

QList<UsbDevice> Detection::run()
{
    addMountedVolumes();
    // Without the mount table pass 3 cannot tell mounted drives apart.
    if (addMountTable())
        addBlockDevices();
    return devices;
}

} // namespace

QString SystemView::rootPrefix() const
{
    return QString();
}

QList<MountedVolume> SystemView::mountedVolumes() const
{
    const QList<QStorageInfo> infos = QStorageInfo::mountedVolumes();
    QList<MountedVolume> volumes;
    volumes.reserve(infos.size());
    for (const QStorageInfo& info : infos) {
        MountedVolume volume = fromStorageInfo(info);
        volume.fileSystemType = QString::fromLocal8Bit(info.fileSystemType());
        volumes.append(volume);
    }
    return volumes;
}

bool SystemView::isMountPoint(const QString& path) const
{
    struct stat folder;
    struct stat parent;
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &folder) != 0 || ::stat((native + "/..").constData(), &parent) != 0)
        return false;
    return folder.st_dev != parent.st_dev || folder.st_ino == parent.st_ino;
}

MountedVolume SystemView::volumeAt(const QString& path) const
{
    const QStorageInfo info(path);
    MountedVolume volume = fromStorageInfo(info);
    volume.fileSystemType = QString::fromUtf8(info.fileSystemType());
    return volume;
}

LinuxDeviceManager::LinuxDeviceManager(const SystemView& systemView)
    : system(&systemView)
{
}

QList<UsbDevice> LinuxDeviceManager::detectUsbDevices() const
{
    const SystemView realSystem{};
    return Detection(system ? *system : realSystem).run();
}

} // namespace Kavendru::Platform::Linux

#include "SystemTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace KavendruTest {

namespace {

// Folders every block device folder has; none of them looks like a partition.
const char* const kBlockSubfolders[] = {"holders", "power", "queue", "slaves", "trace"};

} // namespace

SystemTree::SystemTree(const QString& root)
    : rootPath(QDir::cleanPath(root))
{
}

bool SystemTree::writeFile(const QString& systemPath, const QByteArray& content)
{
    const QString path = hostPath(systemPath);
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size() && file.flush();
}

bool SystemTree::makeFolder(const QString& systemPath)
{
    return QDir().mkpath(hostPath(systemPath));
}

bool SystemTree::makeLink(const QString& systemPath, const QString& target)
{
    const QString path = hostPath(systemPath);
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    // symlink(2) itself: the target text is stored exactly, relative or not.
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
}

bool SystemTree::addBlockDevice(const QString& sysfsFolder)
{
    if (!makeFolder(sysfsFolder))
        return false;
    for (const char* subfolder : kBlockSubfolders) {
        if (!makeFolder(sysfsFolder + QLatin1Char('/') + QLatin1String(subfolder)))
            return false;
    }
    const QString name = QFileInfo(sysfsFolder).fileName();
    if (!writeFile(sysfsFolder + QLatin1String("/size"), "2048\n"))
        return false;
    // /sys/class/block/<name> -> ../../devices/...
    return makeLink(QStringLiteral("/sys/class/block/") + name, QStringLiteral("../..") + sysfsFolder.mid(4));
}

bool SystemTree::addDiskFolder(const QString& diskFolder, const QString& removable, const QStringList& partitions)
{
    if (!addBlockDevice(diskFolder) || !writeFile(diskFolder + QLatin1String("/removable"), removable.toUtf8() + '\n'))
        return false;
    for (const QString& partition : partitions) {
        if (!addBlockDevice(diskFolder + QLatin1Char('/') + partition)
            || !writeFile(diskFolder + QLatin1Char('/') + partition + QLatin1String("/partition"), "1\n"))
            return false;
    }
    return true;
}

bool SystemTree::addScsiDisk(const QString& hostFolder, const QString& name, const QString& removable,
                             const QString& scsiType, const QStringList& partitions)
{
    const QString host = QFileInfo(hostFolder).fileName(); // host6
    const QString number = host.mid(4);
    const QString lun = number + QLatin1String(":0:0:0");
    const QString deviceFolder = hostFolder + QLatin1String("/target") + number + QLatin1String(":0:0/") + lun;
    const QString diskFolder = deviceFolder + QLatin1String("/block/") + name;
    return writeFile(deviceFolder + QLatin1String("/type"), scsiType.toUtf8() + '\n')
        && addDiskFolder(diskFolder, removable, partitions)
        && makeLink(diskFolder + QLatin1String("/device"), QLatin1String("../../../") + lun);
}

bool SystemTree::addNvmeDisk(const QString& controllerFolder, const QString& name, const QStringList& partitions)
{
    const QString diskFolder = controllerFolder + QLatin1Char('/') + name;
    return addDiskFolder(diskFolder, QStringLiteral("0"), partitions)
        && makeLink(diskFolder + QLatin1String("/device"), QStringLiteral("../../") + QFileInfo(controllerFolder).fileName());
}

bool SystemTree::addVirtualDevice(const QString& name)
{
    const QString folder = QStringLiteral("/sys/devices/virtual/block/") + name;
    return addBlockDevice(folder) && writeFile(folder + QLatin1String("/removable"), "0\n");
}

bool SystemTree::addLabel(const QString& label, const QString& name)
{
    const QString node = QStringLiteral("/dev/") + name;
    if (!QFileInfo::exists(hostPath(node)) && !writeFile(node, QByteArray()))
        return false;
    return makeLink(QStringLiteral("/dev/disk/by-label/") + label, QStringLiteral("../../") + name);
}

bool SystemTree::writeMountInfo(const QStringList& lines)
{
    QByteArray text;
    for (const QString& line : lines)
        text += line.toUtf8() + '\n';
    return writeFile(QStringLiteral("/proc/self/mountinfo"), text);
}

} // namespace KavendruTest

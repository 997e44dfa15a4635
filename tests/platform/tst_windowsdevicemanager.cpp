#include "platform/windows/Kernel32.h"
#include "platform/windows/WindowsDeviceManager.h"

#include "common/TestSupport.h"

#include <QHash>
#include <QTest>

#include <cstring>
#include <memory>

using namespace Kavendru::Platform;
using namespace Kavendru::Platform::Windows;

namespace {

// What the scripted kernel32 answers for one drive letter.
struct DriveScript {
    unsigned driveType = DriveRemovable;
    bool opens = true;
    bool queried = true;
    std::uint32_t busType = BusTypeUsb;
    bool volumeKnown = true;
    QString volumeName;
    QString fileSystemName;
    Dword serialNumber = 0;
};

constexpr unsigned kNoRootFolder = 1;

QString pointerText(const void* pointer)
{
    return pointer ? QStringLiteral("set") : QStringLiteral("null");
}

QString bytesText(const void* buffer, Dword size)
{
    if (!buffer)
        return QStringLiteral("null");
    const QByteArray bytes(static_cast<const char*>(buffer), static_cast<qsizetype>(size));
    return QStringLiteral("%1 %2").arg(size).arg(QString::fromLatin1(bytes.toHex()));
}

QString bufferText(const wchar_t* buffer, Dword size)
{
    if (!buffer)
        return QStringLiteral("null");
    for (Dword i = 0; i < size; ++i) {
        if (buffer[i] != 0)
            return QStringLiteral("%1 dirty").arg(size);
    }
    return QStringLiteral("%1 zeroed").arg(size);
}

// Writes as much of the text as the announced size holds, with the ending
// zero only when there is room for it.
void fill(wchar_t* buffer, Dword size, const QString& text)
{
    if (!buffer)
        return;
    const std::wstring wide = text.toStdWString();
    const Dword count = std::min<Dword>(size, static_cast<Dword>(wide.size()));
    std::copy(wide.begin(), wide.begin() + count, buffer);
    if (count < size)
        buffer[count] = 0;
}

// Records every call with its arguments as text and answers from the
// scripts; a handle closed twice or never opened is a fault.
class ScriptedKernel32 : public Kernel32 {
public:
    Dword mask = 0;
    QHash<QChar, DriveScript> drives;
    QStringList calls;
    QList<Handle> openHandles;
    QStringList faults;

    Dword getLogicalDrives() override
    {
        calls.append(QStringLiteral("GetLogicalDrives()"));
        return mask;
    }

    unsigned getDriveType(const wchar_t* rootPathName) override
    {
        const QString root = QString::fromWCharArray(rootPathName);
        calls.append(QStringLiteral("GetDriveTypeW(%1)").arg(root));
        const auto script = scriptFor(root, 0, QStringLiteral(":\\"));
        return script ? script->driveType : kNoRootFolder;
    }

    Handle createFile(const wchar_t* fileName, Dword desiredAccess, Dword shareMode, void* securityAttributes,
                      Dword creationDisposition, Dword flagsAndAttributes, Handle templateFile) override
    {
        const QString name = QString::fromWCharArray(fileName);
        calls.append(QStringLiteral("CreateFileW(%1, access %2, share %3, security %4, disposition %5, flags %6, template %7)")
                         .arg(name)
                         .arg(desiredAccess)
                         .arg(shareMode)
                         .arg(pointerText(securityAttributes))
                         .arg(creationDisposition)
                         .arg(flagsAndAttributes)
                         .arg(pointerText(templateFile)));
        const DriveScript* script =
            name.startsWith(QLatin1String("\\\\.\\")) ? scriptFor(name, 4, QStringLiteral(":")) : nullptr;
        if (!script || !script->opens)
            return invalidHandleValue();
        const Handle handle = handleFor(name.at(4));
        openHandles.append(handle);
        return handle;
    }

    bool deviceIoControl(Handle device, Dword ioControlCode, void* inBuffer, Dword inBufferSize, void* outBuffer,
                         Dword outBufferSize, Dword* bytesReturned, void* overlapped) override
    {
        calls.append(QStringLiteral("DeviceIoControl(%1, code 0x%2, in %3, out %4, returned %5, overlapped %6)")
                         .arg(handleText(device))
                         .arg(ioControlCode, 0, 16)
                         .arg(bytesText(inBuffer, inBufferSize), bytesText(outBuffer, outBufferSize),
                              pointerText(bytesReturned), pointerText(overlapped)));
        if (!openHandles.contains(device)) {
            faults.append(QStringLiteral("query on a handle that is not open"));
            return false;
        }
        const DriveScript& script = drives[letterOf(device)];
        if (!script.queried)
            return false;
        if (outBuffer && outBufferSize >= offsetof(StorageDeviceDescriptor, busType) + sizeof(std::uint32_t))
            std::memcpy(static_cast<char*>(outBuffer) + offsetof(StorageDeviceDescriptor, busType), &script.busType,
                        sizeof(script.busType));
        if (bytesReturned)
            *bytesReturned = outBufferSize;
        return true;
    }

    bool closeHandle(Handle object) override
    {
        calls.append(QStringLiteral("CloseHandle(%1)").arg(handleText(object)));
        if (!openHandles.removeOne(object)) {
            faults.append(QStringLiteral("closed a handle that is not open"));
            return false;
        }
        return true;
    }

    bool getVolumeInformation(const wchar_t* rootPathName, wchar_t* volumeNameBuffer, Dword volumeNameSize,
                              Dword* volumeSerialNumber, Dword* maximumComponentLength, Dword* fileSystemFlags,
                              wchar_t* fileSystemNameBuffer, Dword fileSystemNameSize) override
    {
        const QString root = QString::fromWCharArray(rootPathName);
        calls.append(QStringLiteral("GetVolumeInformationW(%1, name %2, serial %3, component length %4, flags %5, "
                                    "file system %6)")
                         .arg(root, bufferText(volumeNameBuffer, volumeNameSize), pointerText(volumeSerialNumber),
                              pointerText(maximumComponentLength), pointerText(fileSystemFlags),
                              bufferText(fileSystemNameBuffer, fileSystemNameSize)));
        const DriveScript* script = scriptFor(root, 0, QStringLiteral(":\\"));
        if (!script)
            return false;
        // Written even when the call fails: the detector must not trust it then.
        fill(volumeNameBuffer, volumeNameSize, script->volumeName);
        fill(fileSystemNameBuffer, fileSystemNameSize, script->fileSystemName);
        if (volumeSerialNumber)
            *volumeSerialNumber = script->serialNumber;
        return script->volumeKnown;
    }

private:
    // The script of the letter at `at` in `text`, when the text is exactly
    // that letter followed by `suffix` (after a prefix of `at` characters).
    const DriveScript* scriptFor(const QString& text, int at, const QString& suffix) const
    {
        if (text.size() != at + 1 + suffix.size() || text.mid(at + 1) != suffix)
            return nullptr;
        const auto found = drives.constFind(text.at(at));
        return found == drives.constEnd() ? nullptr : &found.value();
    }

    static Handle handleFor(QChar letter) { return reinterpret_cast<Handle>(quintptr(0x1000 + letter.unicode())); }
    static QChar letterOf(Handle handle) { return QChar(char16_t(reinterpret_cast<quintptr>(handle) - 0x1000)); }
    static QString handleText(Handle handle)
    {
        if (handle == invalidHandleValue())
            return QStringLiteral("invalid handle");
        return QStringLiteral("volume %1:").arg(letterOf(handle));
    }
};

DriveScript usbStick(const QString& name, const QString& fileSystem, Dword serial)
{
    DriveScript script;
    script.volumeName = name;
    script.fileSystemName = fileSystem;
    script.serialNumber = serial;
    return script;
}

QString record(const QString& id, const QString& root, const QString& label, const QString& fileSystem, bool removable)
{
    return QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6 | mounted")
        .arg(id, root, label, root, fileSystem, removable ? QStringLiteral("removable") : QStringLiteral("fixed"));
}

QStringList describeAll(const QList<UsbDevice>& devices)
{
    QStringList lines;
    for (const UsbDevice& d : devices) {
        lines.append(QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6 | %7")
                         .arg(d.id, d.devicePath, d.label, d.mountPoint, d.fileSystem,
                              d.removable ? QStringLiteral("removable") : QStringLiteral("fixed"),
                              d.mounted ? QStringLiteral("mounted") : QStringLiteral("not mounted")));
    }
    return lines;
}

// The calls for one letter, in the order the detector must make them.
QString driveTypeCall(QChar letter)
{
    return QStringLiteral("GetDriveTypeW(%1:\\)").arg(letter);
}

QString openCall(QChar letter)
{
    return QStringLiteral("CreateFileW(\\\\.\\%1:, access 0, share 7, security null, disposition 3, flags 0, template null)")
        .arg(letter);
}

QString queryCall(QChar letter)
{
    // A zeroed 12-byte query (device property, standard query) and a zeroed
    // 40-byte descriptor whose Size is 40.
    return QStringLiteral("DeviceIoControl(volume %1:, code 0x2d1400, in 12 %2, out 40 %3, returned set, overlapped null)")
        .arg(letter)
        .arg(QString(24, QLatin1Char('0')), QStringLiteral("0000000028000000") + QString(64, QLatin1Char('0')));
}

QString closeCall(QChar letter)
{
    return QStringLiteral("CloseHandle(volume %1:)").arg(letter);
}

QString volumeCall(QChar letter)
{
    return QStringLiteral("GetVolumeInformationW(%1:\\, name 260 zeroed, serial set, component length null, flags null, "
                          "file system 260 zeroed)")
        .arg(letter);
}

QStringList fullCalls(QChar letter)
{
    return {driveTypeCall(letter), openCall(letter), queryCall(letter), closeCall(letter), volumeCall(letter)};
}

} // namespace

Q_DECLARE_METATYPE(DriveScript)

class WindowsDeviceManagerTest : public QObject {
    Q_OBJECT

private:
    static QList<UsbDevice> detect(ScriptedKernel32& kernel32)
    {
        const std::unique_ptr<DeviceManager> manager(new WindowsDeviceManager(kernel32));
        return manager->detectUsbDevices();
    }

private slots:
    void oneDrive_data()
    {
        QTest::addColumn<QChar>("letter");
        QTest::addColumn<DriveScript>("script");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("records");

        QTest::newRow("USB stick") << QChar('E') << usbStick("PEN", "FAT32", 0x0A1B2C3D) << fullCalls('E')
                                   << QStringList{record("E:\\-a1b2c3d", "E:\\", "PEN", "FAT32", true)};
        QTest::newRow("USB stick without label") << QChar('F') << usbStick("", "exFAT", 0xFFFFFFFF) << fullCalls('F')
                                                 << QStringList{record("F:\\-ffffffff", "F:\\", "USB F:", "exFAT", true)};
        QTest::newRow("serial number zero") << QChar('E') << usbStick("PEN", "FAT32", 0) << fullCalls('E')
                                            << QStringList{record("E:\\-0", "E:\\", "PEN", "FAT32", true)};

        DriveScript usbHardDisk = usbStick("Backup", "NTFS", 0x1234);
        usbHardDisk.driveType = DriveFixed;
        QTest::newRow("USB hard disk reported fixed") << QChar('G') << usbHardDisk << fullCalls('G')
                                                      << QStringList{record("G:\\-1234", "G:\\", "Backup", "NTFS", false)};

        const QStringList uptoClose = {driveTypeCall('C'), openCall('C'), queryCall('C'), closeCall('C')};
        DriveScript sata = usbStick("Windows", "NTFS", 1);
        sata.driveType = DriveFixed;
        sata.busType = 11;
        QTest::newRow("SATA disk") << QChar('C') << sata << uptoClose << QStringList();
        DriveScript nvme = sata;
        nvme.busType = 17;
        QTest::newRow("NVMe disk") << QChar('C') << nvme << uptoClose << QStringList();

        for (const unsigned type : {0u, 1u, 4u, 5u, 6u}) {
            DriveScript other = usbStick("X", "NTFS", 1);
            other.driveType = type;
            QTest::addRow("drive type %u", type) << QChar('D') << other << QStringList{driveTypeCall('D')} << QStringList();
        }

        DriveScript locked = usbStick("PEN", "FAT32", 1);
        locked.opens = false;
        QTest::newRow("volume cannot be opened") << QChar('E') << locked << QStringList{driveTypeCall('E'), openCall('E')}
                                                 << QStringList();

        DriveScript unanswered = usbStick("PEN", "FAT32", 1);
        unanswered.queried = false;
        QTest::newRow("property query fails") << QChar('E') << unanswered
                                              << QStringList{driveTypeCall('E'), openCall('E'), queryCall('E'), closeCall('E')}
                                              << QStringList();

        DriveScript unreadable = usbStick("GARBAGE", "JUNK", 0xBEEF);
        unreadable.volumeKnown = false;
        QTest::newRow("volume query fails") << QChar('K') << unreadable << fullCalls('K')
                                            << QStringList{record("K:\\", "K:\\", "USB K:", "", true)};

        const QString longName(260, QLatin1Char('N'));
        QTest::newRow("name fills its buffer") << QChar('E') << usbStick(longName, "FAT32", 0xA) << fullCalls('E')
                                               << QStringList{record("E:\\-a", "E:\\", longName, "FAT32", true)};
    }

    void oneDrive()
    {
        QFETCH(QChar, letter);
        QFETCH(DriveScript, script);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, records);
        ScriptedKernel32 kernel32;
        kernel32.mask = Dword(1) << (letter.unicode() - u'A');
        kernel32.drives.insert(letter, script);

        QCOMPARE(describeAll(detect(kernel32)), records);
        QCOMPARE(kernel32.calls, QStringList{"GetLogicalDrives()"} + calls);
        QCOMPARE(kernel32.faults, QStringList());
        QVERIFY(kernel32.openHandles.isEmpty());
    }

    void lettersInOrder()
    {
        ScriptedKernel32 kernel32;
        // A, C, E and Z, and the six bits above Z.
        kernel32.mask = 0xFC000000u | (1u << 0) | (1u << 2) | (1u << 4) | (1u << 25);
        DriveScript floppy = usbStick("", "", 0);
        floppy.opens = false;
        DriveScript system = usbStick("Windows", "NTFS", 1);
        system.driveType = DriveFixed;
        system.busType = 11;
        DriveScript last = usbStick("LAST", "exFAT", 0x2);
        last.driveType = DriveFixed;
        kernel32.drives.insert('A', floppy);
        kernel32.drives.insert('C', system);
        kernel32.drives.insert('E', usbStick("PEN", "FAT32", 0x1));
        kernel32.drives.insert('Z', last);

        QCOMPARE(describeAll(detect(kernel32)), QStringList({record("E:\\-1", "E:\\", "PEN", "FAT32", true),
                                                             record("Z:\\-2", "Z:\\", "LAST", "exFAT", false)}));
        const QStringList expected = QStringList{"GetLogicalDrives()", driveTypeCall('A'), openCall('A')}
            + QStringList{driveTypeCall('C'), openCall('C'), queryCall('C'), closeCall('C')} + fullCalls('E')
            + fullCalls('Z');
        QCOMPARE(kernel32.calls, expected);
        QCOMPARE(kernel32.faults, QStringList());
        QVERIFY(kernel32.openHandles.isEmpty());
    }

    void everyLetterAskedOnce()
    {
        ScriptedKernel32 kernel32;
        kernel32.mask = 0xFFFFFFFFu;
        QCOMPARE(describeAll(detect(kernel32)), QStringList());
        QStringList expected{"GetLogicalDrives()"};
        for (char16_t letter = u'A'; letter <= u'Z'; ++letter)
            expected.append(driveTypeCall(QChar(letter)));
        QCOMPARE(kernel32.calls, expected);
    }
};

KAVENDRU_TEST_MAIN(WindowsDeviceManagerTest)
#include "tst_windowsdevicemanager.moc"

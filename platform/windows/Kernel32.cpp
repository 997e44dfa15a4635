// Forwards our kernel32 interface to the real functions. Windows only, and
// free of Qt so it can be cross-compiled on its own as a signature check.
#include "Kernel32.h"

#include <windows.h>
#include <winioctl.h>

#include <type_traits>

namespace Kavendru::Platform::Windows {

namespace {

static_assert(std::is_same_v<HANDLE, Handle>, "HANDLE");
static_assert(std::is_same_v<WCHAR, wchar_t>, "WCHAR");
static_assert(std::is_same_v<UINT, unsigned>, "UINT");
static_assert(sizeof(DWORD) == sizeof(Dword), "DWORD");

static_assert(DRIVE_REMOVABLE == DriveRemovable, "DRIVE_REMOVABLE");
static_assert(DRIVE_FIXED == DriveFixed, "DRIVE_FIXED");
static_assert(FILE_SHARE_READ == FileShareRead, "FILE_SHARE_READ");
static_assert(FILE_SHARE_WRITE == FileShareWrite, "FILE_SHARE_WRITE");
static_assert(FILE_SHARE_DELETE == FileShareDelete, "FILE_SHARE_DELETE");
static_assert(OPEN_EXISTING == OpenExisting, "OPEN_EXISTING");
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == IoctlStorageQueryProperty, "IOCTL_STORAGE_QUERY_PROPERTY");
static_assert(::StorageDeviceProperty == Windows::StorageDeviceProperty, "StorageDeviceProperty");
static_assert(::PropertyStandardQuery == Windows::PropertyStandardQuery, "PropertyStandardQuery");
static_assert(::BusTypeUsb == Windows::BusTypeUsb, "BusTypeUsb");
static_assert(MAX_PATH == MaxPath, "MAX_PATH");

static_assert(sizeof(STORAGE_PROPERTY_QUERY) == sizeof(StoragePropertyQuery), "STORAGE_PROPERTY_QUERY");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, PropertyId) == offsetof(StoragePropertyQuery, propertyId), "PropertyId");
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == offsetof(StoragePropertyQuery, queryType), "QueryType");
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == sizeof(StorageDeviceDescriptor), "STORAGE_DEVICE_DESCRIPTOR");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, Size) == offsetof(StorageDeviceDescriptor, size), "Size");
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == offsetof(StorageDeviceDescriptor, busType), "BusType");
static_assert(sizeof(STORAGE_BUS_TYPE) == sizeof(StorageDeviceDescriptor::busType), "BusType size");

class SystemKernel32 final : public Kernel32 {
public:
    Dword getLogicalDrives() override { return ::GetLogicalDrives(); }

    unsigned getDriveType(const wchar_t* rootPathName) override { return ::GetDriveTypeW(rootPathName); }

    Handle createFile(const wchar_t* fileName, Dword desiredAccess, Dword shareMode, void* securityAttributes,
                      Dword creationDisposition, Dword flagsAndAttributes, Handle templateFile) override
    {
        return ::CreateFileW(fileName, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                             creationDisposition, flagsAndAttributes, templateFile);
    }

    bool deviceIoControl(Handle device, Dword ioControlCode, void* inBuffer, Dword inBufferSize, void* outBuffer,
                         Dword outBufferSize, Dword* bytesReturned, void* overlapped) override
    {
        DWORD returned = 0;
        const BOOL ok = ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                                          bytesReturned ? &returned : nullptr, static_cast<LPOVERLAPPED>(overlapped));
        if (bytesReturned)
            *bytesReturned = returned;
        return ok != FALSE;
    }

    bool closeHandle(Handle object) override { return ::CloseHandle(object) != FALSE; }

    bool getVolumeInformation(const wchar_t* rootPathName, wchar_t* volumeNameBuffer, Dword volumeNameSize,
                              Dword* volumeSerialNumber, Dword* maximumComponentLength, Dword* fileSystemFlags,
                              wchar_t* fileSystemNameBuffer, Dword fileSystemNameSize) override
    {
        DWORD serial = 0;
        DWORD componentLength = 0;
        DWORD flags = 0;
        const BOOL ok = ::GetVolumeInformationW(rootPathName, volumeNameBuffer, volumeNameSize,
                                                volumeSerialNumber ? &serial : nullptr,
                                                maximumComponentLength ? &componentLength : nullptr,
                                                fileSystemFlags ? &flags : nullptr, fileSystemNameBuffer,
                                                fileSystemNameSize);
        if (volumeSerialNumber)
            *volumeSerialNumber = serial;
        if (maximumComponentLength)
            *maximumComponentLength = componentLength;
        if (fileSystemFlags)
            *fileSystemFlags = flags;
        return ok != FALSE;
    }
};

} // namespace

Kernel32& systemKernel32()
{
    static SystemKernel32 kernel32;
    return kernel32;
}

} // namespace Kavendru::Platform::Windows

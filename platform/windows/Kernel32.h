#pragma once

#include <cstddef>
#include <cstdint>

// The kernel32 calls of drive detection behind an interface of our own, so
// the detector builds and is tested away from Windows. The Windows build
// forwards every call unchanged (Kernel32.cpp, which also checks these
// values against the system's headers).
namespace Kavendru::Platform::Windows {

using Handle = void*;
using Dword = std::uint32_t;

inline Handle invalidHandleValue()
{
    return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));
}

// Drive types of GetDriveTypeW that are kept.
constexpr unsigned DriveRemovable = 2;
constexpr unsigned DriveFixed = 3;

// CreateFileW on a volume: share everything, open what exists.
constexpr Dword FileShareRead = 0x1;
constexpr Dword FileShareWrite = 0x2;
constexpr Dword FileShareDelete = 0x4;
constexpr Dword OpenExisting = 3;

constexpr Dword IoctlStorageQueryProperty = 0x2D1400;
constexpr std::uint32_t StorageDeviceProperty = 0;
constexpr std::uint32_t PropertyStandardQuery = 0;
constexpr std::uint32_t BusTypeUsb = 7;

constexpr Dword MaxPath = 260;

struct StoragePropertyQuery {
    std::uint32_t propertyId;
    std::uint32_t queryType;
    std::uint8_t additionalParameters[1];
};

// Only the fixed part is asked for; the strings that may follow it are not.
struct StorageDeviceDescriptor {
    std::uint32_t version;
    std::uint32_t size;
    std::uint8_t deviceFields[20];
    std::uint32_t busType;
    std::uint8_t rawProperties[8];
};

static_assert(sizeof(StoragePropertyQuery) == 12, "query layout");
static_assert(sizeof(StorageDeviceDescriptor) == 40, "descriptor layout");
static_assert(offsetof(StorageDeviceDescriptor, size) == 4, "descriptor layout");
static_assert(offsetof(StorageDeviceDescriptor, busType) == 28, "descriptor layout");

class Kernel32 {
public:
    virtual ~Kernel32() = default;

    virtual Dword getLogicalDrives() = 0;
    virtual unsigned getDriveType(const wchar_t* rootPathName) = 0;
    virtual Handle createFile(const wchar_t* fileName, Dword desiredAccess, Dword shareMode, void* securityAttributes,
                              Dword creationDisposition, Dword flagsAndAttributes, Handle templateFile) = 0;
    virtual bool deviceIoControl(Handle device, Dword ioControlCode, void* inBuffer, Dword inBufferSize,
                                 void* outBuffer, Dword outBufferSize, Dword* bytesReturned, void* overlapped) = 0;
    virtual bool closeHandle(Handle object) = 0;
    virtual bool getVolumeInformation(const wchar_t* rootPathName, wchar_t* volumeNameBuffer, Dword volumeNameSize,
                                      Dword* volumeSerialNumber, Dword* maximumComponentLength,
                                      Dword* fileSystemFlags, wchar_t* fileSystemNameBuffer,
                                      Dword fileSystemNameSize) = 0;
};

#ifdef _WIN32
// The real functions.
Kernel32& systemKernel32();
#endif

} // namespace Kavendru::Platform::Windows

// The driver-development library's bus mapping, and device register access.
//
// On the host a physical register block is reachable only on an ARM machine
// that offers /dev/mem (and lets the caller open it): there the internal bus
// maps one to one onto physical memory, and MmMapIoSpace maps the block's
// pages from /dev/mem. Anywhere else both calls refuse with
// ERROR_NOT_SUPPORTED, so no caller ever touches memory that is not a device.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "device.h"
#include "system_services.h"

namespace wince {
namespace {

#if defined(__arm__) || defined(__aarch64__)
constexpr bool kArmHost = true;
#else
constexpr bool kArmHost = false;
#endif

constexpr const char* kPhysicalMemory = "/dev/mem";

bool physicalMemoryReachable() { return kArmHost && access(kPhysicalMemory, R_OK | W_OK) == 0; }

uintptr_t pageSize() { return static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)); }

void* failWith(DWORD error) {
    SetLastError(error);
    return nullptr;
}

}  // namespace

BOOL SystemServices::translateBusAddress(INTERFACE_TYPE interfaceType, ULONG busNumber,
                                         PHYSICAL_ADDRESS busAddress, ULONG& addressSpace,
                                         PHYSICAL_ADDRESS& translated) {
    if (interfaceType != Internal || busNumber != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!physicalMemoryReachable()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    translated = busAddress;
    addressSpace = 0;  // memory space: the caller still has to map it
    return TRUE;
}

void* SystemServices::mapIoSpace(PHYSICAL_ADDRESS physical, ULONG length, BOOLEAN cacheEnable) {
    if (length == 0) return failWith(ERROR_INVALID_PARAMETER);
    if (!kArmHost) return failWith(ERROR_NOT_SUPPORTED);
    // O_SYNC makes the kernel map the pages uncached.
    const int fd = open(kPhysicalMemory, O_RDWR | O_CLOEXEC | (cacheEnable ? 0 : O_SYNC));
    if (fd < 0) return failWith(win32ErrorFromErrno(errno));
    const auto address = static_cast<uint64_t>(physical.QuadPart);
    const uint64_t start = address & ~uint64_t{pageSize() - 1};
    const size_t offset = static_cast<size_t>(address - start);
    void* pages =
        mmap64(nullptr, offset + length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off64_t>(start));
    const int mapError = errno;
    close(fd);
    if (pages == MAP_FAILED) return failWith(win32ErrorFromErrno(mapError));
    return static_cast<char*>(pages) + offset;
}

void SystemServices::unmapIoSpace(void* base, ULONG length) {
    const auto address = reinterpret_cast<uintptr_t>(base);
    const uintptr_t start = address & ~(pageSize() - 1);
    munmap(reinterpret_cast<void*>(start), address - start + length);
}

ULONG SystemServices::readRegister32(volatile ULONG* address) { return *address; }
void SystemServices::writeRegister32(volatile ULONG* address, ULONG value) { *address = value; }
UCHAR SystemServices::readRegister8(volatile UCHAR* address) { return *address; }
void SystemServices::writeRegister8(volatile UCHAR* address, UCHAR value) { *address = value; }

}  // namespace wince

using wince::systemServices;

extern "C" {

// The internal bus (0) only. Errors: ERROR_INVALID_PARAMETER (another bus or
// a null pointer), ERROR_NOT_SUPPORTED (no physical memory to reach here).
BOOL WINAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber, PHYSICAL_ADDRESS BusAddress,
                                   PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress) {
    if (AddressSpace == nullptr || TranslatedAddress == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return systemServices().translateBusAddress(InterfaceType, BusNumber, BusAddress, *AddressSpace,
                                                *TranslatedAddress);
}

// Null on failure. Errors: ERROR_INVALID_PARAMETER (length 0),
// ERROR_NOT_SUPPORTED, errno translations of opening and mapping /dev/mem.
PVOID WINAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, ULONG NumberOfBytes, BOOLEAN CacheEnable) {
    return systemServices().mapIoSpace(PhysicalAddress, NumberOfBytes, CacheEnable);
}

void WINAPI MmUnmapIoSpace(PVOID BaseAddress, ULONG NumberOfBytes) {
    if (BaseAddress != nullptr) systemServices().unmapIoSpace(BaseAddress, NumberOfBytes);
}

ULONG WINAPI READ_REGISTER_ULONG(volatile ULONG* Register) {
    return systemServices().readRegister32(Register);
}

void WINAPI WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
    systemServices().writeRegister32(Register, Value);
}

UCHAR WINAPI READ_REGISTER_UCHAR(volatile UCHAR* Register) {
    return systemServices().readRegister8(Register);
}

void WINAPI WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
    systemServices().writeRegister8(Register, Value);
}

}  // extern "C"

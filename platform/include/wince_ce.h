// The calls only Windows CE has: kernel I/O control and the processor
// information, the idle timer, the driver-development library's bus mapping
// and register access, and the guarded region that stands in for structured
// exception handling. Both builds declare them here; the platform layer of
// each supplies them.
#pragma once

#include <cstddef>

// The platform identifier GetVersionExW reports on Windows CE.
#define VER_PLATFORM_WIN32_CE 3u

#define FILE_DEVICE_HAL 0x0101u

#define IOCTL_HAL_REBOOT CTL_CODE(FILE_DEVICE_HAL, 15, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PROCESSOR_INFORMATION CTL_CODE(FILE_DEVICE_HAL, 25, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_HAL_REBOOT == 0x0101003Cu, "IOCTL_HAL_REBOOT");
static_assert(IOCTL_PROCESSOR_INFORMATION == 0x01010064u, "IOCTL_PROCESSOR_INFORMATION");

// What the kernel reports about the processor: 576 bytes, as the platform
// lays it out (the name fields are zero-terminated UTF-16).
typedef struct _PROCESSOR_INFO {
    WORD wVersion;
    WCHAR szProcessCore[40];
    WORD wCoreRevision;
    WCHAR szProcessorName[40];
    WORD wProcessorRevision;
    WCHAR szCatalogNumber[100];
    WCHAR szVendor[100];
    DWORD dwInstructionSet;
    DWORD dwClockSpeed;
} PROCESSOR_INFO, *PPROCESSOR_INFO;
static_assert(sizeof(PROCESSOR_INFO) == 576, "PROCESSOR_INFO layout must match the platform");
static_assert(offsetof(PROCESSOR_INFO, szProcessCore) == 2, "szProcessCore offset");
static_assert(offsetof(PROCESSOR_INFO, szProcessorName) == 84, "szProcessorName offset");
static_assert(offsetof(PROCESSOR_INFO, szCatalogNumber) == 166, "szCatalogNumber offset");
static_assert(offsetof(PROCESSOR_INFO, szVendor) == 366, "szVendor offset");
static_assert(offsetof(PROCESSOR_INFO, dwInstructionSet) == 568, "dwInstructionSet offset");

// Bus addresses of the driver-development library.
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    PCIBus = 5,
    PCMCIABus = 8,
} INTERFACE_TYPE;

// The exception code of an access violation.
#ifndef EXCEPTION_ACCESS_VIOLATION
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#endif

// Code that structured exception handling guards (see RunGuarded).
typedef void (*PGUARDED_ROUTINE)(void* context);

extern "C" {

// Kernel I/O control: IOCTL_HAL_REBOOT and IOCTL_PROCESSOR_INFORMATION.
BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                            DWORD nOutBufSize, LPDWORD lpBytesReturned);

void WINAPI SystemIdleTimerReset(void);

// From the driver-development library.
BOOL WINAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber, PHYSICAL_ADDRESS BusAddress,
                                   PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress);
PVOID WINAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, ULONG NumberOfBytes, BOOLEAN CacheEnable);
void WINAPI MmUnmapIoSpace(PVOID BaseAddress, ULONG NumberOfBytes);

// Device register access, one access of the named width each.
ULONG WINAPI READ_REGISTER_ULONG(volatile ULONG* Register);
void WINAPI WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);
UCHAR WINAPI READ_REGISTER_UCHAR(volatile UCHAR* Register);
void WINAPI WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);

// Stands in for a __try/__except block whose filter accepts access
// violations only: runs routine(context) and returns 0 when it completed, or
// EXCEPTION_ACCESS_VIOLATION when an access violation ended it at once (what
// it had done stays done). Other exceptions are not handled here. Guarded
// routines must hold no resources that need releasing: they are not unwound.
// On Linux the routine runs in a task of its own that shares the caller's
// memory and thread-local storage while the caller waits, so the process's
// signal handlers are never replaced; it must not start threads.
DWORD WINAPI RunGuarded(PGUARDED_ROUTINE routine, void* context);

}  // extern "C"

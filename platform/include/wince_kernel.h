// Kernel I/O control, the processor information, the performance counter,
// sound and wave volume, the idle timer, the driver-development library's bus
// mapping and register access, and the DLL entry point.
#pragma once

#include <cstddef>

#include "wince_types.h"

typedef uint8_t UCHAR;
typedef UCHAR BOOLEAN;
typedef ULONG* PULONG;
typedef UCHAR* PUCHAR;
typedef void* PVOID;

// I/O control codes: device type, function, transfer method, access.
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | (DWORD)(Method))
#define METHOD_BUFFERED 0u
#define FILE_ANY_ACCESS 0u
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

// PlaySoundW flags.
#define SND_SYNC 0x00000000u
#define SND_ASYNC 0x00000001u
#define SND_NODEFAULT 0x00000002u
#define SND_MEMORY 0x00000004u
#define SND_LOOP 0x00000008u
#define SND_NOSTOP 0x00000010u
#define SND_NOWAIT 0x00002000u
#define SND_ALIAS 0x00010000u
#define SND_FILENAME 0x00020000u
#define SND_RESOURCE 0x00040004u

// Wave output: a device is named by its number or by an open handle.
typedef UINT MMRESULT;
typedef HANDLE HWAVEOUT;
#define MMSYSERR_NOERROR 0u
#define MMSYSERR_ERROR 1u
#define MMSYSERR_BADDEVICEID 2u
#define MMSYSERR_NOTENABLED 3u
#define MMSYSERR_ALLOCATED 4u
#define MMSYSERR_INVALHANDLE 5u
#define MMSYSERR_NODRIVER 6u
#define MMSYSERR_NOMEM 7u
#define MMSYSERR_NOTSUPPORTED 8u
#define MMSYSERR_INVALPARAM 11u

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

// The DLL entry point and its reasons.
#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u
typedef BOOL(WINAPI* PDLL_MAIN)(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);

// The exception code of an access violation.
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u

// Code that structured exception handling guards (see RunGuarded).
typedef void (*PGUARDED_ROUTINE)(void* context);

extern "C" {

// Kernel I/O control: IOCTL_HAL_REBOOT and IOCTL_PROCESSOR_INFORMATION.
BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize,
                            LPVOID lpOutBuf, DWORD nOutBufSize, LPDWORD lpBytesReturned);

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);

void WINAPI SystemIdleTimerReset(void);

BOOL WINAPI PlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound);

MMRESULT WINAPI waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume);
MMRESULT WINAPI waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);

// From the driver-development library.
BOOL WINAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                   PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                   PPHYSICAL_ADDRESS TranslatedAddress);
PVOID WINAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, ULONG NumberOfBytes,
                          BOOLEAN CacheEnable);
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
// The routine runs in a task of its own that shares the caller's memory and
// thread-local storage while the caller waits, so the process's signal
// handlers are never replaced; it must not start threads.
DWORD WINAPI RunGuarded(PGUARDED_ROUTINE routine, void* context);

}  // extern "C"

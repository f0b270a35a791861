// The performance counter, sound and wave volume, the DLL entry point and
// module handles, as desktop Windows has them too; the calls only Windows CE
// has are in wince_ce.h.
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

// The DLL entry point and its reasons.
#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u
typedef BOOL(WINAPI* PDLL_MAIN)(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);

// Linux has no loader that calls a library's entry point: a library names
// its DllMain with DLL_ENTRY_POINT, and the platform layer calls it with
// DLL_PROCESS_ATTACH when the library is loaded and DLL_PROCESS_DETACH when
// it is unloaded (by dlclose or at exit). There is no thread attach or detach.
extern "C" void WINAPI RunDllEntryPoint(PDLL_MAIN entry, const void* addressInModule);
#define DLL_ENTRY_POINT(entry)                                            \
    __attribute__((constructor)) static void wince_dll_process_attach() { \
        RunDllEntryPoint(entry, reinterpret_cast<const void*>(&(entry))); \
    }

// GetModuleHandleExW flags.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

extern "C" {

// The module (the program or a loaded library) that holds an address. Only
// the address form is provided: dwFlags must hold
// GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, and lpModuleName is then any
// address inside the module. With GET_MODULE_HANDLE_EX_FLAG_PIN the module
// stays loaded until the process ends, however often it is freed; without it
// the module's reference count grows by one unless
// GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT is given (not with PIN).
// *phModule receives the module's load address, or NULL on failure.
// Errors: ERROR_INVALID_PARAMETER (flags, no phModule), ERROR_MOD_NOT_FOUND
// (no loaded module holds the address).
BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);

BOOL WINAPI PlaySoundW(LPCWSTR pszSound, HMODULE hmod, DWORD fdwSound);

MMRESULT WINAPI waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume);
MMRESULT WINAPI waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);

}  // extern "C"

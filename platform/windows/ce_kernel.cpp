// The Windows CE kernel calls on a desktop: what a desktop user expects of
// each. A desktop is never rebooted by a library, has neither of the
// handheld's processors nor its bus, and keeps itself awake through
// SetThreadExecutionState.
#include <cstring>
#include <string>

#include "wince.h"

namespace {

constexpr WCHAR kProcessorKey[] = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

template <size_t N>
void readProcessorString(HKEY key, const WCHAR* valueName, WCHAR (&field)[N]) {
    DWORD size = sizeof field - sizeof(WCHAR);
    DWORD type = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(field), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        field[0] = 0;
    }
    field[N - 1] = 0;
}

// The desktop's processor as the kernel of the handheld would describe it:
// its name and vendor, so that a caller sees which processor it is.
BOOL describeProcessor(LPVOID out, DWORD outSize, LPDWORD returned) {
    if (out == nullptr || outSize < sizeof(PROCESSOR_INFO)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    PROCESSOR_INFO info;
    std::memset(&info, 0, sizeof info);
    info.wVersion = 1;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProcessorKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        readProcessorString(key, L"ProcessorNameString", info.szProcessorName);
        readProcessorString(key, L"VendorIdentifier", info.szVendor);
        RegCloseKey(key);
    }
    std::memcpy(out, &info, sizeof info);
    if (returned) *returned = sizeof info;
    return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (code == IOCTL_PROCESSOR_INFORMATION) return describeProcessor(out, outSize, returned);
    // A reboot, and every other kernel service of the handheld, is refused.
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

void WINAPI SystemIdleTimerReset(void) { SetThreadExecutionState(ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED); }

// A desktop has no bus of the handheld's to translate or map.
BOOL WINAPI HalTranslateBusAddress(INTERFACE_TYPE, ULONG, PHYSICAL_ADDRESS, PULONG, PPHYSICAL_ADDRESS) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

PVOID WINAPI MmMapIoSpace(PHYSICAL_ADDRESS, ULONG, BOOLEAN) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

void WINAPI MmUnmapIoSpace(PVOID, ULONG) {}

ULONG WINAPI READ_REGISTER_ULONG(volatile ULONG* reg) { return *reg; }
void WINAPI WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) { *reg = value; }
UCHAR WINAPI READ_REGISTER_UCHAR(volatile UCHAR* reg) { return *reg; }
void WINAPI WRITE_REGISTER_UCHAR(volatile UCHAR* reg, UCHAR value) { *reg = value; }

// Nothing is ever mapped on a desktop (MmMapIoSpace fails), so no guarded
// routine reaches a register; the routine simply runs.
DWORD WINAPI RunGuarded(PGUARDED_ROUTINE routine, void* context) {
    routine(context);
    return 0;
}

}  // extern "C"

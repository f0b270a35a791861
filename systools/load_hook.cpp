// The library's entry point: process attach and detach.
#include "load_hook.h"

#include "device_services.h"

extern "C" BOOL WINAPI DllMain(HANDLE, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        calibrateClock();
        NotifyDriver(kLibraryLoadedCode);
        break;
    case DLL_PROCESS_DETACH:
        NotifyDriver(kLibraryUnloadingCode);
        break;
    default:
        break;
    }
    return TRUE;
}

// Where the platform has no loader that calls a library's entry point, the
// platform layer calls it at load and at unload.
DLL_ENTRY_POINT(DllMain)

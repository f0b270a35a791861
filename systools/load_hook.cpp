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
            // The library's code goes with it: a sound still playing on a thread
            // of its own must end first. The driver hears of the unload after.
            stopSound();
            NotifyDriver(kLibraryUnloadingCode);
            break;
        default: break;
    }
    return TRUE;
}

// Where the platform has no loader that calls a library's entry point, the
// platform layer calls it at load and at unload.
DLL_ENTRY_POINT(DllMain)

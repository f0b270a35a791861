// The entry point, and how Linux calls it: process attach from the
// library's constructor; process detach when the library is unloaded (by
// dlclose or at exit). Linux has no thread attach or detach for a library.
#include "load_hook.h"

#include <dlfcn.h>

#include <cstdlib>

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
    default:
        break;
    }
    return TRUE;
}

namespace {

// The module handle is the library's load address, as on the platform.
HANDLE thisModule() {
    Dl_info info;
    return dladdr(reinterpret_cast<void*>(&thisModule), &info) ? info.dli_fbase : nullptr;
}

void onProcessDetach() { DllMain(thisModule(), DLL_PROCESS_DETACH, nullptr); }

// Detach is registered with atexit from inside the library, which runs it
// when the library is unloaded or the process exits, and before the
// destructors of whatever static state the attach brought to life: a plain
// destructor function would run after those, on torn-down state.
__attribute__((constructor)) void onProcessAttach() {
    DllMain(thisModule(), DLL_PROCESS_ATTACH, nullptr);
    std::atexit(onProcessDetach);
}

}  // namespace

// A library's entry point, called as the platform's loader would: process
// attach from the library's constructor, process detach when the library is
// unloaded or the process exits.
#include <dlfcn.h>

#include <cstdlib>

#include "wince.h"

namespace {

// This layer is linked into each library that names an entry point, so
// each has its own.
PDLL_MAIN dllEntry = nullptr;
HANDLE dllModule = nullptr;

void processDetach() { dllEntry(dllModule, DLL_PROCESS_DETACH, nullptr); }

}  // namespace

// Detach is registered with atexit from inside the library, which runs it
// when the library is unloaded or the process exits, and before the
// destructors of whatever static state the attach brought to life: a plain
// destructor function would run after those, on torn-down state. The module
// handle is the library's load address, as on the platform.
extern "C" void WINAPI RunDllEntryPoint(PDLL_MAIN entry, const void* addressInModule) {
    Dl_info info;
    dllModule = dladdr(addressInModule, &info) ? info.dli_fbase : nullptr;
    dllEntry = entry;
    entry(dllModule, DLL_PROCESS_ATTACH, nullptr);
    std::atexit(processDetach);
}

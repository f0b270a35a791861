// The library's load hook for the Java VM: it keeps the library resident.
//
// A VM unloads a native library once the class loader that loaded it has been
// collected. The library's threads do not end with it: a closed port's worker
// may still be in its last cycle, and the worker of a port the Java side left
// open goes on running (unloading closes nothing). So the library pins itself
// on its first load and is never unmapped under them; a later load, from
// another class loader, finds it with its port table as it was, and the ports
// left open can still be used and closed through their indexes.
#include <jni.h>

#include "wince.h"

namespace {

// False when the library could not be pinned: it still works, but dropping
// the class loader that loaded it is then unsafe.
bool pinResident() {
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&pinResident), &module);
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM*, void*) {
    // Once per process: a pinned library keeps this flag across its loads.
    [[maybe_unused]] static const bool pinned = pinResident();
    return JNI_VERSION_1_6;
}

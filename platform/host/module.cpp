// GetModuleHandleExW in its address form, through the dynamic loader.
#include <dlfcn.h>

#include "wince.h"

namespace {

constexpr DWORD kKnownFlags = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                              GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;

bool validFlags(DWORD flags) {
    const bool pin = flags & GET_MODULE_HANDLE_EX_FLAG_PIN;
    const bool unchanged = flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    return (flags & ~kKnownFlags) == 0 && (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) &&
           !(pin && unchanged);
}

// Takes a reference on the loaded object under its own name; RTLD_NOLOAD
// never loads anything new. RTLD_NODELETE marks the object never to be
// unmapped, whatever dlclose calls follow.
bool referenceObject(const char* name, DWORD flags) {
    const int pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) ? RTLD_NODELETE : 0;
    void* object = dlopen(name, RTLD_NOW | RTLD_NOLOAD | pin);
    if (object == nullptr) return false;
    if (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) dlclose(object);
    return true;
}

}  // namespace

extern "C" BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    if (phModule == nullptr || !validFlags(dwFlags)) {
        if (phModule) *phModule = nullptr;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    Dl_info info;
    if (!dladdr(lpModuleName, &info) || info.dli_fname == nullptr ||
        !referenceObject(info.dli_fname, dwFlags)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    *phModule = info.dli_fbase;
    return TRUE;
}

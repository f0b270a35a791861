// GetModuleHandleExW of the host platform layer: the module that holds an
// address, and pinning it against unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>

#include "wince.h"

namespace {

// A library that nothing else in this process loads, so its last close
// unmaps it unless something keeps it.
constexpr const char* kProbeLibrary = "libz.so.1";
constexpr const char* kProbeSymbol = "zlibVersion";

bool isMapped(void* address) {
    Dl_info info;
    return dladdr(address, &info) != 0;
}

// Loads the probe library, asks for its module with `flags` through one of
// its addresses, closes the library again and tells whether it is still mapped.
bool mappedAfterClose(DWORD flags) {
    void* library = dlopen(kProbeLibrary, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library, nullptr) << dlerror();
    if (library == nullptr) return false;
    void* symbol = dlsym(library, kProbeSymbol);
    Dl_info info{};
    EXPECT_NE(dladdr(symbol, &info), 0);
    HMODULE module = nullptr;
    EXPECT_TRUE(GetModuleHandleExW(flags, static_cast<LPCWSTR>(symbol), &module));
    EXPECT_EQ(module, info.dli_fbase);
    dlclose(library);
    return isMapped(symbol);
}

TEST(HostModules, APinnedLibraryStaysMappedAfterItsLastClose) {
    // Without the pin the library goes with its last close: the probe is sound.
    EXPECT_FALSE(mappedAfterClose(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT));
    EXPECT_TRUE(mappedAfterClose(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN));
}

TEST(HostModules, RefusesOtherFormsAndAddressesOutsideEveryModule) {
    HMODULE module = INVALID_HANDLE_VALUE;
    const auto code = reinterpret_cast<LPCWSTR>(&isMapped);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, code, &module));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(module, nullptr);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    code, &module));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    auto heap = std::make_unique<char16_t[]>(16);
    module = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, heap.get(), &module));
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(module, nullptr);
}

}  // namespace

// The handheld's port names on a desktop: "COMn:" is the device \\.\COMn.
// The desktop opens "COM1" to "COM9" by their plain names only, and COM10
// and above only through the device namespace.
#define WINCE_DESKTOP_DEFINES_STANDINS
#include <cwctype>
#include <string>

#include "wince.h"

namespace {

// The digits of "COMn:" (any case, as the handheld compares), or empty.
std::wstring comNumber(const WCHAR* name) {
    if (name == nullptr) return {};
    const std::wstring text(name);
    if (text.size() < 5 || text.back() != L':' || _wcsnicmp(text.c_str(), L"COM", 3) != 0) return {};
    std::wstring digits = text.substr(3, text.size() - 4);
    for (WCHAR unit : digits) {
        if (unit < L'0' || unit > L'9') return {};
    }
    return digits;
}

}  // namespace

extern "C" HANDLE WINAPI CeCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                       LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                       HANDLE templateFile) {
    const std::wstring digits = comNumber(name);
    if (digits.empty()) return CreateFileW(name, access, share, security, disposition, flags, templateFile);
    const std::wstring device = L"\\\\.\\COM" + digits;
    return CreateFileW(device.c_str(), access, share, security, disposition, flags, templateFile);
}

// MessageBoxW: the host has no desktop, so the box becomes one line on
// stderr and is "dismissed" at once with OK.
#include <unistd.h>

#include <string>

#include "fault_points.h"
#include "utf16.h"
#include "wince.h"

extern "C" {

// Always IDOK; leaves no error.
int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
#ifdef WINCE_FAULT_POINTS
    wince::faults::noteMessageBox(lpCaption ? lpCaption : u"", lpText ? lpText : u"", uType);
#else
    (void)uType;
#endif
    std::string line = wince::utf8FromUtf16(wince::wideView(lpCaption));
    line += ": ";
    line += wince::utf8FromUtf16(wince::wideView(lpText));
    line += '\n';
    // One write, so lines from several threads do not interleave.
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    return IDOK;
}

}  // extern "C"

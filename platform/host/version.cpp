// GetVersionExW: this layer stands in for Windows CE 3.0.
#include <atomic>

#include "registry.h"

namespace {

constexpr DWORD ceMajorVersion = 3;
constexpr DWORD ceMinorVersion = 0;
constexpr DWORD ceBuildNumber = 11171;

std::atomic<DWORD> reportedPlatformId{VER_PLATFORM_WIN32_CE};

}  // namespace

#ifdef WINCE_FAULT_POINTS
void wince::setReportedPlatformId(DWORD platformId) { reportedPlatformId = platformId; }
#endif

extern "C" BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = ceMajorVersion;
    lpVersionInformation->dwMinorVersion = ceMinorVersion;
    lpVersionInformation->dwBuildNumber = ceBuildNumber;
    lpVersionInformation->dwPlatformId = reportedPlatformId;
    lpVersionInformation->szCSDVersion[0] = 0;
    return TRUE;
}

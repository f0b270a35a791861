// GetVersionExW: this layer stands in for Windows CE 3.0.
#include <atomic>

#include "seams.h"

namespace wince {
namespace {

constexpr DWORD ceMajorVersion = 3;
constexpr DWORD ceMinorVersion = 0;
constexpr DWORD ceBuildNumber = 11171;

class HostVersion : public ReportedVersion {
public:
    void describe(OSVERSIONINFOW& info) override {
        info.dwMajorVersion = ceMajorVersion;
        info.dwMinorVersion = ceMinorVersion;
        info.dwBuildNumber = ceBuildNumber;
        info.dwPlatformId = VER_PLATFORM_WIN32_CE;
    }
};

std::atomic<ReportedVersion*> installedVersion{nullptr};

}  // namespace

ReportedVersion& hostVersion() {
    // Never destroyed: the unload hook may ask after static destructors ran.
    static ReportedVersion* const host = new HostVersion;
    return *host;
}

void setReportedVersion(ReportedVersion* version) {
    installedVersion.store(version, std::memory_order_release);
}

}  // namespace wince

extern "C" BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wince::ReportedVersion* version = wince::installedVersion.load(std::memory_order_acquire);
    (version != nullptr ? *version : wince::hostVersion()).describe(*lpVersionInformation);
    lpVersionInformation->szCSDVersion[0] = 0;
    return TRUE;
}

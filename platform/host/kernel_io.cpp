// Kernel I/O control and the idle timer. On the host the processor
// information comes from /proc/cpuinfo, and a reboot request is refused:
// restarting the machine that runs the caller's VM is never what a desktop
// caller wants.
#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <new>
#include <string>

#include "call_gate.h"
#include "device.h"
#include "system_services.h"
#include "utf16.h"

namespace wince {
namespace {

// "key\t: value" lines of the first processor's block.
std::map<std::string, std::string> readCpuInfo(std::ifstream& in) {
    std::map<std::string, std::string> fields;
    std::string line;
    while (std::getline(in, line) && !line.empty()) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        key.erase(key.find_last_not_of(" \t") + 1);
        const size_t valueStart = line.find_first_not_of(" \t", colon + 1);
        fields.emplace(key, valueStart == std::string::npos ? "" : line.substr(valueStart));
    }
    return fields;
}

std::string firstOf(const std::map<std::string, std::string>& fields,
                    std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        auto found = fields.find(key);
        if (found != fields.end()) return found->second;
    }
    return {};
}

// Linux calls the SA-1110 "StrongARM-1110"; the platform's kernel "SA1110".
std::string platformProcessorName(std::string name) {
    const std::string linuxName = "StrongARM-1110";
    const size_t at = name.find(linuxName);
    if (at != std::string::npos) name.replace(at, linuxName.size(), "SA1110");
    return name;
}

template <size_t N>
void copyField(WCHAR (&field)[N], const std::string& text) {
    const std::u16string wide = utf16FromUtf8(text);
    const size_t count = std::min(wide.size(), N - 1);
    std::copy_n(wide.begin(), count, field);
    field[count] = 0;
}

void fillFromCpuInfo(const std::map<std::string, std::string>& fields, PROCESSOR_INFO& info) {
    info.wVersion = 1;
    copyField(info.szProcessorName,
              platformProcessorName(firstOf(fields, {"model name", "Processor", "cpu model"})));
    copyField(info.szCatalogNumber, firstOf(fields, {"Hardware"}));
    copyField(info.szVendor, firstOf(fields, {"vendor_id", "CPU implementer"}));
    const std::string megahertz = firstOf(fields, {"cpu MHz"});
    if (!megahertz.empty())
        info.dwClockSpeed = static_cast<DWORD>(std::lround(std::strtod(megahertz.c_str(), nullptr)));
    utsname machine;
    if (uname(&machine) == 0) copyField(info.szProcessCore, machine.machine);
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

BOOL SystemServices::reboot() { return fail(ERROR_NOT_SUPPORTED); }

BOOL SystemServices::processorInformation(PROCESSOR_INFO& info) {
    std::ifstream in("/proc/cpuinfo");
    if (!in) return fail(win32ErrorFromErrno(errno));
    fillFromCpuInfo(readCpuInfo(in), info);
    return TRUE;
}

// Nothing suspends the host for want of user activity.
void SystemServices::resetIdleTimer() {}

}  // namespace wince

namespace {

BOOL processorInformation(LPVOID out, DWORD outSize, LPDWORD returned) {
    if (out == nullptr || outSize < sizeof(PROCESSOR_INFO)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    PROCESSOR_INFO info{};
    try {
        if (!wince::systemServices().processorInformation(info)) return FALSE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(out, &info, sizeof info);
    if (returned) *returned = sizeof info;
    return TRUE;
}

}  // namespace

extern "C" {

// IOCTL_PROCESSOR_INFORMATION fills a PROCESSOR_INFO (errors:
// ERROR_INSUFFICIENT_BUFFER for an output under 576 bytes, errno
// translations). IOCTL_HAL_REBOOT restarts the device; the host refuses it
// with ERROR_NOT_SUPPORTED. Any other code: ERROR_NOT_SUPPORTED.
BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                            DWORD nOutBufSize, LPDWORD lpBytesReturned) {
    if (wince::CallGate* gate = wince::callGate())
        gate->noteKernelIoControl(dwIoControlCode, lpInBuf, nInBufSize, lpOutBuf, nOutBufSize,
                                  lpBytesReturned);
    if (lpBytesReturned) *lpBytesReturned = 0;
    switch (dwIoControlCode) {
        case IOCTL_PROCESSOR_INFORMATION: return processorInformation(lpOutBuf, nOutBufSize, lpBytesReturned);
        case IOCTL_HAL_REBOOT: return wince::systemServices().reboot();
        default: SetLastError(ERROR_NOT_SUPPORTED); return FALSE;
    }
}

void WINAPI SystemIdleTimerReset(void) { wince::systemServices().resetIdleTimer(); }

}  // extern "C"

// Fault injection and call counting behind WINCE_FAULT_POINT, the message
// boxes the layer would have shown, and the arguments behind
// WINCE_NOTE_ARGUMENTS.
#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>

#include "fault_points.h"
#include "sim.h"
#include "sim_detail.h"

namespace wince::sim {
namespace {

struct ArmedFault {
    DWORD error;
    int times;  // negative: without end
    int skip;
};

struct FaultTable {
    std::mutex mutex;
    // Transparent comparison: the hot path looks names up without building
    // a std::string (fault points run on every call, polling included).
    std::map<std::string, ArmedFault, std::less<>> armed;
    std::map<std::string, int, std::less<>> calls;
    std::vector<MessageBoxRecord> boxes;
    std::vector<CreateFileRecord> createFiles;
    std::vector<KernelIoControlRecord> kernelIoControls;
};

FaultTable& table() {
    static FaultTable instance;
    return instance;
}

void countCall(FaultTable& faults, std::string_view call) {
    auto counted = faults.calls.find(call);
    if (counted == faults.calls.end())
        faults.calls.emplace(std::string(call), 1);
    else
        ++counted->second;
}

DWORD errorFor(FaultTable& faults, std::string_view call) {
    auto fault = faults.armed.find(call);
    if (fault == faults.armed.end())
        return 0;
    ArmedFault& armed = fault->second;
    if (armed.skip > 0) {
        --armed.skip;
        return 0;
    }
    DWORD error = armed.error;
    if (armed.times > 0 && --armed.times == 0)
        faults.armed.erase(fault);
    return error;
}

}  // namespace

void failCall(const std::string& call, DWORD error, int times, int skip) {
    FaultTable& faults = table();
    std::lock_guard lock(faults.mutex);
    if (times == 0 || error == 0) {
        faults.armed.erase(call);
        return;
    }
    faults.armed[call] = ArmedFault{error, times, skip};
}

int callCount(const std::string& call) {
    FaultTable& faults = table();
    std::lock_guard lock(faults.mutex);
    auto counted = faults.calls.find(call);
    return counted == faults.calls.end() ? 0 : counted->second;
}

std::vector<MessageBoxRecord> messageBoxes() {
    FaultTable& faults = table();
    std::lock_guard lock(faults.mutex);
    return faults.boxes;
}

std::vector<CreateFileRecord> createFileCalls() {
    FaultTable& faults = table();
    std::lock_guard lock(faults.mutex);
    return faults.createFiles;
}

std::vector<KernelIoControlRecord> kernelIoControlCalls() {
    FaultTable& faults = table();
    std::lock_guard lock(faults.mutex);
    return faults.kernelIoControls;
}

void reset() {
    detail::forgetLines();
    detail::restoreSleeps();
    FaultTable& faults = table();
    std::lock_guard lock(faults.mutex);
    faults.armed.clear();
    faults.calls.clear();
    faults.boxes.clear();
    faults.createFiles.clear();
    faults.kernelIoControls.clear();
}

}  // namespace wince::sim

namespace wince::faults {

DWORD take(const char* call) {
    sim::FaultTable& faults = sim::table();
    std::lock_guard lock(faults.mutex);
    std::string_view name(call);
    sim::countCall(faults, name);
    return sim::errorFor(faults, name);
}

void noteMessageBox(const char16_t* caption, const char16_t* text, unsigned style) {
    sim::FaultTable& faults = sim::table();
    std::lock_guard lock(faults.mutex);
    faults.boxes.push_back({caption ? caption : u"", text ? text : u"", style});
}

void noteCreateFile(const char16_t* name, DWORD access, DWORD shareMode, const void* security,
                    DWORD creation, DWORD flags, const void* templateFile) {
    sim::FaultTable& faults = sim::table();
    std::lock_guard lock(faults.mutex);
    faults.createFiles.push_back({name ? name : u"", access, shareMode, security != nullptr, creation, flags,
                                  templateFile != nullptr});
}

void noteKernelIoControl(DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                         const DWORD* returned) {
    const auto* bytes = static_cast<const unsigned char*>(out);
    const bool zeroed =
        bytes == nullptr || std::all_of(bytes, bytes + outSize, [](unsigned char byte) { return byte == 0; });
    sim::FaultTable& faults = sim::table();
    std::lock_guard lock(faults.mutex);
    faults.kernelIoControls.push_back(
        {code, in != nullptr, inSize, out != nullptr, outSize, zeroed, returned != nullptr});
}

}  // namespace wince::faults

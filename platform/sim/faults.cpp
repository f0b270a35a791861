// The fault table: the call gate that fails and counts the gated calls and
// records the arguments of CreateFileW and KernelIoControl, and the display
// that records message boxes before the host shows them. Linking the
// simulated backend installs both from the start of the process, so counts
// and records cover everything a test does.
#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>

#include "seams.h"
#include "sim.h"
#include "sim_detail.h"

namespace wince::sim {
namespace {

struct ArmedFault {
    DWORD error;
    int times;  // negative: without end
    int skip;
};

struct FaultTable : CallGate, MessageBoxDisplay {
    std::mutex mutex;
    // Transparent comparison: the gated calls look names up without building
    // a std::string (they run on every call, polling included).
    std::map<std::string, ArmedFault, std::less<>> armed;
    std::map<std::string, int, std::less<>> calls;
    std::vector<MessageBoxRecord> boxes;
    std::vector<CreateFileRecord> createFiles;
    std::vector<KernelIoControlRecord> kernelIoControls;

    DWORD failure(const char* call) override;
    void noteCreateFile(const char16_t* name, DWORD access, DWORD shareMode, const void* security,
                        DWORD creation, DWORD flags, const void* templateFile) override;
    void noteKernelIoControl(DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                             const DWORD* returned) override;
    int show(const char16_t* caption, const char16_t* text, UINT style) override;
};

FaultTable& table() {
    // Never destroyed: a worker thread may still make calls while the
    // process exits.
    static FaultTable* const instance = [] {
        auto* faults = new FaultTable;
        setCallGate(faults);
        setMessageBoxDisplay(faults);
        return faults;
    }();
    return *instance;
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
    if (fault == faults.armed.end()) return 0;
    ArmedFault& armed = fault->second;
    if (armed.skip > 0) {
        --armed.skip;
        return 0;
    }
    DWORD error = armed.error;
    if (armed.times > 0 && --armed.times == 0) faults.armed.erase(fault);
    return error;
}

DWORD FaultTable::failure(const char* call) {
    std::lock_guard lock(mutex);
    std::string_view name(call);
    countCall(*this, name);
    return errorFor(*this, name);
}

int FaultTable::show(const char16_t* caption, const char16_t* text, UINT style) {
    {
        std::lock_guard lock(mutex);
        boxes.push_back({caption, text, style});
    }
    return hostMessageBox().show(caption, text, style);
}

void FaultTable::noteCreateFile(const char16_t* name, DWORD access, DWORD shareMode, const void* security,
                                DWORD creation, DWORD flags, const void* templateFile) {
    std::lock_guard lock(mutex);
    createFiles.push_back({name ? name : u"", access, shareMode, security != nullptr, creation, flags,
                           templateFile != nullptr});
}

void FaultTable::noteKernelIoControl(DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                                     const DWORD* returned) {
    const auto* bytes = static_cast<const unsigned char*>(out);
    const bool zeroed =
        bytes == nullptr || std::all_of(bytes, bytes + outSize, [](unsigned char byte) { return byte == 0; });
    std::lock_guard lock(mutex);
    kernelIoControls.push_back(
        {code, in != nullptr, inSize, out != nullptr, outSize, zeroed, returned != nullptr});
}

// Installs the table before main runs.
[[maybe_unused]] FaultTable& installedAtStart = table();

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

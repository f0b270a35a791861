// The simulated device services, for tests only: a performance counter that
// reads what the test says, the processor the kernel reports, bus mapping
// onto a register block in ordinary memory whose every access is recorded,
// sound and volume calls recorded with the results the test chose, reboot
// and idle-timer requests counted, and an "OBX0:" driver that records the
// control codes it receives.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wince.h"

namespace wince::sim {

// One register access through READ_REGISTER_* / WRITE_REGISTER_*, recorded
// once it completed (an access that faulted is not recorded).
struct RegisterAccess {
    intptr_t offset;  // from the start of the register block
    unsigned width;   // bytes: 4 or 1
    bool write;
    uint32_t value;  // read or written
    bool operator==(const RegisterAccess&) const = default;
};

struct BusTranslation {
    INTERFACE_TYPE interfaceType;
    ULONG busNumber;
    LONGLONG busAddress;
    ULONG addressSpaceOnEntry;
    LONGLONG translatedOnEntry;
};

struct IoMapping {
    LONGLONG physical;
    ULONG length;
    BOOLEAN cacheEnable;
    void* base;  // what MmMapIoSpace returned
};

struct IoUnmapping {
    void* base;
    ULONG length;
};

struct SoundCall {
    std::optional<std::u16string> fileName;  // empty for a null name
    HMODULE module;
    DWORD flags;
};

// While one lives, the platform calls use it instead of the host's services
// and CreateFileW finds its "OBX0:" driver (it owns the device opener: do not
// mix it with simulated serial lines). Construct one per test.
class SimSystem {
public:
    // Bytes of the simulated register block.
    static constexpr size_t kBlockSize = 32;

    SimSystem();
    ~SimSystem();
    SimSystem(const SimSystem&) = delete;
    SimSystem& operator=(const SimSystem&) = delete;

    // Performance counter (1000 ticks a second and count 0 unless set).
    void setCounterFrequency(LONGLONG ticksPerSecond);
    void setCounter(LONGLONG ticks);
    int frequencyQueries() const;
    int counterReads() const;

    // Processor information: the kernel fills PROCESSOR_INFO with these
    // names (empty unless set), or refuses the query with `error`.
    void setProcessor(const std::u16string& processorName, const std::u16string& processCore);
    void failProcessorQuery(DWORD error);

    // Reboot requests (refused with ERROR_NOT_SUPPORTED unless accepted) and
    // idle-timer resets.
    void acceptReboot(bool accept);
    int rebootRequests() const;
    int idleTimerResets() const;

    // Bus mapping. By default HalTranslateBusAddress accepts (translated =
    // bus address, address space 0) and MmMapIoSpace returns the register
    // block. Refusals set the last error to `error`.
    void refuseTranslation(DWORD error = ERROR_NOT_SUPPORTED);
    // HalTranslateBusAddress answers with the block's own address and a
    // nonzero address space: usable directly, not to be mapped.
    void translateToDirectAddress();
    void refuseMapping(DWORD error = ERROR_NOT_ENOUGH_MEMORY);
    std::vector<BusTranslation> translations() const;
    std::vector<IoMapping> mappings() const;
    std::vector<IoUnmapping> unmappings() const;

    // The register block, in ordinary memory, zero-filled at first. Tests
    // read and set it directly (not recorded).
    uint8_t* block();
    uint32_t register32(size_t offset) const;
    uint8_t register8(size_t offset) const;
    void setRegister32(size_t offset, uint32_t value);
    void setRegister8(size_t offset, uint8_t value);
    // Moves the block so that its first `inaccessibleBytes` lie on a page
    // that cannot be read or written: touching them is an access violation.
    // Tests may touch only the rest afterwards.
    void placeAcrossInaccessiblePage(size_t inaccessibleBytes);
    std::vector<RegisterAccess> registerAccesses() const;
    // A 32-bit register that keeps only the `kept` bits of what is written
    // to it (the rest read as 0), as reserved bits of a device register may:
    // a caller that must write bits back as it saved them cannot rely on
    // reading them back. The access log still shows the value written.
    void keepOnWrite(size_t offset, uint32_t kept);

    // Sound: PlaySoundW's arguments, recorded; it returns `result`.
    void setPlaySoundResult(BOOL result);
    std::vector<SoundCall> soundCalls() const;

    // Volume: waveOutGetVolume returns `result` and writes `written` when
    // given; waveOutSetVolume returns `result`. Both MMSYSERR_NOERROR, with
    // 0 written, unless set.
    void setGetVolumeReply(MMRESULT result, std::optional<DWORD> written);
    void setSetVolumeResult(MMRESULT result);
    int getVolumeCalls() const;
    std::vector<DWORD> setVolumeCalls() const;

    // The "OBX0:" driver: present unless removed; its DeviceIoControl
    // succeeds unless refused. Every code it received, and whether any
    // buffer or size came with it.
    void removeDriver();
    void refuseDriverCodes();
    std::vector<DWORD> driverCodes() const;
    bool driverGotBuffers() const;
    int driverOpens() const;
    int driverCloses() const;
    // Called as the driver receives each code, on the sending thread and
    // outside the simulation's lock: what a test sees then is what had
    // happened before the code came.
    void onDriverCode(std::function<void(DWORD code)> observer);

    class Services;

private:
    std::unique_ptr<Services> services_;
};

}  // namespace wince::sim

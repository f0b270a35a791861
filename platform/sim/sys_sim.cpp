// The simulated device services behind sys_sim.h.
#include "sys_sim.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "device.h"
#include "seams.h"
#include "system_services.h"

namespace wince::sim {
namespace {

bool isDriverName(std::u16string_view name) {
    const std::u16string_view driver = u"OBX0:";
    if (name.size() != driver.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t unit = name[i];
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
        if (unit != driver[i]) return false;
    }
    return true;
}

template <size_t N>
void copyName(WCHAR (&field)[N], const std::u16string& name) {
    const size_t count = std::min(name.size(), N - 1);
    std::copy_n(name.begin(), count, field);
    field[count] = 0;
}

// Two pages: the block normally starts the second; the first can be made
// inaccessible to put part of the block out of reach.
class RegisterMemory {
public:
    RegisterMemory() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* pages = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) throw std::runtime_error("no memory for the register block");
        pages_ = static_cast<uint8_t*>(pages);
        block_ = pages_ + page_;
    }
    ~RegisterMemory() { munmap(pages_, 2 * page_); }
    RegisterMemory(const RegisterMemory&) = delete;
    RegisterMemory& operator=(const RegisterMemory&) = delete;

    uint8_t* block() const { return block_; }
    void placeAcross(size_t inaccessibleBytes) {
        mprotect(pages_, page_, PROT_NONE);
        block_ = pages_ + page_ - inaccessibleBytes;
    }

private:
    size_t page_;
    uint8_t* pages_;
    uint8_t* block_;
};

}  // namespace

struct SimState {
    mutable std::mutex mutex;
    LONGLONG frequency = 1000;
    LONGLONG counter = 0;
    int frequencyQueries = 0;
    int counterReads = 0;
    std::u16string processorName;
    std::u16string processCore;
    DWORD processorQueryError = 0;
    bool rebootAccepted = false;
    int rebootRequests = 0;
    int idleTimerResets = 0;
    DWORD translationError = 0;
    bool translateDirect = false;
    DWORD mappingError = 0;
    std::vector<BusTranslation> translations;
    std::vector<IoMapping> mappings;
    std::vector<IoUnmapping> unmappings;
    RegisterMemory memory;
    std::vector<RegisterAccess> accesses;
    std::map<intptr_t, uint32_t> keptOnWrite;  // by offset
    BOOL playSoundResult = TRUE;
    std::vector<SoundCall> soundCalls;
    MMRESULT getVolumeResult = MMSYSERR_NOERROR;
    std::optional<DWORD> getVolumeWritten = 0;
    MMRESULT setVolumeResult = MMSYSERR_NOERROR;
    int getVolumeCalls = 0;
    std::vector<DWORD> setVolumeCalls;
    bool driverPresent = true;
    bool driverRefuses = false;
    std::vector<DWORD> driverCodes;
    bool driverGotBuffers = false;
    int driverOpens = 0;
    int driverCloses = 0;
    std::function<void(DWORD)> driverCodeObserver;
};

namespace {

class SimDriver : public Device {
public:
    explicit SimDriver(std::shared_ptr<SimState> state) : state_(std::move(state)) {}

    BOOL read(void*, DWORD, DWORD* done) override {
        if (done) *done = 0;
        return TRUE;
    }
    BOOL write(const void*, DWORD count, DWORD* done) override {
        if (done) *done = count;
        return TRUE;
    }
    BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override {
        std::function<void(DWORD)> observer;
        {
            std::lock_guard lock(state_->mutex);
            observer = state_->driverCodeObserver;
        }
        if (observer) observer(code);
        std::lock_guard lock(state_->mutex);
        state_->driverCodes.push_back(code);
        if (in || inSize || out || outSize || returned) state_->driverGotBuffers = true;
        if (returned) *returned = 0;
        if (state_->driverRefuses) {
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        }
        return TRUE;
    }
    BOOL onClose() override {
        std::lock_guard lock(state_->mutex);
        ++state_->driverCloses;
        return TRUE;
    }

private:
    std::shared_ptr<SimState> state_;
};

}  // namespace

class SimSystem::Services : public SystemServices {
public:
    std::shared_ptr<SimState> state = std::make_shared<SimState>();

    BOOL performanceFrequency(LONGLONG& ticksPerSecond) override {
        std::lock_guard lock(state->mutex);
        ++state->frequencyQueries;
        ticksPerSecond = state->frequency;
        return TRUE;
    }
    BOOL performanceCounter(LONGLONG& ticks) override {
        std::lock_guard lock(state->mutex);
        ++state->counterReads;
        ticks = state->counter;
        return TRUE;
    }
    BOOL reboot() override {
        std::lock_guard lock(state->mutex);
        ++state->rebootRequests;
        if (state->rebootAccepted) return TRUE;
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    BOOL processorInformation(PROCESSOR_INFO& info) override {
        std::lock_guard lock(state->mutex);
        if (state->processorQueryError) {
            SetLastError(state->processorQueryError);
            return FALSE;
        }
        copyName(info.szProcessorName, state->processorName);
        copyName(info.szProcessCore, state->processCore);
        return TRUE;
    }
    void resetIdleTimer() override {
        std::lock_guard lock(state->mutex);
        ++state->idleTimerResets;
    }
    BOOL playSound(LPCWSTR fileName, HMODULE module, DWORD flags) override {
        std::lock_guard lock(state->mutex);
        SoundCall call{std::nullopt, module, flags};
        if (fileName) call.fileName = std::u16string(fileName);
        state->soundCalls.push_back(call);
        return state->playSoundResult;
    }
    MMRESULT getVolume(DWORD& volume) override {
        std::lock_guard lock(state->mutex);
        ++state->getVolumeCalls;
        if (state->getVolumeWritten) volume = *state->getVolumeWritten;
        return state->getVolumeResult;
    }
    MMRESULT setVolume(DWORD volume) override {
        std::lock_guard lock(state->mutex);
        state->setVolumeCalls.push_back(volume);
        return state->setVolumeResult;
    }
    BOOL translateBusAddress(INTERFACE_TYPE interfaceType, ULONG busNumber, PHYSICAL_ADDRESS busAddress,
                             ULONG& addressSpace, PHYSICAL_ADDRESS& translated) override {
        std::lock_guard lock(state->mutex);
        state->translations.push_back(
            {interfaceType, busNumber, busAddress.QuadPart, addressSpace, translated.QuadPart});
        if (state->translationError) {
            SetLastError(state->translationError);
            return FALSE;
        }
        if (state->translateDirect) {
            translated.QuadPart = static_cast<LONGLONG>(reinterpret_cast<uintptr_t>(state->memory.block()));
            addressSpace = 1;
        } else {
            translated = busAddress;
            addressSpace = 0;
        }
        return TRUE;
    }
    void* mapIoSpace(PHYSICAL_ADDRESS physical, ULONG length, BOOLEAN cacheEnable) override {
        std::lock_guard lock(state->mutex);
        void* base = state->mappingError ? nullptr : state->memory.block();
        state->mappings.push_back({physical.QuadPart, length, cacheEnable, base});
        if (!base) SetLastError(state->mappingError);
        return base;
    }
    void unmapIoSpace(void* base, ULONG length) override {
        std::lock_guard lock(state->mutex);
        state->unmappings.push_back({base, length});
    }

    // The access itself first: if it faults, nothing is recorded and no
    // lock is held.
    ULONG readRegister32(volatile ULONG* address) override {
        const ULONG value = *address;
        record(address, 4, false, value);
        return value;
    }
    void writeRegister32(volatile ULONG* address, ULONG value) override {
        *address = value & keptBits(address);
        record(address, 4, true, value);
    }
    UCHAR readRegister8(volatile UCHAR* address) override {
        const UCHAR value = *address;
        record(address, 1, false, value);
        return value;
    }
    void writeRegister8(volatile UCHAR* address, UCHAR value) override {
        *address = value;
        record(address, 1, true, value);
    }

    std::shared_ptr<Device> open(std::u16string_view name, DWORD& error) {
        std::lock_guard lock(state->mutex);
        if (!isDriverName(name) || !state->driverPresent) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        ++state->driverOpens;
        return std::make_shared<SimDriver>(state);
    }

private:
    intptr_t offsetOf(const volatile void* address) const {
        return reinterpret_cast<intptr_t>(address) - reinterpret_cast<intptr_t>(state->memory.block());
    }
    uint32_t keptBits(const volatile void* address) {
        std::lock_guard lock(state->mutex);
        auto kept = state->keptOnWrite.find(offsetOf(address));
        return kept == state->keptOnWrite.end() ? 0xFFFFFFFF : kept->second;
    }
    void record(const volatile void* address, unsigned width, bool write, uint32_t value) {
        std::lock_guard lock(state->mutex);
        state->accesses.push_back({offsetOf(address), width, write, value});
    }
};

SimSystem::SimSystem() : services_(std::make_unique<Services>()) {
    setSystemServices(services_.get());
    Services* services = services_.get();
    setDeviceOpener(
        [services](std::u16string_view name, DWORD& error) { return services->open(name, error); });
}

SimSystem::~SimSystem() {
    setDeviceOpener(nullptr);
    setSystemServices(nullptr);
}

namespace {
template <class T>
T locked(const SimState& state, T SimState::*field) {
    std::lock_guard lock(state.mutex);
    return state.*field;
}
}  // namespace

#define SIM_SET(field, value)                          \
    do {                                               \
        std::lock_guard lock(services_->state->mutex); \
        services_->state->field = value;               \
    } while (0)

void SimSystem::setCounterFrequency(LONGLONG ticksPerSecond) { SIM_SET(frequency, ticksPerSecond); }
void SimSystem::setCounter(LONGLONG ticks) { SIM_SET(counter, ticks); }
int SimSystem::frequencyQueries() const { return locked(*services_->state, &SimState::frequencyQueries); }
int SimSystem::counterReads() const { return locked(*services_->state, &SimState::counterReads); }

void SimSystem::setProcessor(const std::u16string& processorName, const std::u16string& processCore) {
    SIM_SET(processorName, processorName);
    SIM_SET(processCore, processCore);
}
void SimSystem::failProcessorQuery(DWORD error) { SIM_SET(processorQueryError, error); }

void SimSystem::acceptReboot(bool accept) { SIM_SET(rebootAccepted, accept); }
int SimSystem::rebootRequests() const { return locked(*services_->state, &SimState::rebootRequests); }
int SimSystem::idleTimerResets() const { return locked(*services_->state, &SimState::idleTimerResets); }

void SimSystem::refuseTranslation(DWORD error) { SIM_SET(translationError, error); }
void SimSystem::translateToDirectAddress() { SIM_SET(translateDirect, true); }
void SimSystem::refuseMapping(DWORD error) { SIM_SET(mappingError, error); }
std::vector<BusTranslation> SimSystem::translations() const {
    return locked(*services_->state, &SimState::translations);
}
std::vector<IoMapping> SimSystem::mappings() const { return locked(*services_->state, &SimState::mappings); }
std::vector<IoUnmapping> SimSystem::unmappings() const {
    return locked(*services_->state, &SimState::unmappings);
}

uint8_t* SimSystem::block() {
    std::lock_guard lock(services_->state->mutex);
    return services_->state->memory.block();
}
uint32_t SimSystem::register32(size_t offset) const {
    uint32_t value;
    std::memcpy(&value, services_->state->memory.block() + offset, sizeof value);
    return value;
}
uint8_t SimSystem::register8(size_t offset) const { return services_->state->memory.block()[offset]; }
void SimSystem::setRegister32(size_t offset, uint32_t value) {
    std::memcpy(block() + offset, &value, sizeof value);
}
void SimSystem::setRegister8(size_t offset, uint8_t value) { block()[offset] = value; }
void SimSystem::placeAcrossInaccessiblePage(size_t inaccessibleBytes) {
    std::lock_guard lock(services_->state->mutex);
    services_->state->memory.placeAcross(inaccessibleBytes);
}
std::vector<RegisterAccess> SimSystem::registerAccesses() const {
    return locked(*services_->state, &SimState::accesses);
}
void SimSystem::keepOnWrite(size_t offset, uint32_t kept) {
    std::lock_guard lock(services_->state->mutex);
    services_->state->keptOnWrite[static_cast<intptr_t>(offset)] = kept;
}

void SimSystem::setPlaySoundResult(BOOL result) { SIM_SET(playSoundResult, result); }
std::vector<SoundCall> SimSystem::soundCalls() const {
    return locked(*services_->state, &SimState::soundCalls);
}

void SimSystem::setGetVolumeReply(MMRESULT result, std::optional<DWORD> written) {
    SIM_SET(getVolumeResult, result);
    SIM_SET(getVolumeWritten, written);
}
void SimSystem::setSetVolumeResult(MMRESULT result) { SIM_SET(setVolumeResult, result); }
int SimSystem::getVolumeCalls() const { return locked(*services_->state, &SimState::getVolumeCalls); }
std::vector<DWORD> SimSystem::setVolumeCalls() const {
    return locked(*services_->state, &SimState::setVolumeCalls);
}

void SimSystem::removeDriver() { SIM_SET(driverPresent, false); }
void SimSystem::refuseDriverCodes() { SIM_SET(driverRefuses, true); }
std::vector<DWORD> SimSystem::driverCodes() const {
    return locked(*services_->state, &SimState::driverCodes);
}
bool SimSystem::driverGotBuffers() const { return locked(*services_->state, &SimState::driverGotBuffers); }
int SimSystem::driverOpens() const { return locked(*services_->state, &SimState::driverOpens); }
int SimSystem::driverCloses() const { return locked(*services_->state, &SimState::driverCloses); }
void SimSystem::onDriverCode(std::function<void(DWORD)> observer) {
    SIM_SET(driverCodeObserver, std::move(observer));
}

#undef SIM_SET

}  // namespace wince::sim

// The process-wide handle table. A HANDLE carries its slot index and the
// slot's generation, so a closed handle stays invalid even after its slot
// holds a new object: Win32 callers keep stale handles in their records.
#include <array>
#include <mutex>

#include "call_gate.h"
#include "kernel_object.h"

namespace wince {

namespace {

constexpr uintptr_t kIndexBits = 12;
constexpr size_t kSlotCount = size_t{1} << kIndexBits;  // 4096 handles at once
// Generations fit in 20 bits, so every handle value fits in 32 bits as on
// the platform; 0 is never used, so no handle value is 0.
constexpr uint32_t kGenerationMask = (1u << (32 - kIndexBits)) - 1;

struct Slot {
    std::shared_ptr<KernelObject> object;
    uint32_t generation = 1;
};

struct HandleTable {
    std::mutex mutex;
    std::array<Slot, kSlotCount> slots;
    size_t nextFree = 0;  // where the search for a free slot starts
    size_t live = 0;
};

// Never destroyed: detached worker threads may still look handles up while
// the process exits.
HandleTable& table() {
    static HandleTable* const instance = new HandleTable;
    return *instance;
}

HANDLE encode(size_t index, uint32_t generation) {
    return reinterpret_cast<HANDLE>((uintptr_t{generation} << kIndexBits) | index);
}

// The slot a handle names while it is live, else null. Caller holds the lock.
Slot* liveSlot(HandleTable& t, HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    Slot& slot = t.slots[value & (kSlotCount - 1)];
    if (!slot.object || (value >> kIndexBits) != slot.generation) return nullptr;
    return &slot;
}

uint32_t nextGeneration(uint32_t generation) {
    generation = (generation + 1) & kGenerationMask;
    return generation == 0 ? 1 : generation;
}

}  // namespace

DWORD KernelObject::wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE registerObject(std::shared_ptr<KernelObject> object) {
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    for (size_t step = 0; step < kSlotCount; ++step) {
        const size_t index = (t.nextFree + step) % kSlotCount;
        Slot& slot = t.slots[index];
        if (slot.object) continue;
        slot.object = std::move(object);
        t.nextFree = (index + 1) % kSlotCount;  // spread reuse over the table
        ++t.live;
        return encode(index, slot.generation);
    }
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
}

std::shared_ptr<KernelObject> lookupObject(HANDLE handle) {
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    Slot* slot = liveSlot(t, handle);
    return slot ? slot->object : nullptr;
}

std::shared_ptr<KernelObject> unregisterObject(HANDLE handle) {
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    Slot* slot = liveSlot(t, handle);
    if (!slot) return nullptr;
    slot->generation = nextGeneration(slot->generation);
    --t.live;
    return std::move(slot->object);
}

size_t liveHandleCount() {
    HandleTable& t = table();
    std::lock_guard lock(t.mutex);
    return t.live;
}

}  // namespace wince

extern "C" {

// Errors: ERROR_INVALID_HANDLE for a handle that is not (or no longer) open;
// otherwise whatever closing the object reports.
BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (wince::callRefused("CloseHandle")) return FALSE;
    std::shared_ptr<wince::KernelObject> object = wince::unregisterObject(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->onClose();
}

}  // extern "C"

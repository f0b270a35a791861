// Sleeps a test has asked to be shortened: the open's fixed settle pause is
// design behaviour and stays in the shipped library, but a test that opens
// ports ten thousand times may have that one pause length cut short.
#include <atomic>
#include <cstdint>

#include "fault_points.h"
#include "sim.h"
#include "sim_detail.h"

namespace wince::sim {
namespace {

// High half: the pause length that is shortened, plus one (0: none);
// low half: what such a pause lasts instead. One word, so the worker's
// polling Sleep(1) reads it without a lock.
std::atomic<uint64_t> shortenedSleep{0};

}  // namespace

void shortenSleeps(DWORD length, DWORD instead) {
    shortenedSleep.store((uint64_t{length} + 1) << 32 | instead, std::memory_order_relaxed);
}

namespace detail {

void restoreSleeps() { shortenedSleep.store(0, std::memory_order_relaxed); }

}  // namespace detail
}  // namespace wince::sim

namespace wince::faults {

DWORD sleepLength(DWORD requested) {
    const uint64_t rule = sim::shortenedSleep.load(std::memory_order_relaxed);
    if (rule == 0 || (rule >> 32) - 1 != requested) return requested;
    return static_cast<DWORD>(rule);
}

}  // namespace wince::faults

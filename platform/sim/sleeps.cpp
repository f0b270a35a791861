// Sleeps a test has asked to be shortened: the open's fixed settle pause is
// design behaviour and stays in the shipped library, but a test that opens
// ports ten thousand times may have that one pause length cut short.
#include <atomic>
#include <cstdint>

#include "seams.h"
#include "sim.h"
#include "sim_detail.h"

namespace wince::sim {
namespace {

class ShortenedSleeps : public SleepLength {
public:
    DWORD lengthOf(DWORD requested) override {
        const uint64_t rule = rule_.load(std::memory_order_relaxed);
        if (rule == 0 || (rule >> 32) - 1 != requested) return requested;
        return static_cast<DWORD>(rule);
    }
    void shorten(DWORD length, DWORD instead) {
        rule_.store((uint64_t{length} + 1) << 32 | instead, std::memory_order_relaxed);
    }

private:
    // High half: the pause length that is shortened, plus one (0: none);
    // low half: what such a pause lasts instead. One word, so the worker's
    // polling Sleep(1) reads it without a lock.
    std::atomic<uint64_t> rule_{0};
};

ShortenedSleeps& shortenedSleeps() {
    // Never destroyed: a worker may still sleep while the process exits.
    static ShortenedSleeps* const instance = new ShortenedSleeps;
    return *instance;
}

}  // namespace

void shortenSleeps(DWORD length, DWORD instead) {
    ShortenedSleeps& sleeps = shortenedSleeps();
    sleeps.shorten(length, instead);
    setSleepLength(&sleeps);
}

namespace detail {

// Takes the rule away altogether: Sleep is the host's own again.
void restoreSleeps() { setSleepLength(nullptr); }

}  // namespace detail
}  // namespace wince::sim

// A waitable boolean state: the body of events and of thread handles.
// (Not named signal.h: this folder is on the include path and would hide <signal.h>.)
//
// Built on a futex, so that a wait that times out costs one system call: a
// port worker's every 1 ms pause is such a wait.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "wince_comm.h"

namespace wince {

class Signal {
public:
    Signal(bool manualReset, bool initialState) : manualReset_(manualReset), state_(initialState ? 1 : 0) {}

    void set() {
        state_.store(1);
        // Paired with wait(): a waiter is counted before it looks at the
        // state, so either it sees the state set or it is woken here.
        if (waiters_.load() != 0) futex(FUTEX_WAKE_BITSET, manualReset_ ? INT_MAX : 1, nullptr);
    }

    void reset() { state_.store(0); }

    // WAIT_OBJECT_0 once set (an auto-reset signal is then reset again),
    // WAIT_TIMEOUT after `milliseconds` (INFINITE waits for ever).
    DWORD wait(DWORD milliseconds) {
        if (take()) return WAIT_OBJECT_0;
        if (milliseconds == 0) return WAIT_TIMEOUT;
        timespec deadline{};
        if (milliseconds != INFINITE) deadline = deadlineAfter(milliseconds);
        const timespec* until = milliseconds == INFINITE ? nullptr : &deadline;
        waiters_.fetch_add(1);
        DWORD result = WAIT_TIMEOUT;
        for (;;) {
            if (take()) {
                result = WAIT_OBJECT_0;
                break;
            }
            // Sleeps only while the state is still 0; returns at once otherwise.
            if (futex(FUTEX_WAIT_BITSET, 0, until) != 0 && errno == ETIMEDOUT) {
                if (take()) result = WAIT_OBJECT_0;
                break;
            }
        }
        waiters_.fetch_sub(1);
        return result;
    }

private:
    bool take() {
        if (manualReset_) return state_.load() != 0;
        uint32_t set = 1;
        return state_.compare_exchange_strong(set, 0);
    }

    static timespec deadlineAfter(DWORD milliseconds) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long nanoseconds = now.tv_nsec + static_cast<long long>(milliseconds % 1000) * 1000000;
        timespec deadline{};
        deadline.tv_sec = now.tv_sec + milliseconds / 1000 + static_cast<time_t>(nanoseconds / 1000000000);
        deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
        return deadline;
    }

    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so a
    // spurious return needs no new time computed.
    long futex(int operation, uint32_t value, const timespec* deadline) {
        return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&state_), operation | FUTEX_PRIVATE_FLAG, value,
                       deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    }

    const bool manualReset_;
    std::atomic<uint32_t> state_;
    std::atomic<uint32_t> waiters_{0};
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");

}  // namespace wince

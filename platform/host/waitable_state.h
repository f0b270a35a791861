// A waitable boolean state: the body of events and of thread handles.
// (Not named signal.h: this folder is on the include path and would hide <signal.h>.)
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "wince_comm.h"

namespace wince {

class Signal {
public:
    Signal(bool manualReset, bool initialState)
        : manualReset_(manualReset), state_(initialState) {}

    void set() {
        {
            std::lock_guard lock(mutex_);
            state_ = true;
        }
        changed_.notify_all();
    }

    void reset() {
        std::lock_guard lock(mutex_);
        state_ = false;
    }

    // WAIT_OBJECT_0 once set (an auto-reset signal is then reset again),
    // WAIT_TIMEOUT after `milliseconds` (INFINITE waits for ever).
    DWORD wait(DWORD milliseconds) {
        std::unique_lock lock(mutex_);
        const auto isSet = [this] { return state_; };
        if (milliseconds == INFINITE) {
            changed_.wait(lock, isSet);
        } else {
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
            if (!changed_.wait_until(lock, deadline, isSet)) return WAIT_TIMEOUT;
        }
        if (!manualReset_) state_ = false;
        return WAIT_OBJECT_0;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool state_;
};

}  // namespace wince

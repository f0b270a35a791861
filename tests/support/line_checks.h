// Checks on a serial port through the Win32 calls, shared by the platform
// and driver tests: time bounds, reads with their outcome, queue counts, a
// read left waiting on another thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "wince.h"

namespace line_checks {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Time bounds for a machine shared by several builds: a wait may end a
// little early by the clock's rounding, and "at once" or "promptly" allows
// for a descheduled thread.
constexpr long long kEarlyMs = 10;
constexpr long long kPromptMs = 2000;
// How long a line may take to hand bytes over to the other end.
constexpr int kSettleMs = 5000;

// A sanitizer's runtime slows every call several times over: bounds of a
// fraction of a millisecond and long loops are scaled for it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

inline long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline void sleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

inline HANDLE openPort(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

inline ::testing::AssertionResult setTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant,
                                              DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
    COMMTIMEOUTS timeouts{interval, multiplier, constant, writeMultiplier, writeConstant};
    if (SetCommTimeouts(port, &timeouts)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "SetCommTimeouts failed with " << GetLastError();
}

inline DCB currentDcb(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    return dcb;
}

struct ReadResult {
    BOOL ok = FALSE;
    DWORD error = 0;
    Bytes bytes;
    long long ms = 0;
};

inline ReadResult readBytes(HANDLE port, DWORD count) {
    Bytes buffer(count);
    DWORD done = 0;
    const Clock::time_point start = Clock::now();
    ReadResult result;
    result.ok = ReadFile(port, buffer.data(), count, &done, nullptr);
    result.error = result.ok ? 0 : GetLastError();
    result.ms = millisecondsSince(start);
    result.bytes.assign(buffer.begin(), buffer.begin() + done);
    return result;
}

// The input queue's count once it reaches `count` (a line hands bytes over
// asynchronously), or as it stands after kSettleMs; MAXDWORD when
// ClearCommError fails.
inline DWORD waitForQueued(HANDLE port, DWORD count) {
    COMSTAT status{};
    const Clock::time_point start = Clock::now();
    do {
        DWORD errors = 0;
        if (!ClearCommError(port, &errors, &status)) return MAXDWORD;
        if (status.cbInQue >= count) break;
        sleepMs(2);
    } while (millisecondsSince(start) < kSettleMs);
    return status.cbInQue;
}

// A ReadFile running on another thread. The thread is detached, so a read
// that never ends fails the test instead of hanging it.
class BackgroundRead {
public:
    static std::shared_ptr<BackgroundRead> start(HANDLE port, DWORD count) {
        auto read = std::make_shared<BackgroundRead>();
        std::thread([port, count, read] {
            read->result_ = readBytes(port, count);
            read->done_ = true;
        }).detach();
        return read;
    }

    bool done() const { return done_; }

    // Whether the read ended within `milliseconds`.
    bool finishesWithin(long long milliseconds) const {
        const Clock::time_point start = Clock::now();
        while (!done_ && millisecondsSince(start) < milliseconds) sleepMs(5);
        return done_;
    }

    // Only once done() is true.
    const ReadResult& result() const { return result_; }

private:
    std::atomic<bool> done_{false};
    ReadResult result_;
};

}  // namespace line_checks

// The performance counter on the host's monotonic clock.
//
// It ticks 1024000 times a second: 1000 / 1024000 is 2^-10, exact in binary,
// so a caller's milliseconds-per-tick factor is exact, the product of a tick
// count with it is exact, and truncating it gives exactly the whole
// milliseconds of CLOCK_MONOTONIC (the clock System.nanoTime reads), with a
// resolution under a microsecond. Counts stay exact in a double for centuries.
#include <time.h>

#include "system_services.h"

namespace wince {
namespace {

constexpr LONGLONG kTicksPerSecond = 1024000;

// ticks = ns * 1024000 / 10^9 = ns * 128 / 125000, split to stay in range.
LONGLONG ticksFrom(const timespec& now) {
    return LONGLONG{now.tv_sec} * kTicksPerSecond + LONGLONG{now.tv_nsec} * 128 / 125000;
}

}  // namespace

BOOL SystemServices::performanceFrequency(LONGLONG& ticksPerSecond) {
    ticksPerSecond = kTicksPerSecond;
    return TRUE;
}

BOOL SystemServices::performanceCounter(LONGLONG& ticks) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    ticks = ticksFrom(now);
    return TRUE;
}

}  // namespace wince

extern "C" {

// Errors: ERROR_INVALID_PARAMETER for a null pointer.
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return wince::systemServices().performanceFrequency(lpFrequency->QuadPart);
}

// Errors: ERROR_INVALID_PARAMETER for a null pointer.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return wince::systemServices().performanceCounter(lpPerformanceCount->QuadPart);
}

}  // extern "C"

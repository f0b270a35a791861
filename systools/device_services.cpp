// Each service is one platform call; the clock reads the performance
// counter through the factor computed once at load.
#include "device_services.h"

double msPerTick = 0.0;

namespace {

const WCHAR kDriverName[] = TEXT("OBX0:");

// The product, truncated toward zero; out of a long's range it saturates
// rather than overflow.
int64_t truncatedMillis(double milliseconds) {
    constexpr double kLimit = 9223372036854775807.0;
    if (milliseconds >= kLimit) return INT64_MAX;
    if (milliseconds <= -kLimit) return INT64_MIN;
    return static_cast<int64_t>(milliseconds);
}

}  // namespace

void calibrateClock() {
    LARGE_INTEGER frequency;
    frequency.QuadPart = 0;
    QueryPerformanceFrequency(&frequency);
    // A counter without a frequency leaves the clock at 0 rather than
    // dividing by it.
    msPerTick = frequency.QuadPart > 0 ? 1000.0 / static_cast<double>(frequency.QuadPart) : 0.0;
}

void NotifyDriver(DWORD code) {
    HANDLE driver =
        CreateFileW(kDriverName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (driver == INVALID_HANDLE_VALUE) return;
    DeviceIoControl(driver, code, nullptr, 0, nullptr, 0, nullptr, nullptr);
    CloseHandle(driver);
}

BOOL softReset() { return KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr); }

BOOL playSound(const WCHAR* fileName, bool synchronous) {
    const DWORD flags = synchronous ? SND_FILENAME : SND_FILENAME | SND_ASYNC;
    return PlaySoundW(fileName, nullptr, flags);
}

// A null name stops the sound that plays asynchronously.
void stopSound() { PlaySoundW(nullptr, nullptr, 0); }

void resetIdleTimer() { SystemIdleTimerReset(); }

DWORD getVolume() {
    DWORD volume = 0;
    waveOutGetVolume(nullptr, &volume);
    return volume;
}

MMRESULT setVolume(DWORD volume) { return waveOutSetVolume(nullptr, volume); }

int64_t preciseCurrentTimeMillis() {
    LARGE_INTEGER count;
    count.QuadPart = 0;
    QueryPerformanceCounter(&count);
    return truncatedMillis(static_cast<double>(count.QuadPart) * msPerTick);
}

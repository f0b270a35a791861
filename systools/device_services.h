// The device services of SystemTool: soft reset, sound, idle timer, wave
// volume, the millisecond clock, and the notifications of the "OBX0:" driver.
#pragma once

#include <cstdint>

#include "wince.h"

// Control codes for the "OBX0:" driver (device type 0x0104, buffered, any
// access): the library has been loaded, the library is being unloaded.
constexpr DWORD kLibraryLoadedCode = CTL_CODE(0x0104, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kLibraryUnloadingCode = CTL_CODE(0x0104, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(kLibraryLoadedCode == 0x01040008 && kLibraryUnloadingCode == 0x01040004);

// Milliseconds per performance-counter tick; 0 until the clock is
// calibrated, and 0 when the counter reports no frequency.
extern double msPerTick;

void calibrateClock();
// Sends one code to "OBX0:", if it opens; its answer is not used.
void NotifyDriver(DWORD code);

BOOL softReset();
BOOL playSound(const WCHAR* fileName, bool synchronous);
// Ends the asynchronous sound, if one plays, and returns once it has ended:
// no thread of the library plays on after this.
void stopSound();
void resetIdleTimer();
// 0 when the platform wrote no volume.
DWORD getVolume();
MMRESULT setVolume(DWORD volume);
int64_t preciseCurrentTimeMillis();

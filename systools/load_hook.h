// The library's entry point: the clock calibration and the "OBX0:"
// notifications when a process loads and unloads the library; at unload,
// the asynchronous sound is ended before the notification.
#pragma once

#include "wince.h"

// Reasons as the platform passes them (DLL_PROCESS_ATTACH, ...); TRUE always,
// so the library loads and unloads whatever the driver answers.
extern "C" BOOL WINAPI DllMain(HANDLE module, DWORD reason, LPVOID reserved);

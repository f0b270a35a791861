// The Windows CE call surface used by the native libraries.
// On a Windows build the platform's own headers serve; elsewhere our
// platform layer provides exactly this subset with the platform's names,
// signatures, constants and structure layouts.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "wince_types.h"
#include "wince_comm.h"
#include "wince_registry.h"
#include "wince_kernel.h"
#endif

// The Windows CE call surface used by the native libraries.
// On a Windows build the platform's own headers serve, with desktop
// stand-ins for what only Windows CE has; elsewhere our platform layer
// provides exactly this subset with the platform's names, signatures,
// constants and structure layouts. Either way WCHAR is a 16-bit UTF-16 unit
// and TEXT("...") writes its literals.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>

#include "wince_ce.h"
#include "wince_desktop.h"
#else
#include "wince_types.h"
#include "wince_comm.h"
#include "wince_registry.h"
#include "wince_kernel.h"
#include "wince_ce.h"
#endif

static_assert(sizeof(WCHAR) == 2, "the system's texts are UTF-16");

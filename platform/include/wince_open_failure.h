// Not a Windows CE call: the host's own account of why the last device open
// on the calling thread failed (the host device, the system's reason, the
// usual fix), for callers that want more than the result code. Both builds
// declare it here; a platform layer with nothing more to tell than the code
// answers with an empty text.
#pragma once

#include "wince.h"

extern "C" {
// Copies the account, cut to fit and zero-terminated, into `lpBuffer` of
// `nSize` units; returns its length, 0 when the last open on this thread
// succeeded or none failed (the buffer then holds an empty text).
DWORD WINAPI HostOpenFailureText(LPWSTR lpBuffer, DWORD nSize);
}

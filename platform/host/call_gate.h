// How the gated calls ask the installed call gate (seams.h). Kept inline
// and cheap: with no gate installed a call pays one acquire load and a
// branch that is not taken; no lock, allocation or string is involved.
#pragma once

#include <atomic>

#include "seams.h"

namespace wince {
namespace detail {
extern std::atomic<CallGate*> installedCallGate;
}  // namespace detail

// The installed gate, or null. Acquire: the gate's own state, built before
// it was installed, is visible to this thread from here on.
inline CallGate* callGate() { return detail::installedCallGate.load(std::memory_order_acquire); }

// True when the gate fails `call` (its Win32 name) now; the thread's last
// error is then the gate's error.
inline bool callRefused(const char* call) {
    CallGate* gate = callGate();
    if (gate == nullptr) [[likely]]
        return false;
    const DWORD error = gate->failure(call);
    if (error == 0) return false;
    SetLastError(error);
    return true;
}

}  // namespace wince

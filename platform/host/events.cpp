// Events and WaitForSingleObject.
#include <new>

#include "call_gate.h"
#include "kernel_object.h"
#include "waitable_state.h"

namespace wince {
namespace {

class Event : public KernelObject {
public:
    Event(bool manualReset, bool initialState) : signal(manualReset, initialState) {}
    DWORD wait(DWORD milliseconds) override { return signal.wait(milliseconds); }
    Signal signal;
};

std::shared_ptr<Event> eventFor(HANDLE handle) {
    std::shared_ptr<Event> event = lookup<Event>(handle);
    if (!event) SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

}  // namespace
}  // namespace wince

extern "C" {

// Named events are not supported. Errors: ERROR_NOT_SUPPORTED (a name),
// ERROR_NOT_ENOUGH_MEMORY, ERROR_TOO_MANY_OPEN_FILES (handle table full).
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (wince::callRefused("CreateEventW")) return nullptr;
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    try {
        return wince::registerObject(
            std::make_shared<wince::Event>(bManualReset != FALSE, bInitialState != FALSE));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// Errors: ERROR_INVALID_HANDLE (not an open event).
BOOL WINAPI SetEvent(HANDLE hEvent) {
    if (wince::callRefused("SetEvent")) return FALSE;
    std::shared_ptr<wince::Event> event = wince::eventFor(hEvent);
    if (!event) return FALSE;
    event->signal.set();
    return TRUE;
}

// Errors: ERROR_INVALID_HANDLE (not an open event).
BOOL WINAPI ResetEvent(HANDLE hEvent) {
    if (wince::callRefused("ResetEvent")) return FALSE;
    std::shared_ptr<wince::Event> event = wince::eventFor(hEvent);
    if (!event) return FALSE;
    event->signal.reset();
    return TRUE;
}

// Events and threads are waitable. A handle closed during the wait keeps its
// object alive until the wait ends. WAIT_FAILED errors: ERROR_INVALID_HANDLE.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (wince::callRefused("WaitForSingleObject")) return WAIT_FAILED;
    std::shared_ptr<wince::KernelObject> object = wince::lookupObject(hHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->wait(dwMilliseconds);
}

}  // extern "C"

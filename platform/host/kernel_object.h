// Kernel objects behind HANDLEs and the process-wide handle table.
#pragma once

#include <memory>

#include "wince.h"

namespace wince {

// Anything a HANDLE can name. Objects are shared: a call that looked a
// handle up keeps its object alive even if another thread closes the handle.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // WaitForSingleObject on this object; the default is "not waitable".
    virtual DWORD wait(DWORD milliseconds);
    // Called once when the last handle to the object is closed.
    virtual BOOL onClose() { return TRUE; }
};

// Registers an object and returns a fresh handle for it; 0 (with the last
// error set) when the table is full.
HANDLE registerObject(std::shared_ptr<KernelObject> object);

// The object a handle names, or null when the handle is not (or no longer)
// valid. Does not touch the last error.
std::shared_ptr<KernelObject> lookupObject(HANDLE handle);

template <class T>
std::shared_ptr<T> lookup(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(lookupObject(handle));
}

// Removes a handle; its generation makes every later use of it fail.
// Returns the object that was closed, or null when the handle was invalid.
std::shared_ptr<KernelObject> unregisterObject(HANDLE handle);

// Number of live handles (tests use it to find leaks).
size_t liveHandleCount();

}  // namespace wince

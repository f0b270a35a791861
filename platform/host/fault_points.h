// Fault points: in the test build of the platform layer, a test can make the
// next calls of a named function fail with a chosen error code, and read the
// arguments a few calls were made with. The shipped libraries are built
// without them, and the macros are then empty.
#pragma once

#include "wince_types.h"

#ifdef WINCE_FAULT_POINTS
namespace wince::faults {
// The error code the named call must fail with now, or 0 to run normally.
DWORD take(const char* call);
// A message box shown by the layer, for the tests to inspect.
void noteMessageBox(const char16_t* caption, const char16_t* text, unsigned style);
// How long a Sleep of `requested` ms lasts: what a test made of that
// length, else `requested`.
DWORD sleepLength(DWORD requested);
// The arguments of calls whose arguments the tests check, as they came.
void noteCreateFile(const char16_t* name, DWORD access, DWORD shareMode, const void* security,
                    DWORD creation, DWORD flags, const void* templateFile);
void noteKernelIoControl(DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                         const DWORD* returned);
}  // namespace wince::faults
#define WINCE_FAULT_POINT(call, failResult)                                \
    do {                                                                   \
        if (DWORD injectedError_ = ::wince::faults::take(#call)) {         \
            SetLastError(injectedError_);                                  \
            return failResult;                                             \
        }                                                                  \
    } while (0)
// Records the call's arguments for the tests.
#define WINCE_NOTE_ARGUMENTS(call, ...) ::wince::faults::note##call(__VA_ARGS__)
#else
#define WINCE_FAULT_POINT(call, failResult) \
    do {                                    \
    } while (0)
#define WINCE_NOTE_ARGUMENTS(call, ...) \
    do {                                \
    } while (0)
#endif

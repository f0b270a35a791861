// On a desktop the result code and its system text tell all the system
// says about a failed open: there is no host path to add.
#include "wince_open_failure.h"

extern "C" DWORD WINAPI HostOpenFailureText(LPWSTR buffer, DWORD size) {
    if (buffer != nullptr && size > 0) buffer[0] = 0;
    return 0;
}

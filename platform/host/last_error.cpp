// The thread's last error, and how host errno values read as Win32 codes.
#include <cerrno>

#include "device.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

}  // extern "C"

namespace wince {

DWORD win32ErrorFromErrno(int error) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case ENOENT:
        case ENXIO: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        // flock refusing (EWOULDBLOCK, the same value on Linux), or a tty held
        // exclusively elsewhere: the port is already open, which the platform
        // reports as "access denied".
        case EAGAIN:
        case EBUSY: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENOTTY: return ERROR_NOT_SUPPORTED;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENAMETOOLONG: return ERROR_INVALID_NAME;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case EIO: return ERROR_IO_DEVICE;
        case ENODEV: return ERROR_DEVICE_NOT_CONNECTED;
        default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace wince

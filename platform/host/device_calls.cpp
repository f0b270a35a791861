// The Win32 device calls: each finds the handle's device and hands the call
// to it. Overlapped I/O is not supported.
#include <new>

#include "call_gate.h"
#include "device.h"
#include "open_failure.h"
#include "utf16.h"

namespace wince {
namespace {

template <class T>
std::shared_ptr<T> deviceFor(HANDLE handle) {
    std::shared_ptr<T> device = lookup<T>(handle);
    if (!device) SetLastError(ERROR_INVALID_HANDLE);
    return device;
}

// Runs `call` on the handle's serial device; ERROR_INVALID_HANDLE for any
// other handle, as on the platform.
template <class Call>
BOOL onCommDevice(HANDLE handle, Call call) {
    std::shared_ptr<CommDevice> device = deviceFor<CommDevice>(handle);
    return device ? call(*device) : FALSE;
}

BOOL invalidParameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HANDLE registerDevice(const std::shared_ptr<Device>& device) {
    HANDLE handle = registerObject(device);
    if (handle) return handle;
    const DWORD error = GetLastError();
    device->onClose();
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

HANDLE createFile(LPCWSTR name) {
    beginOpenAccount(wideView(name));
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Device> device = openDevice(wideView(name), error);
    if (!device) {
        if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
        endOpenAccount(false, error);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = registerDevice(device);
    endOpenAccount(handle != INVALID_HANDLE_VALUE, GetLastError());
    return handle;
}

}  // namespace
}  // namespace wince

using wince::CommDevice;

extern "C" {

// Opens a device by its platform name, always exclusively for reading and
// writing (access, share mode and disposition are not looked at). Errors:
// ERROR_FILE_NOT_FOUND (no such device), ERROR_ACCESS_DENIED (already open,
// held by another program, or not permitted to this user),
// ERROR_NOT_SUPPORTED (mapped to something that is not a tty or stream),
// ERROR_INVALID_PARAMETER (no name, overlapped flag), errno translations.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (wince::CallGate* gate = wince::callGate())
        gate->noteCreateFile(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                             dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    if (wince::callRefused("CreateFileW")) return INVALID_HANDLE_VALUE;
    if (lpFileName == nullptr || (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        return wince::createFile(lpFileName);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

// Errors: ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER (overlapped, no
// buffer), and the device's own (for a serial port ERROR_DEVICE_NOT_CONNECTED
// after a hang-up, ERROR_OPERATION_ABORTED after PurgeComm(PURGE_RXABORT)).
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (wince::callRefused("ReadFile")) return FALSE;
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToRead)) return wince::invalidParameter();
    std::shared_ptr<wince::Device> device = wince::deviceFor<wince::Device>(hFile);
    if (!device) return FALSE;
    DWORD done = 0;
    const BOOL ok = device->read(lpBuffer, nNumberOfBytesToRead, &done);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    return ok;
}

// Errors: as ReadFile (ERROR_OPERATION_ABORTED after PURGE_TXABORT).
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (wince::callRefused("WriteFile")) return FALSE;
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite)) return wince::invalidParameter();
    std::shared_ptr<wince::Device> device = wince::deviceFor<wince::Device>(hFile);
    if (!device) return FALSE;
    DWORD done = 0;
    const BOOL ok = device->write(lpBuffer, nNumberOfBytesToWrite, &done);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return ok;
}

// Errors: ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER (overlapped),
// ERROR_INVALID_FUNCTION (a code the device does not know), the device's own.
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    if (wince::callRefused("DeviceIoControl")) return FALSE;
    if (lpBytesReturned) *lpBytesReturned = 0;
    if (lpOverlapped) return wince::invalidParameter();
    std::shared_ptr<wince::Device> device = wince::deviceFor<wince::Device>(hDevice);
    if (!device) return FALSE;
    return device->ioControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                             lpBytesReturned);
}

// Every comm call fails with ERROR_INVALID_HANDLE on a handle that is not an
// open serial device, and ERROR_INVALID_PARAMETER for a missing structure.

// The queues are the driver's; the sizes are accepted.
BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    if (wince::callRefused("SetupComm")) return FALSE;
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.setupComm(dwInQueue, dwOutQueue); });
}

// Errors: ERROR_INVALID_PARAMETER (unknown flags), errno translations.
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    if (wince::callRefused("PurgeComm")) return FALSE;
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.purge(dwFlags); });
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (wince::callRefused("GetCommState")) return FALSE;
    if (!lpDCB) return wince::invalidParameter();
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.getState(*lpDCB); });
}

// Errors: ERROR_INVALID_PARAMETER (a setting the device cannot take, among
// them a rate it refuses), errno translations.
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (wince::callRefused("SetCommState")) return FALSE;
    if (!lpDCB) return wince::invalidParameter();
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.setState(*lpDCB); });
}

// Errors: ERROR_INVALID_PARAMETER (unknown function), ERROR_NOT_SUPPORTED
// (a line the device does not have, e.g. DTR on a pseudo-terminal).
BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    if (wince::callRefused("EscapeCommFunction")) return FALSE;
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.escape(dwFunc); });
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return wince::invalidParameter();
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.getTimeouts(*lpCommTimeouts); });
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (wince::callRefused("SetCommTimeouts")) return FALSE;
    if (!lpCommTimeouts) return wince::invalidParameter();
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.setTimeouts(*lpCommTimeouts); });
}

// Both outputs are optional. Errors: ERROR_DEVICE_NOT_CONNECTED after a
// hang-up, errno translations.
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    if (wince::callRefused("ClearCommError")) return FALSE;
    return wince::onCommDevice(hFile, [&](CommDevice& d) { return d.clearError(lpErrors, lpStat); });
}

}  // extern "C"

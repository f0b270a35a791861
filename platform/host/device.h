// Device objects opened by CreateFileW, and how names become devices.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_object.h"
#include "port_map.h"

namespace wince {

// A device handle's object. Each method behaves as the Win32 call of the same
// name does: TRUE on success, FALSE with the thread's last error set.
class Device : public KernelObject {
public:
    virtual BOOL read(void* buffer, DWORD count, DWORD* done) = 0;
    virtual BOOL write(const void* buffer, DWORD count, DWORD* done) = 0;
    virtual BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
};

// A serial device. The comm calls on any other device fail with
// ERROR_INVALID_HANDLE, as on the platform.
class CommDevice : public Device {
public:
    virtual BOOL setupComm(DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL purge(DWORD flags) = 0;
    virtual BOOL getState(DCB& dcb) = 0;
    virtual BOOL setState(const DCB& dcb) = 0;
    virtual BOOL escape(DWORD function) = 0;
    virtual BOOL getTimeouts(COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL setTimeouts(const COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL clearError(DWORD* errors, COMSTAT* status) = 0;
};

// Opens the device a platform name stands for. Returns null with `error`
// set (ERROR_FILE_NOT_FOUND for a name nothing answers to).
using DeviceOpener = std::function<std::shared_ptr<Device>(std::u16string_view name, DWORD& error)>;

// The host's own opener: the port map (WINCE_DEVICES) names host paths.
std::shared_ptr<Device> openHostDevice(std::u16string_view name, DWORD& error);

// What CreateFileW opens: an installed opener (seams.h) first; a name it
// does not know (ERROR_FILE_NOT_FOUND) goes on to openHostDevice.
std::shared_ptr<Device> openDevice(std::u16string_view name, DWORD& error);

// The Win32 code for an errno value, as a caller on the platform would see it.
DWORD win32ErrorFromErrno(int error);

}  // namespace wince

namespace wince {

// The host's own serial ports, numbered COM1:, COM2:, ... (used when
// WINCE_DEVICES is not set). Empty when the name is not one of them.
std::string discoveredSerialPortPath(std::u16string_view name);

// A device that is not a tty (a plain file or a FIFO), opened as a stream
// device: "OBX0:" mapped to a file records the control codes it receives.
std::shared_ptr<Device> openStreamDevice(const std::string& path, DWORD& error);

}  // namespace wince

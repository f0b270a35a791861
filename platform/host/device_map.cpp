// How platform device names ("COM1:", "OBX0:") become devices: a test's
// opener first, then the host's mapping (WINCE_DEVICES or the serial ports
// found on the host).
#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "device.h"
#include "open_failure.h"
#include "seams.h"
#include "tty_device.h"

namespace wince {
namespace {

struct OpenerHolder {
    std::mutex mutex;
    DeviceOpener opener;
};

OpenerHolder& openerHolder() {
    static OpenerHolder* const holder = new OpenerHolder;
    return *holder;
}

void noteUnknownName(const PortMap& map) {
    if (map.given()) {
        noteOpenFailure("WINCE_DEVICES does not map this name",
                        "add it to WINCE_DEVICES (COM1:=/dev/serial/by-id/...)");
    } else {
        noteOpenFailure("no serial port has this name now",
                        "plug the adapter in and pick a name from the port list (EnumPortRS)");
    }
}

// The map, when one is given, alone decides; else the host's own ports answer.
std::string hostPathFor(const PortMap& map, std::u16string_view name) {
    return map.given() ? map.pathFor(name) : discoveredSerialPortPath(name);
}

}  // namespace

// A mapped path that is a plain file or a FIFO is a stream device; anything
// else must be a tty.
std::shared_ptr<Device> openHostDevice(std::u16string_view name, DWORD& error) {
    const std::shared_ptr<const PortMap> map = portMap();
    const std::string path = hostPathFor(*map, name);
    if (path.empty()) {
        noteUnknownName(*map);
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    noteOpenPath(path);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        const int statError = errno;
        noteOpenErrno(statError, path);
        error = win32ErrorFromErrno(statError);
        return nullptr;
    }
    if (S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode)) return openStreamDevice(path, error);
    return openTtyDevice(path, error);
}

void setDeviceOpener(DeviceOpener opener) {
    OpenerHolder& holder = openerHolder();
    std::lock_guard lock(holder.mutex);
    holder.opener = std::move(opener);
}

std::shared_ptr<Device> openDevice(std::u16string_view name, DWORD& error) {
    DeviceOpener opener;
    {
        OpenerHolder& holder = openerHolder();
        std::lock_guard lock(holder.mutex);
        opener = holder.opener;
    }
    if (opener) {
        error = ERROR_SUCCESS;
        std::shared_ptr<Device> device = opener(name, error);
        if (device) return device;
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_SUCCESS) return nullptr;
    }
    return openHostDevice(name, error);
}

BOOL Device::ioControl(DWORD, void*, DWORD, void*, DWORD, DWORD* returned) {
    if (returned) *returned = 0;
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

}  // namespace wince

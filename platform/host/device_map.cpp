// How platform device names ("COM1:", "OBX0:") become devices: a test's
// opener first, then the host's mapping (WINCE_DEVICES or the serial ports
// found on the host).
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "device.h"
#include "open_failure.h"
#include "seams.h"
#include "tty_device.h"
#include "utf16.h"

namespace wince {
namespace {

struct DeviceConfig {
    bool mappingGiven = false;  // WINCE_DEVICES is set: it alone decides
    std::vector<DeviceMapping> devices;
};

char16_t asciiUpper(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

bool sameDeviceName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

// "COM1:=/dev/ttyUSB0"; a name written without its colon gets one.
bool parseMapping(std::string_view entry, DeviceMapping& mapping) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == entry.size()) return false;
    mapping.name = utf16FromUtf8(entry.substr(0, equals));
    if (mapping.name.back() != u':') mapping.name += u':';
    mapping.path = std::string(entry.substr(equals + 1));
    return true;
}

std::vector<DeviceMapping> parseMappings(std::string_view text) {
    std::vector<DeviceMapping> devices;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        DeviceMapping mapping;
        if (parseMapping(text.substr(0, comma), mapping)) devices.push_back(std::move(mapping));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return devices;
}

// Read on first use, never at load: tests set the variable first thing.
const DeviceConfig& deviceConfig() {
    static std::once_flag once;
    static DeviceConfig* config = nullptr;
    std::call_once(once, [] {
        config = new DeviceConfig;  // kept for the process's life
        if (const char* text = std::getenv("WINCE_DEVICES")) {
            config->mappingGiven = true;
            config->devices = parseMappings(text);
        }
    });
    return *config;
}

struct OpenerHolder {
    std::mutex mutex;
    DeviceOpener opener;
};

OpenerHolder& openerHolder() {
    static OpenerHolder* const holder = new OpenerHolder;
    return *holder;
}

void noteUnknownName() {
    if (deviceConfig().mappingGiven) {
        noteOpenFailure("WINCE_DEVICES does not map this name",
                        "add it to WINCE_DEVICES (COM1:=/dev/serial/by-id/...)");
    } else {
        noteOpenFailure("no serial port has this name now",
                        "plug the adapter in and pick a name from the port list (EnumPortRS)");
    }
}

}  // namespace

const std::vector<DeviceMapping>& configuredDevices() { return deviceConfig().devices; }

std::string hostPathFor(std::u16string_view name) {
    const DeviceConfig& config = deviceConfig();
    if (!config.mappingGiven) return discoveredSerialPortPath(name);
    for (const DeviceMapping& mapping : config.devices) {
        if (sameDeviceName(mapping.name, name)) return mapping.path;
    }
    return {};
}

// A mapped path that is a plain file or a FIFO is a stream device; anything
// else must be a tty.
std::shared_ptr<Device> openHostDevice(std::u16string_view name, DWORD& error) {
    const std::string path = hostPathFor(name);
    if (path.empty()) {
        noteUnknownName();
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

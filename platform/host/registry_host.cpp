// The host's registry: "Drivers\BuiltIn" holds one driver key per serial
// device of this host, as a handheld declares its serial ports. It is built
// afresh each time it is opened, so it follows ports plugged in or removed.
#include <sys/stat.h>

#include <algorithm>

#include "port_map.h"
#include "registry.h"
#include "serial_discovery.h"
#include "utf16.h"

namespace wince {
namespace {

// The longest friendly name a reader with the usual 100-unit buffer gets whole.
constexpr size_t friendlyNameLimit = 99;

// Cuts to at most `limit` units without splitting a surrogate pair.
std::u16string cutToFit(std::u16string text, size_t limit) {
    if (text.size() <= limit) return text;
    text.resize(limit);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    return text;
}

// "FTDI FT232R USB UART S/N A10K3X2B (/dev/ttyUSB0)", or the path alone.
// The serial number tells identical adapters apart, so the maker and
// product give way first when all does not fit, then everything but the path.
std::u16string friendlyName(const std::string& path, const DeviceDescription& description) {
    std::u16string hostPath = utf16FromUtf8(path);
    if (description.product.empty() && description.serialNumber.empty()) {
        return cutToFit(hostPath, friendlyNameLimit);
    }
    std::u16string tail = u" (" + hostPath + u")";
    if (!description.serialNumber.empty()) tail = u"S/N " + utf16FromUtf8(description.serialNumber) + tail;
    if (tail.size() + 1 > friendlyNameLimit) return cutToFit(hostPath, friendlyNameLimit);
    if (description.product.empty()) return tail;
    if (!description.serialNumber.empty()) tail = u" " + tail;
    return cutToFit(utf16FromUtf8(description.product), friendlyNameLimit - tail.size()) + tail;
}

std::u16string decimal(DWORD value) {
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

class HostRegistry : public RegistryBackend {
public:
    std::shared_ptr<const RegistryKey> localMachine() override {
        auto root = std::make_shared<RegistryKey>();
        root->subKey(u"Drivers").subKeys.push_back(buildBuiltInKey(hostSerialPorts()));
        return root;
    }

private:
    // The port map, when one is given, alone decides which names are
    // listed, as it decides which open for CreateFileW.
    static std::vector<HostSerialPort> hostSerialPorts() {
        const std::shared_ptr<const PortMap> map = portMap();
        if (!map->given()) return discoverSerialPorts();
        return mappedSerialPorts(map->entries());
    }
};

}  // namespace

// Only what exists is listed: a mapping whose device is absent (an adapter
// unplugged, a link to nothing) would be a name that cannot open.
std::vector<HostSerialPort> mappedSerialPorts(const std::vector<DeviceMapping>& configured) {
    std::vector<DWORD> seen;
    std::vector<HostSerialPort> ports;
    for (const DeviceMapping& mapping : configured) {
        DWORD index = 0;
        if (!parseComName(mapping.name, index)) continue;
        // The first mapping of a name is the one that opens.
        if (std::find(seen.begin(), seen.end(), index) != seen.end()) continue;
        seen.push_back(index);
        struct stat info;
        if (stat(mapping.path.c_str(), &info) != 0) continue;
        ports.push_back({index, mapping.path, describeHostDevice(mapping.path)});
    }
    std::stable_sort(ports.begin(), ports.end(),
                     [](const auto& a, const auto& b) { return a.comIndex < b.comIndex; });
    return ports;
}

std::shared_ptr<RegistryKey> buildBuiltInKey(const std::vector<HostSerialPort>& ports) {
    auto builtIn = std::make_shared<RegistryKey>();
    builtIn->name = u"BuiltIn";
    for (const HostSerialPort& port : ports) {
        RegistryKey& driver = builtIn->subKey(u"Serial" + decimal(port.comIndex));
        driver.setString(u"Prefix", u"COM");
        driver.setDword(u"Index", port.comIndex);
        driver.setString(u"FriendlyName", friendlyName(port.path, port.description));
    }
    return builtIn;
}

RegistryBackend& hostRegistry() {
    static HostRegistry registry;
    return registry;
}

}  // namespace wince

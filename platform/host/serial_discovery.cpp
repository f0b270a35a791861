// The host's serial ports from sysfs: /sys/class/tty/NAME entries that have
// a device behind them, with the USB maker, product and serial number where
// there are some, numbered by their stable identity.
#include "serial_discovery.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <tuple>

#include "device.h"

namespace fs = std::filesystem;

namespace wince {
namespace {

constexpr const char* devFolder = "/dev/";

fs::path sysfsRoot() {
    const char* root = std::getenv("WINCE_SYSFS_ROOT");
    return root != nullptr && *root != 0 ? fs::path(root) : fs::path("/sys");
}

// The first line of a sysfs attribute, empty when it cannot be read.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

std::string linkTargetName(const fs::path& link) {
    std::error_code error;
    fs::path target = fs::canonical(link, error);
    return error ? std::string() : target.filename().string();
}

// A serial core port whose type reads 0 has no UART behind it: the kernel
// registers the legacy ttyS ports whether or not the hardware exists.
bool hasNoUart(const fs::path& ttyEntry) {
    std::error_code error;
    return fs::exists(ttyEntry / "type", error) && readAttribute(ttyEntry / "type") == "0";
}

bool isSerialPort(const fs::path& ttyEntry) {
    std::error_code error;
    if (!fs::exists(ttyEntry / "device", error)) return false;
    fs::path target = fs::canonical(ttyEntry, error);
    if (!error && target.string().find("/virtual/") != std::string::npos) return false;
    return !hasNoUart(ttyEntry);
}

// Where a tty sits on the USB: its interface ("1-1.2:1.0") and the USB
// device above it ("1-1.2"). usb-serial ttys sit on a port of the
// interface, ACM ttys on the interface itself. Empty for other buses.
struct UsbPlace {
    fs::path interface;
    fs::path device;
    std::string portNumber;  // the port within the interface
};

UsbPlace usbPlaceOf(const fs::path& ttyDevice) {
    const std::string bus = linkTargetName(ttyDevice / "subsystem");
    if (bus == "usb-serial") {
        std::string port = readAttribute(ttyDevice / "port_number");
        return {ttyDevice.parent_path(), ttyDevice.parent_path().parent_path(), port.empty() ? "0" : port};
    }
    if (bus == "usb") return {ttyDevice, ttyDevice.parent_path(), "0"};
    return {};
}

UsbPlace usbPlaceOfTty(const fs::path& ttyEntry) {
    std::error_code error;
    fs::path device = fs::canonical(ttyEntry / "device", error);
    return error ? UsbPlace{} : usbPlaceOf(device);
}

DeviceDescription describeTty(const fs::path& ttyEntry) {
    const UsbPlace place = usbPlaceOfTty(ttyEntry);
    if (place.device.empty()) return {};
    std::string maker = readAttribute(place.device / "manufacturer");
    std::string product = readAttribute(place.device / "product");
    std::string serialNumber = readAttribute(place.device / "serial");
    if (maker.empty() || product.empty()) return {maker + product, serialNumber};
    return {maker + " " + product, serialNumber};
}

// "1.0" of the interface "1-1.2:1.0": configuration and interface number.
std::string interfaceSuffix(const fs::path& interface) {
    const std::string name = interface.filename().string();
    const size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

// The identity a port keeps across a re-plug, as /dev/serial/by-id (maker's
// IDs and serial number) and by-path (the USB port) name it, with the
// interface and port for adapters that have several.
std::string serialNumberIdentity(const UsbPlace& place, const std::string& serialNumber) {
    return "usb-id:" + readAttribute(place.device / "idVendor") + ":" +
           readAttribute(place.device / "idProduct") + ":" + serialNumber + ":" +
           interfaceSuffix(place.interface) + ":" + place.portNumber;
}

std::string usbPathIdentity(const UsbPlace& place) {
    return "usb-path:" + place.device.filename().string() + ":" + interfaceSuffix(place.interface) + ":" +
           place.portNumber;
}

// A present port and the identities it may be known by, best first.
struct PresentPort {
    std::string ttyName;
    std::vector<std::string> identities;
};

PresentPort presentPort(const std::string& ttyName) {
    PresentPort port{ttyName, {}};
    const UsbPlace place = usbPlaceOfTty(sysfsRoot() / "class" / "tty" / ttyName);
    if (!place.device.empty()) {
        const std::string serialNumber = readAttribute(place.device / "serial");
        if (!serialNumber.empty()) port.identities.push_back(serialNumberIdentity(place, serialNumber));
        port.identities.push_back(usbPathIdentity(place));
    }
    port.identities.push_back("tty:" + ttyName);
    return port;
}

// Orders ttyS2 before ttyS10: by the letters, then by the number after them.
std::tuple<std::string, unsigned long, std::string> naturalKey(const std::string& name) {
    size_t digits = name.find_last_not_of("0123456789") + 1;
    if (digits == name.size()) return {name, 0, name};
    return {name.substr(0, digits), std::strtoul(name.c_str() + digits, nullptr, 10), name};
}

std::vector<std::string> scanTtyNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sysfsRoot() / "class" / "tty", error)) {
        if (isSerialPort(entry.path())) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return naturalKey(a) < naturalKey(b); });
    return names;
}

// Ports in the order they were first seen, by identity; COM number =
// position + 1. `ttyName` is where the port was seen last; `present` says
// whether the last scan saw it.
struct NumberedPort {
    std::string identity;
    std::string ttyName;
    bool present = false;
};

struct Numbering {
    std::mutex mutex;
    std::vector<NumberedPort> ports;

    DWORD numberOf(const std::string& identity) const {
        for (size_t i = 0; i < ports.size(); ++i) {
            if (ports[i].identity == identity) return static_cast<DWORD>(i) + 1;
        }
        return 0;
    }

    // The number for a port seen now. Two ports that share an identity (two
    // adapters sold with one serial number) fall back to the next one.
    DWORD numberFor(const PresentPort& port) {
        for (const std::string& identity : port.identities) {
            DWORD number = numberOf(identity);
            if (number != 0 && ports[number - 1].present) continue;
            if (number == 0) {
                ports.push_back(NumberedPort{identity, port.ttyName, false});
                number = static_cast<DWORD>(ports.size());
            }
            ports[number - 1].ttyName = port.ttyName;
            ports[number - 1].present = true;
            return number;
        }
        return 0;  // its very node is numbered twice: cannot happen in one scan
    }

    void scan(const std::vector<std::string>& ttyNames, std::vector<HostSerialPort>* listed) {
        for (NumberedPort& numbered : ports) numbered.present = false;
        for (const std::string& name : ttyNames) {
            const DWORD number = numberFor(presentPort(name));
            if (number == 0 || listed == nullptr) continue;
            listed->push_back(
                HostSerialPort{number, devFolder + name, describeTty(sysfsRoot() / "class" / "tty" / name)});
        }
    }
};

Numbering& numbering() {
    static Numbering* const instance = new Numbering;  // kept for the process's life
    return *instance;
}

}  // namespace

std::vector<HostSerialPort> discoverSerialPorts() {
    std::vector<HostSerialPort> ports;
    const std::vector<std::string> ttyNames = scanTtyNames();
    Numbering& numbers = numbering();
    {
        std::lock_guard lock(numbers.mutex);
        numbers.scan(ttyNames, &ports);
    }
    std::sort(ports.begin(), ports.end(),
              [](const HostSerialPort& a, const HostSerialPort& b) { return a.comIndex < b.comIndex; });
    return ports;
}

DeviceDescription describeHostDevice(const std::string& path) {
    std::error_code error;
    fs::path device = fs::canonical(path, error);
    if (error) return {};
    fs::path ttyEntry = sysfsRoot() / "class" / "tty" / device.filename();
    return fs::exists(ttyEntry / "device", error) ? describeTty(ttyEntry) : DeviceDescription{};
}

bool parseComName(std::u16string_view name, DWORD& index) {
    auto upper = [](char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; };
    if (name.size() < 5 || upper(name[0]) != u'C' || upper(name[1]) != u'O' || upper(name[2]) != u'M' ||
        name.back() != u':') {
        return false;
    }
    std::u16string_view digits = name.substr(3, name.size() - 4);
    if (digits.size() > 9) return false;
    DWORD value = 0;
    for (char16_t unit : digits) {
        if (unit < u'0' || unit > u'9') return false;
        value = value * 10 + (unit - u'0');
    }
    index = value;
    return true;
}

// Scans first, so a port plugged in since the last listing gets its number
// and one plugged back under a new node is found there. A port that is
// absent now names nothing: its old node may belong to another adapter.
std::string discoveredSerialPortPath(std::u16string_view name) {
    DWORD index = 0;
    if (!parseComName(name, index)) return {};
    const std::vector<std::string> ttyNames = scanTtyNames();
    Numbering& numbers = numbering();
    std::lock_guard lock(numbers.mutex);
    numbers.scan(ttyNames, nullptr);
    if (index == 0 || index > numbers.ports.size() || !numbers.ports[index - 1].present) return {};
    return devFolder + numbers.ports[index - 1].ttyName;
}

void forgetSerialPortNumbers() {
    Numbering& numbers = numbering();
    std::lock_guard lock(numbers.mutex);
    numbers.ports.clear();
}

}  // namespace wince

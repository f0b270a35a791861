// The host's serial ports from sysfs: /sys/class/tty/NAME entries that have
// a device behind them, with the USB maker and product where there is one.
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

// The USB device a tty belongs to: usb-serial ttys sit on an interface's
// port, two levels below the device; ACM ttys on the interface, one below.
fs::path usbDeviceOf(const fs::path& device) {
    std::string bus = linkTargetName(device / "subsystem");
    if (bus == "usb-serial") return device.parent_path().parent_path();
    if (bus == "usb") return device.parent_path();
    return {};
}

std::string describeTty(const fs::path& ttyEntry) {
    std::error_code error;
    fs::path device = fs::canonical(ttyEntry / "device", error);
    if (error) return {};
    fs::path usbDevice = usbDeviceOf(device);
    if (usbDevice.empty()) return {};
    std::string maker = readAttribute(usbDevice / "manufacturer");
    std::string product = readAttribute(usbDevice / "product");
    if (maker.empty() || product.empty()) return maker + product;
    return maker + " " + product;
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
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return naturalKey(a) < naturalKey(b);
    });
    return names;
}

// Tty names in the order they were first seen; COM number = position + 1.
struct Numbering {
    std::mutex mutex;
    std::vector<std::string> ttyNames;

    DWORD numberFor(const std::string& name) {
        auto found = std::find(ttyNames.begin(), ttyNames.end(), name);
        if (found == ttyNames.end()) found = ttyNames.insert(ttyNames.end(), name);
        return static_cast<DWORD>(found - ttyNames.begin()) + 1;
    }
};

Numbering& numbering() {
    static Numbering* const instance = new Numbering;  // kept for the process's life
    return *instance;
}

}  // namespace

std::vector<HostSerialPort> discoverSerialPorts() {
    std::vector<HostSerialPort> ports;
    Numbering& numbers = numbering();
    for (const std::string& name : scanTtyNames()) {
        std::string description = describeTty(sysfsRoot() / "class" / "tty" / name);
        std::lock_guard lock(numbers.mutex);
        ports.push_back(HostSerialPort{numbers.numberFor(name), devFolder + name, description});
    }
    std::sort(ports.begin(), ports.end(), [](const HostSerialPort& a, const HostSerialPort& b) {
        return a.comIndex < b.comIndex;
    });
    return ports;
}

std::string describeHostDevice(const std::string& path) {
    std::error_code error;
    fs::path device = fs::canonical(path, error);
    if (error) return {};
    fs::path ttyEntry = sysfsRoot() / "class" / "tty" / device.filename();
    return fs::exists(ttyEntry / "device", error) ? describeTty(ttyEntry) : std::string();
}

bool parseComName(std::u16string_view name, DWORD& index) {
    auto upper = [](char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; };
    if (name.size() < 5 || upper(name[0]) != u'C' || upper(name[1]) != u'O' ||
        upper(name[2]) != u'M' || name.back() != u':') {
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

// Scans first, so a port plugged in since the last listing gets its number.
std::string discoveredSerialPortPath(std::u16string_view name) {
    DWORD index = 0;
    if (!parseComName(name, index)) return {};
    discoverSerialPorts();
    Numbering& numbers = numbering();
    std::lock_guard lock(numbers.mutex);
    if (index == 0 || index > numbers.ttyNames.size()) return {};
    return devFolder + numbers.ttyNames[index - 1];
}

#ifdef WINCE_FAULT_POINTS
void forgetSerialPortNumbers() {
    Numbering& numbers = numbering();
    std::lock_guard lock(numbers.mutex);
    numbers.ttyNames.clear();
}
#endif

}  // namespace wince

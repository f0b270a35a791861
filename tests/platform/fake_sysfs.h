// A sysfs tree in a temporary folder, laid out as the kernel lays out tty
// devices, and pointed at by WINCE_SYSFS_ROOT for the life of the object.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

class FakeSysfs {
public:
    FakeSysfs() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fake-sysfs-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        std::filesystem::create_directories(root_ / "class" / "tty");
        std::filesystem::create_directories(root_ / "bus" / "usb-serial");
        std::filesystem::create_directories(root_ / "bus" / "usb");
        std::filesystem::create_directories(root_ / "bus" / "platform");
        setenv("WINCE_SYSFS_ROOT", root_.c_str(), 1);
    }
    ~FakeSysfs() {
        unsetenv("WINCE_SYSFS_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    const std::filesystem::path& root() const { return root_; }

    // A USB adapter as sysfs shows it: its USB device is named after the
    // port it is plugged into ("1-1.2"), which is what stays the same when
    // it comes back there.
    struct UsbAdapter {
        std::string maker;
        std::string product;
        std::string serialNumber;  // empty: the adapter has none
        std::string usbPort = "1-1";
        std::string vendorId = "0403";
        std::string productId = "6001";
    };

    // A usb-serial adapter (ttyUSBn): the tty hangs off a port of the
    // interface; maker, product and serial number sit on the USB device two
    // levels up.
    void plugUsbSerial(const std::string& name, const UsbAdapter& adapter) {
        std::filesystem::path usbDevice = root_ / "devices" / "usb1" / adapter.usbPort;
        std::filesystem::path port = usbDevice / (adapter.usbPort + ":1.0") / name;
        std::filesystem::create_directories(port);
        writeIfGiven(usbDevice / "manufacturer", adapter.maker);
        writeIfGiven(usbDevice / "product", adapter.product);
        writeIfGiven(usbDevice / "serial", adapter.serialNumber);
        write(usbDevice / "idVendor", adapter.vendorId);
        write(usbDevice / "idProduct", adapter.productId);
        write(port / "port_number", "0");
        std::filesystem::create_directory_symlink(root_ / "bus" / "usb-serial", port / "subsystem");
        addTty(name, port);
    }

    void addUsbSerial(const std::string& name, const std::string& maker, const std::string& product) {
        plugUsbSerial(name, UsbAdapter{maker, product, "", "1-" + name});
    }

    // A CDC ACM modem (ttyACMn): the tty hangs off the interface itself.
    void addAcm(const std::string& name, const std::string& product) {
        std::filesystem::path usbDevice = root_ / "devices" / "usb1" / ("1-" + name);
        std::filesystem::path interface = usbDevice / "1-1:1.0";
        std::filesystem::create_directories(interface);
        write(usbDevice / "product", product);
        std::filesystem::create_directory_symlink(root_ / "bus" / "usb", interface / "subsystem");
        addTty(name, interface);
    }

    // A serial core port; type 0 means no UART answered at its address.
    void addUart(const std::string& name, const std::string& type) {
        std::filesystem::path device = root_ / "devices" / "platform" / "serial8250";
        std::filesystem::create_directories(device);
        if (!std::filesystem::exists(device / "subsystem")) {
            std::filesystem::create_directory_symlink(root_ / "bus" / "platform", device / "subsystem");
        }
        addTty(name, device);
        write(root_ / "class" / "tty" / name / "type", type);
    }

    // A virtual terminal: a link into devices/virtual, with no device.
    void addVirtual(const std::string& name) {
        std::filesystem::path target = root_ / "devices" / "virtual" / "tty" / name;
        std::filesystem::create_directories(target);
        std::filesystem::create_directory_symlink(target, root_ / "class" / "tty" / name);
    }

    // The device goes away, as when an adapter is unplugged: its tty and,
    // for a USB device, the USB device with everything below it.
    void remove(const std::string& name) {
        std::filesystem::path entry = root_ / "class" / "tty" / name;
        std::error_code error;
        std::filesystem::path device = std::filesystem::canonical(entry / "device", error);
        std::filesystem::remove_all(entry);
        if (error) return;
        const std::filesystem::path usbRoot = std::filesystem::canonical(root_) / "devices" / "usb1";
        for (std::filesystem::path up = device; up.has_parent_path() && up != up.parent_path();
             up = up.parent_path()) {
            if (up.parent_path() == usbRoot) {
                std::filesystem::remove_all(up);
                return;
            }
        }
    }

private:
    void addTty(const std::string& name, const std::filesystem::path& device) {
        std::filesystem::path entry = root_ / "class" / "tty" / name;
        std::filesystem::create_directories(entry);
        std::filesystem::create_directory_symlink(device, entry / "device");
    }
    static void write(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    }
    static void writeIfGiven(const std::filesystem::path& file, const std::string& text) {
        if (!text.empty()) write(file, text);
    }

    std::filesystem::path root_;
};

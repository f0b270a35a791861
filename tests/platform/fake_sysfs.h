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
        std::string pattern =
            (std::filesystem::temp_directory_path() / "fake-sysfs-XXXXXX").string();
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

    // A usb-serial adapter (ttyUSBn): the tty hangs off a port of the
    // interface; maker and product sit on the USB device two levels up.
    void addUsbSerial(const std::string& name, const std::string& maker,
                      const std::string& product) {
        std::filesystem::path usbDevice = root_ / "devices" / "usb1" / ("1-" + name);
        std::filesystem::path port = usbDevice / "1-1:1.0" / name;
        std::filesystem::create_directories(port);
        if (!maker.empty()) write(usbDevice / "manufacturer", maker);
        if (!product.empty()) write(usbDevice / "product", product);
        std::filesystem::create_directory_symlink(root_ / "bus" / "usb-serial", port / "subsystem");
        addTty(name, port);
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
            std::filesystem::create_directory_symlink(root_ / "bus" / "platform",
                                                      device / "subsystem");
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

    // The device goes away, as when an adapter is unplugged.
    void remove(const std::string& name) {
        std::filesystem::remove_all(root_ / "class" / "tty" / name);
        std::filesystem::remove_all(root_ / "devices" / "usb1" / ("1-" + name));
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

    std::filesystem::path root_;
};

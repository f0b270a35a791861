// The host's serial ports, found through sysfs and numbered as COM devices.
//
// sysfs is read below $WINCE_SYSFS_ROOT when that variable is set (tests
// point it at a folder they build), else below /sys. Each scan sees the
// ports present at that moment. A port keeps the COM number it was first
// given for the life of the process, recognised by its stable identity: a
// USB adapter by its serial number where it has one, else by the USB port
// it is plugged into (as /dev/serial/by-id and by-path name them), so one
// unplugged and plugged back under a new node keeps its number; other ports
// by their node. A name once listed never comes to mean another port.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "wince.h"

namespace wince {

// What sysfs tells about the device behind a tty.
struct DeviceDescription {
    std::string product;       // "FTDI FT232R USB UART" (maker and product), or empty
    std::string serialNumber;  // the USB serial number, or empty
};

struct HostSerialPort {
    DWORD comIndex;    // 1 for "COM1:"
    std::string path;  // "/dev/ttyUSB0"
    DeviceDescription description;
};

// The serial ports present now, by COM number. Legacy ports with no UART
// behind them and virtual terminals are left out.
std::vector<HostSerialPort> discoverSerialPorts();

// What sysfs says about the tty device at a host path (the USB maker,
// product and serial number), or nothing.
DeviceDescription describeHostDevice(const std::string& path);

// The number of a "COMn:" name (letters in any case), false for other names.
bool parseComName(std::u16string_view name, DWORD& index);

// Forgets the numbers given so far, as if no port had been listed yet.
void forgetSerialPortNumbers();

}  // namespace wince

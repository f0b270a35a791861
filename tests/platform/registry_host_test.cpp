// The host's registry: "Drivers\BuiltIn" built from a sysfs tree the test
// makes, and from a WINCE_DEVICES mapping.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "fake_sysfs.h"
#include "port_map.h"
#include "registry.h"
#include "seams.h"
#include "serial_discovery.h"
#include "utf16.h"
#include "wince.h"

namespace {

struct DriverKey {
    std::u16string keyName;
    std::u16string prefix;
    DWORD index;
    std::u16string friendlyName;

    bool operator==(const DriverKey&) const = default;
};

std::ostream& operator<<(std::ostream& out, const DriverKey& key) {
    out << "{";
    for (char16_t unit : key.friendlyName) out << static_cast<char>(unit);
    return out << " #" << key.index << "}";
}

std::u16string readString(HKEY key, const char16_t* name) {
    WCHAR text[256] = {};
    DWORD size = sizeof(text) - sizeof(WCHAR);
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    return text;
}

DriverKey readDriverKey(HKEY parent, const std::u16string& keyName) {
    HKEY driver = nullptr;
    EXPECT_EQ(RegOpenKeyExW(parent, keyName.c_str(), 0, KEY_READ, &driver), ERROR_SUCCESS);
    DriverKey key{keyName, readString(driver, u"PREFIX"), 0, readString(driver, u"FRIENDLYNAME")};
    DWORD size = sizeof(key.index);
    RegQueryValueExW(driver, u"INDEX", nullptr, nullptr, reinterpret_cast<BYTE*>(&key.index), &size);
    RegCloseKey(driver);
    return key;
}

// The driver keys as the registry calls see them.
std::vector<DriverKey> builtInKeys() {
    HKEY builtIn = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn", 0, KEY_READ, &builtIn) != 0) {
        ADD_FAILURE() << "no Drivers\\BuiltIn";
        return {};
    }
    std::vector<DriverKey> keys;
    WCHAR name[256];
    DWORD units = 256;
    for (DWORD i = 0;
         RegEnumKeyExW(builtIn, i, name, &units, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, units = 256) {
        keys.push_back(readDriverKey(builtIn, name));
    }
    RegCloseKey(builtIn);
    return keys;
}

DriverKey serialKey(DWORD index, const std::u16string& friendlyName) {
    std::u16string keyName = u"Serial";
    for (char c : std::to_string(index)) keyName += static_cast<char16_t>(c);
    return DriverKey{keyName, u"COM", index, friendlyName};
}

class HostRegistryFromSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        // No port map: the host's own ports are listed, whatever the environment says.
        wince::installPortMap(std::make_shared<wince::PortMap>());
        wince::forgetSerialPortNumbers();
        sysfs.addVirtual("tty0");
        sysfs.addVirtual("ptmx");
        sysfs.addUart("ttyS0", "0");
        sysfs.addUart("ttyS1", "4");
        sysfs.addUsbSerial("ttyUSB0", "FTDI", "FT232R USB UART");
        sysfs.addAcm("ttyACM0", "Instrument Link");
    }
    void TearDown() override {
        wince::forgetSerialPortNumbers();
        wince::installPortMap(nullptr);
    }

    FakeSysfs sysfs;
};

TEST_F(HostRegistryFromSysfs, ListsRealSerialPortsNumberedInNameOrder) {
    EXPECT_EQ(builtInKeys(), (std::vector<DriverKey>{
                                 serialKey(1, u"Instrument Link (/dev/ttyACM0)"),
                                 serialKey(2, u"/dev/ttyS1"),
                                 serialKey(3, u"FTDI FT232R USB UART (/dev/ttyUSB0)"),
                             }));
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM3:"), "/dev/ttyUSB0");
    EXPECT_EQ(wince::discoveredSerialPortPath(u"com1:"), "/dev/ttyACM0");
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM4:"), "");
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM0:"), "");
    EXPECT_EQ(wince::discoveredSerialPortPath(u"OBX0:"), "");
}

TEST_F(HostRegistryFromSysfs, PortsKeepTheirNumbersWhileDevicesComeAndGo) {
    ASSERT_EQ(builtInKeys().size(), 3u);
    sysfs.remove("ttyACM0");
    sysfs.addUsbSerial("ttyUSB1", "", "CP2102 USB to UART Bridge");
    EXPECT_EQ(builtInKeys(), (std::vector<DriverKey>{
                                 serialKey(2, u"/dev/ttyS1"),
                                 serialKey(3, u"FTDI FT232R USB UART (/dev/ttyUSB0)"),
                                 serialKey(4, u"CP2102 USB to UART Bridge (/dev/ttyUSB1)"),
                             }));
    // A name listed earlier never comes to mean another device: while its
    // device is away it names none.
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM1:"), "");
    sysfs.addAcm("ttyACM0", "Instrument Link");
    EXPECT_EQ(wince::discoveredSerialPortPath(u"COM1:"), "/dev/ttyACM0");
    EXPECT_EQ(builtInKeys().front(), serialKey(1, u"Instrument Link (/dev/ttyACM0)"));
    EXPECT_EQ(builtInKeys().size(), 4u);
}

TEST_F(HostRegistryFromSysfs, LongDescriptionGivesWayToThePath) {
    sysfs.remove("ttyUSB0");
    sysfs.addUsbSerial("ttyUSB0", "Maker", std::string(150, 'p'));
    std::u16string friendlyName = builtInKeys().back().friendlyName;
    EXPECT_EQ(friendlyName.size(), 99u);
    EXPECT_EQ(friendlyName.substr(0, 6), u"Maker ");
    EXPECT_EQ(friendlyName.substr(friendlyName.size() - 15), u" (/dev/ttyUSB0)");
}

std::u16string friendlyNameOf(const wince::RegistryKey& driver) {
    const wince::RegistryValue* value = driver.findValue(u"FRIENDLYNAME");
    if (value == nullptr) return u"(none)";
    return reinterpret_cast<const char16_t*>(value->data.data());
}

TEST(HostRegistryFromMapping, OneDriverKeyPerMappedComDeviceThatExistsInNumberOrder) {
    FakeSysfs sysfs;
    sysfs.addUsbSerial("ttyUSB7", "FTDI", "FT232R USB UART");
    // Stand-ins for /dev/ttyUSB7 (which sysfs describes) and for a terminal.
    std::filesystem::path device = sysfs.root() / "ttyUSB7";
    std::filesystem::path terminal = sysfs.root() / "pts7";
    std::ofstream(device).put('\n');
    std::ofstream(terminal).put('\n');
    const std::string absent = (sysfs.root() / "gone").string();

    std::vector<wince::DeviceMapping> mapping = {
        {u"COM2:", terminal.string()},
        {u"OBX0:", "/tmp/obx"},
        {u"COM1:", device.string()},
        {u"COM2:", device.string()},
        {u"COM3:", absent},
        {u"COM4:", absent},  // the first mapping of a name is the one that opens
        {u"COM4:", terminal.string()},
    };
    auto builtIn = wince::buildBuiltInKey(wince::mappedSerialPorts(mapping));
    ASSERT_EQ(builtIn->subKeys.size(), 2u);
    const wince::RegistryKey& first = *builtIn->subKeys[0];
    EXPECT_EQ(first.name, u"Serial1");
    EXPECT_EQ(friendlyNameOf(first),
              u"FTDI FT232R USB UART (" + wince::utf16FromUtf8(device.string()) + u")");
    const wince::RegistryKey& second = *builtIn->subKeys[1];
    const wince::RegistryValue* index = second.findValue(u"INDEX");
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->data, (std::vector<BYTE>{2, 0, 0, 0}));
    EXPECT_EQ(friendlyNameOf(second), wince::utf16FromUtf8(terminal.string()));
    EXPECT_EQ(second.findValue(u"PREFIX")->data.size(), sizeof(u"COM"));
}

}  // namespace

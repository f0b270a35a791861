// The registry behind the Reg* calls: an in-memory tree of keys and values,
// read only, and the backend that supplies it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device.h"
#include "serial_discovery.h"
#include "wince.h"

namespace wince {

struct RegistryValue {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};

// A key and everything below it. Names compare without regard to case, as
// on the platform; sub keys enumerate in the order they were added.
struct RegistryKey {
    std::u16string name;
    std::vector<RegistryValue> values;
    std::vector<std::shared_ptr<RegistryKey>> subKeys;

    // The sub key of that name, added when missing.
    RegistryKey& subKey(std::u16string_view keyName);
    // A REG_SZ value, stored with its terminator.
    void setString(std::u16string_view valueName, std::u16string_view text);
    void setDword(std::u16string_view valueName, DWORD value);
    void setData(std::u16string_view valueName, DWORD type, std::vector<BYTE> data);
    void removeValue(std::u16string_view valueName);

    const RegistryKey* findSubKey(std::u16string_view keyName) const;
    const RegistryValue* findValue(std::u16string_view valueName) const;
};

bool sameRegistryName(std::u16string_view a, std::u16string_view b);

// Where the Reg* calls find the registry. An open key keeps the tree it was
// opened in alive, so a backend may hand out a fresh tree at every open.
class RegistryBackend {
public:
    virtual ~RegistryBackend() = default;
    // The tree under HKEY_LOCAL_MACHINE as it stands now.
    virtual std::shared_ptr<const RegistryKey> localMachine() = 0;
    // A status the call must end with instead of running, 0 to run normally.
    // `path` is the key's full path below HKEY_LOCAL_MACHINE ("Drivers\BuiltIn").
    virtual LONG openStatus(std::u16string_view path);
    virtual LONG enumStatus(std::u16string_view path, DWORD index);
    virtual LONG queryStatus(std::u16string_view path, std::u16string_view valueName);
};

// The host's registry, built on first use: "Drivers\BuiltIn" describes the
// host's serial devices as they are each time it is opened.
RegistryBackend& hostRegistry();

// The "Drivers\BuiltIn" key that declares these serial ports: one driver key
// each, with the PREFIX "COM", the INDEX of its name and a FRIENDLYNAME.
std::shared_ptr<RegistryKey> buildBuiltInKey(const std::vector<HostSerialPort>& ports);

// The COM devices of a WINCE_DEVICES mapping whose device exists now (other
// names and absent devices left out), by number, with what sysfs says of each.
std::vector<HostSerialPort> mappedSerialPorts(const std::vector<DeviceMapping>& configured);

// Keys open now (tests use it to find leaks).
size_t openRegistryKeyCount();

}  // namespace wince

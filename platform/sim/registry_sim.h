// The simulated registry: a tree a test fills as it needs, statuses that
// chosen registry calls end with, and the platform GetVersionExW reports.
#pragma once

#include <memory>
#include <string_view>

#include "registry.h"

namespace wince::sim {

// Stands in for the host's registry for its own lifetime (one at a time);
// it starts empty, with GetVersionExW reporting Windows CE. The destructor
// puts the host's registry and platform back.
class SimRegistry {
public:
    SimRegistry();
    ~SimRegistry();
    SimRegistry(const SimRegistry&) = delete;
    SimRegistry& operator=(const SimRegistry&) = delete;

    // The key at a backslash-separated path below HKEY_LOCAL_MACHINE, made
    // with its parents when missing. Change keys only while no call runs.
    RegistryKey& key(std::u16string_view path);
    void removeKey(std::u16string_view path);
    // Back to an empty registry without injected statuses, on Windows CE.
    void clear();

    // A driver key "Drivers\BuiltIn\<keyName>" declaring a serial port, with
    // no FRIENDLYNAME when `friendlyName` is null.
    RegistryKey& addSerialPort(std::u16string_view keyName, DWORD index, const char16_t* friendlyName);
    // Drivers of a handheld that are not serial ports (their PREFIX is not
    // "COM"), and one without any PREFIX.
    void addOtherDrivers();

    // Makes the calls on the key at `path` end with `status` (0 lifts it):
    // opening it, enumerating its sub key `index`, reading its value.
    void failOpen(std::u16string_view path, LONG status);
    void failEnum(std::u16string_view path, DWORD index, LONG status);
    void failQuery(std::u16string_view path, std::u16string_view valueName, LONG status);

    // Every key opening takes this long: a slow registry, so that walks on
    // several threads overlap.
    void delayOpens(DWORD milliseconds);

    void reportPlatform(DWORD platformId);

    class Backend;

private:
    std::unique_ptr<Backend> backend_;
};

}  // namespace wince::sim

// enumSerialPorts over the simulated registry, fed arbitrary driver keys:
// names of any length, PREFIX, INDEX and FRIENDLYNAME values of any size
// and type, and failing registry calls. Every walk must hand the collector
// exactly the ports the table of registry outcomes gives, end with the
// right result and last error, and leave no key open; the list EnumPortRS
// builds from it must hold the first 20 of those ports, each formatted
// within its element.
//
// Input layout (fields little-endian, missing bytes read as 0):
//   flags      1 byte   bit 0: the platform is the one in `platform`;
//                       bit 1: no "Drivers\BuiltIn" key; bit 2: opening it
//                       fails; bit 3: enumerating past the last key fails
//   platform   1 byte   the platform GetVersionExW reports (bit 0)
//   stopAfter  1 byte   the collector answers false at this port (0: never)
//   statuses   2 bytes  the statuses of bits 2 and 3
//   then driver keys until the input ends, each:
//     name     uint16 length (at most 300), then that many bytes, one unit
//              each (a byte of 0x80 or more gives a unit past Latin-1)
//     values   1 byte count (at most 4), each: a selector byte (bits 0-1:
//              PREFIX, INDEX, FRIENDLYNAME or another name; bit 2: the name
//              in lower case; bit 3: the data is text, each byte a unit,
//              with a terminator), a type byte, a uint16 length (at most
//              1024) and the data
//     failures 1 byte, bits 0-4: enumerating this key, opening it, reading
//              its PREFIX, INDEX, FRIENDLYNAME fails; a status byte for
//              each bit set
// Statuses come from a table of the registry's own and some odd ones.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "port_list.h"
#include "port_list_checks.h"
#include "registry.h"
#include "registry_sim.h"

namespace {

using wince::RegistryKey;
using wince::RegistryValue;

constexpr char16_t kBuiltInPath[] = u"Drivers\\BuiltIn";

constexpr uint8_t kOtherPlatform = 1;
constexpr uint8_t kNoBuiltInKey = 2;
constexpr uint8_t kBuiltInOpenFails = 4;
constexpr uint8_t kEnumerationEndFails = 8;

constexpr size_t kMaxNameUnits = 300;
constexpr int kMaxValues = 4;
constexpr size_t kMaxDataBytes = 1024;
constexpr uint8_t kLowerCaseName = 4;
constexpr uint8_t kTextData = 8;

// What the walk reads, by the buffer sizes it reads them with.
constexpr size_t kPrefixBytes = kPortNameUnits * sizeof(WCHAR);
constexpr size_t kIndexBytes = sizeof(DWORD);
constexpr size_t kFriendlyNameBytes = kFriendlyNameUnits * sizeof(WCHAR);
constexpr size_t kKeyNameUnits = 256;
constexpr DWORD kLargestListedIndex = 99999;

constexpr LONG kStatuses[] = {
    ERROR_FILE_NOT_FOUND,
    ERROR_ACCESS_DENIED,
    ERROR_INVALID_HANDLE,
    ERROR_NOT_ENOUGH_MEMORY,
    ERROR_INVALID_PARAMETER,
    ERROR_MORE_DATA,
    ERROR_NO_MORE_ITEMS,
    1009 /* registry corrupt */,
    -1,
    static_cast<LONG>(0x80000000u),
    0x7FFFFFFF,
};

enum ValueKind { PREFIX, INDEX, FRIENDLY_NAME, OTHER, KIND_COUNT };
constexpr const char16_t* VALUE_NAMES[KIND_COUNT] = {u"PREFIX", u"INDEX", u"FRIENDLYNAME", u"Dll"};
enum Failure { FAIL_ENUM, FAIL_OPEN, FAIL_PREFIX, FAIL_INDEX, FAIL_FRIENDLY_NAME, FAILURE_COUNT };

char16_t foldCase(char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; }

std::u16string folded(std::u16string text) {
    std::transform(text.begin(), text.end(), text.begin(), foldCase);
    return text;
}

// The statuses injected, as the simulated registry applies them: by sub
// key index for enumeration, by key name (regardless of case) otherwise.
struct Injected {
    LONG builtInOpen = 0;
    std::map<size_t, LONG> enumeration;
    std::map<std::u16string, LONG> open;
    std::map<std::u16string, LONG> query[KIND_COUNT];
};

struct Port {
    std::u16string name;
    std::u16string friendlyName;
    bool operator==(const Port&) const = default;
};

struct Walk {
    bool result = true;
    DWORD lastError = 0;
    std::vector<Port> ports;
};

// --- the keys the input describes ---

LONG status(FuzzInput& input) { return kStatuses[input.byte() % std::size(kStatuses)]; }

std::u16string keyName(FuzzInput& input) {
    std::u16string name;
    for (uint8_t b : input.bytes(input.uint16() % (kMaxNameUnits + 1))) {
        char16_t unit = b < 0x80 ? b : static_cast<char16_t>(0x100 + b);
        // A separator or a terminator would name another key.
        if (unit == u'\\' || unit == 0) unit = u'_';
        name += unit;
    }
    return name.empty() ? u"_" : name;
}

std::vector<BYTE> valueData(FuzzInput& input, bool text) {
    std::span<const uint8_t> bytes = input.bytes(input.uint16() % (kMaxDataBytes + 1));
    if (!text) return std::vector<BYTE>(bytes.begin(), bytes.end());
    std::vector<BYTE> data;
    for (uint8_t b : bytes) data.insert(data.end(), {b, 0});
    data.insert(data.end(), {0, 0});
    return data;
}

void addValue(FuzzInput& input, RegistryKey& key) {
    const uint8_t selector = input.byte();
    std::u16string name = VALUE_NAMES[selector % KIND_COUNT];
    if (selector & kLowerCaseName) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char16_t u) { return u >= u'A' && u <= u'Z' ? u + 32 : u; });
    }
    const DWORD type = input.byte();
    key.setData(name, type, valueData(input, selector & kTextData));
}

void addDriverKey(FuzzInput& input, wince::sim::SimRegistry& registry, RegistryKey& builtIn,
                  Injected& injected) {
    const std::u16string name = keyName(input);
    RegistryKey& key = builtIn.subKey(name);
    const int values = input.byte() % (kMaxValues + 1);
    for (int i = 0; i < values; ++i) addValue(input, key);

    const std::u16string path = std::u16string(kBuiltInPath) + u"\\" + key.name;
    const size_t position =
        static_cast<size_t>(std::find_if(builtIn.subKeys.begin(), builtIn.subKeys.end(),
                                         [&](const auto& child) { return child.get() == &key; }) -
                            builtIn.subKeys.begin());
    const uint8_t failures = input.byte();
    for (int failure = 0; failure < FAILURE_COUNT; ++failure) {
        if (!(failures & (1 << failure))) continue;
        const LONG code = status(input);
        if (failure == FAIL_ENUM) {
            registry.failEnum(kBuiltInPath, static_cast<DWORD>(position), code);
            injected.enumeration[position] = code;
        } else if (failure == FAIL_OPEN) {
            registry.failOpen(path, code);
            injected.open[folded(key.name)] = code;
        } else {
            const ValueKind kind = static_cast<ValueKind>(failure - FAIL_PREFIX);
            registry.failQuery(path, VALUE_NAMES[kind], code);
            injected.query[kind][folded(key.name)] = code;
        }
    }
}

// --- the walk the table of registry outcomes gives ---

// A value read into `size` zeroed bytes: its status, and the bytes.
LONG readValue(const RegistryKey& key, const Injected& injected, ValueKind kind, size_t size,
               std::vector<BYTE>& bytes) {
    const auto failure = injected.query[kind].find(folded(key.name));
    if (failure != injected.query[kind].end()) return failure->second;
    const RegistryValue* value = key.findValue(VALUE_NAMES[kind]);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (value->data.size() > size) return ERROR_MORE_DATA;
    bytes.assign(size, 0);
    std::copy(value->data.begin(), value->data.end(), bytes.begin());
    return ERROR_SUCCESS;
}

char16_t unitAt(const std::vector<BYTE>& bytes, size_t i) {
    return static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
}

std::u16string expectedFriendlyName(const RegistryKey& key, const Injected& injected) {
    std::vector<BYTE> bytes;
    if (readValue(key, injected, FRIENDLY_NAME, kFriendlyNameBytes, bytes) != ERROR_SUCCESS) return u"";
    if (unitAt(bytes, kFriendlyNameUnits - 1) != 0) return u"";
    std::u16string name;
    for (size_t i = 0; unitAt(bytes, i) != 0; ++i) name += unitAt(bytes, i);
    return name;
}

// The port a driver key declares; 0 to go on (`port` empty when it
// declares none), else the status that ends the walk.
LONG expectedPort(const RegistryKey& key, const Injected& injected, Port& port) {
    std::vector<BYTE> bytes;
    LONG status = readValue(key, injected, PREFIX, kPrefixBytes, bytes);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    if (unitAt(bytes, 0) != u'C' || unitAt(bytes, 1) != u'O' || unitAt(bytes, 2) != u'M') {
        return ERROR_SUCCESS;
    }
    status = readValue(key, injected, INDEX, kIndexBytes, bytes);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    DWORD index = 0;
    std::memcpy(&index, bytes.data(), sizeof index);
    if (index > kLargestListedIndex) return ERROR_SUCCESS;
    port.name = u"COM";
    for (char digit : std::to_string(index)) port.name += static_cast<char16_t>(digit);
    port.name += u":";
    port.friendlyName = expectedFriendlyName(key, injected);
    return ERROR_SUCCESS;
}

Walk failed(Walk walk, LONG status) {
    walk.result = false;
    walk.lastError = static_cast<DWORD>(status);
    return walk;
}

Walk expectedWalk(const RegistryKey* builtIn, const Injected& injected, bool onCE, size_t stopAfter) {
    Walk walk;
    if (!onCE) return failed(walk, ERROR_OLD_WIN_VERSION);
    if (builtIn == nullptr || injected.builtInOpen == ERROR_FILE_NOT_FOUND) return walk;
    if (injected.builtInOpen != 0) return failed(walk, injected.builtInOpen);
    for (size_t i = 0;; ++i) {
        if (auto failure = injected.enumeration.find(i); failure != injected.enumeration.end()) {
            if (failure->second == ERROR_NO_MORE_ITEMS) return walk;
            return failed(walk, failure->second);
        }
        if (i >= builtIn->subKeys.size()) return walk;
        const RegistryKey& key = *builtIn->subKeys[i];
        if (key.name.size() + 1 > kKeyNameUnits) return failed(walk, ERROR_MORE_DATA);
        if (auto failure = injected.open.find(folded(key.name)); failure != injected.open.end()) {
            return failed(walk, failure->second);
        }
        Port port;
        if (LONG status = expectedPort(key, injected, port)) return failed(walk, status);
        if (port.name.empty()) continue;
        walk.ports.push_back(port);
        if (walk.ports.size() == stopAfter) return walk;
    }
}

// --- the walks themselves ---

struct Seen {
    std::vector<Port> ports;
    size_t stopAfter = 0;
};
Seen seen;

bool checkingCollector(const PortDescriptor& port) {
    seen.ports.push_back({boundedText(port.portName, kPortNameUnits, "port name unterminated"),
                          boundedText(port.friendlyName, kFriendlyNameUnits, "friendly name unterminated")});
    return seen.ports.size() != seen.stopAfter;
}

void requireWalk(const Walk& expected) {
    constexpr DWORD kUnset = 0xDEADBEEF;
    SetLastError(kUnset);
    const bool result = enumSerialPorts(checkingCollector);
    FUZZ_REQUIRE(wince::openRegistryKeyCount() == 0, "the walk left a registry key open");
    FUZZ_REQUIRE(seen.ports == expected.ports, "the collector was not handed the declared ports");
    FUZZ_REQUIRE(result == expected.result, "wrong result of the walk");
    if (!result) FUZZ_REQUIRE(GetLastError() == expected.lastError, "wrong last error of the walk");
}

void requireList(const Walk& unstopped) {
    const int count = listSerialPorts();
    FUZZ_REQUIRE(wince::openRegistryKeyCount() == 0, "the listing left a registry key open");
    const size_t expected = std::min<size_t>(unstopped.ports.size(), kPortListSize);
    FUZZ_REQUIRE(count == static_cast<int>(expected), "wrong number of listed ports");
    for (size_t i = 0; i < expected; ++i) {
        const PortListEntry& entry = portList[i];
        FUZZ_REQUIRE(boundedText(entry.portName, kPortNameUnits, "unterminated") == unstopped.ports[i].name &&
                         boundedText(entry.friendlyName, kFriendlyNameUnits, "unterminated") ==
                             unstopped.ports[i].friendlyName,
                     "listed entry differs from the port declared");
        requireElement(entry);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static wince::sim::SimRegistry registry;
    registry.clear();
    FuzzInput input(data, size);
    const uint8_t flags = input.byte();
    const uint8_t platform = input.byte();
    const size_t stopAfter = input.byte();
    const LONG builtInStatus = status(input);
    const LONG endStatus = status(input);

    const bool onCE = !(flags & kOtherPlatform) || platform == VER_PLATFORM_WIN32_CE;
    registry.reportPlatform(onCE ? VER_PLATFORM_WIN32_CE : platform);
    Injected injected;
    RegistryKey* builtIn = nullptr;
    if (!(flags & kNoBuiltInKey)) {
        builtIn = &registry.key(kBuiltInPath);
        while (!input.empty()) addDriverKey(input, registry, *builtIn, injected);
        if (flags & kBuiltInOpenFails) {
            registry.failOpen(kBuiltInPath, builtInStatus);
            injected.builtInOpen = builtInStatus;
        }
        if (flags & kEnumerationEndFails) {
            const size_t end = builtIn->subKeys.size();
            registry.failEnum(kBuiltInPath, static_cast<DWORD>(end), endStatus);
            injected.enumeration[end] = endStatus;
        }
    }

    seen = Seen{{}, stopAfter};
    requireWalk(expectedWalk(builtIn, injected, onCE, stopAfter));
    requireList(expectedWalk(builtIn, injected, onCE, 0));
    return 0;
}

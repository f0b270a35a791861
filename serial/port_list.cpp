#include "port_list.h"

namespace {

constexpr DWORD kKeyNameUnits = 256;
// COM99999: is the longest name that `portName` holds.
constexpr DWORD kLargestPortIndex = 99999;

constexpr WCHAR kDriversKey[] = TEXT("Drivers\\BuiltIn");
constexpr WCHAR kPrefixValue[] = TEXT("PREFIX");
constexpr WCHAR kIndexValue[] = TEXT("INDEX");
constexpr WCHAR kFriendlyNameValue[] = TEXT("FRIENDLYNAME");

bool isWindowsCE() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    GetVersionExW(&version);
    return version.dwPlatformId == VER_PLATFORM_WIN32_CE;
}

bool hasSerialPrefix(const WCHAR* prefix) {
    return prefix[0] == TEXT('C') && prefix[1] == TEXT('O') && prefix[2] == TEXT('M');
}

LONG queryValue(HKEY key, const WCHAR* valueName, void* buffer, DWORD size) {
    return RegQueryValueExW(key, valueName, nullptr, nullptr, static_cast<BYTE*>(buffer), &size);
}

// "COM%u:"
void formatPortName(DWORD index, WCHAR (&name)[kPortNameUnits]) {
    WCHAR digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(TEXT('0') + index % 10);
        index /= 10;
    } while (index != 0);
    int length = 0;
    for (WCHAR unit : TEXT("COM")) {
        if (unit != 0) name[length++] = unit;
    }
    while (count > 0) name[length++] = digits[--count];
    name[length++] = TEXT(':');
    name[length] = 0;
}

// A name that fails to read, or that leaves no room for its terminator,
// is an empty one.
void readFriendlyName(HKEY driver, WCHAR (&friendlyName)[kFriendlyNameUnits]) {
    LONG status = queryValue(driver, kFriendlyNameValue, friendlyName, sizeof(friendlyName));
    if (status != ERROR_SUCCESS || friendlyName[kFriendlyNameUnits - 1] != 0) {
        friendlyName[0] = 0;
    }
}

// Reads the port a driver key declares and hands it to the collector.
// Returns the status that ends the walk, 0 to go on.
LONG readPort(HKEY driver, PortCollector collector, bool& stopped) {
    WCHAR portName[kPortNameUnits] = {};
    LONG status = queryValue(driver, kPrefixValue, portName, sizeof(portName));
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && !hasSerialPrefix(portName))) {
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return status;
    DWORD index = 0;
    status = queryValue(driver, kIndexValue, &index, sizeof(index));
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    // A cut name would name another port.
    if (index > kLargestPortIndex) return ERROR_SUCCESS;
    formatPortName(index, portName);
    WCHAR friendlyName[kFriendlyNameUnits] = {};
    readFriendlyName(driver, friendlyName);
    stopped = !collector(PortDescriptor{portName, friendlyName});
    return ERROR_SUCCESS;
}

LONG visitDriverKey(HKEY parent, const WCHAR* keyName, PortCollector collector, bool& stopped) {
    HKEY driver = nullptr;
    LONG status = RegOpenKeyExW(parent, keyName, 0, KEY_ENUMERATE_SUB_KEYS, &driver);
    if (status != ERROR_SUCCESS) return status;
    status = readPort(driver, collector, stopped);
    RegCloseKey(driver);
    return status;
}

LONG walkDriverKeys(HKEY parent, PortCollector collector) {
    WCHAR keyName[kKeyNameUnits];
    for (DWORD i = 0;; ++i) {
        DWORD nameUnits = kKeyNameUnits;
        FILETIME lastWritten;
        LONG status = RegEnumKeyExW(parent, i, keyName, &nameUnits, nullptr, nullptr, nullptr, &lastWritten);
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        bool stopped = false;
        status = visitDriverKey(parent, keyName, collector, stopped);
        if (status != ERROR_SUCCESS || stopped) return status;
    }
}

// A missing "Drivers\BuiltIn" is a device without built-in drivers: no port.
LONG walkBuiltInDrivers(PortCollector collector) {
    HKEY parent = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriversKey, 0, KEY_READ, &parent);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    status = walkDriverKeys(parent, collector);
    RegCloseKey(parent);
    return status;
}

// Copies at most `units` - 1 characters and the terminator.
void copyText(WCHAR* target, const WCHAR* source, int units) {
    int length = 0;
    while (length < units - 1 && source[length] != 0) {
        target[length] = source[length];
        ++length;
    }
    target[length] = 0;
}

int appendText(WCHAR* element, int length, const WCHAR* text, int limit) {
    while (length < limit && *text != 0) element[length++] = *text++;
    return length;
}

}  // namespace

PortListEntry portList[kPortListSize];
int32_t portListCount;
std::mutex portListLock;

bool enumSerialPorts(PortCollector collector) {
    if (collector == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!isWindowsCE()) {
        SetLastError(ERROR_OLD_WIN_VERSION);
        return false;
    }
    LONG status = walkBuiltInDrivers(collector);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    return true;
}

bool collectPort(const PortDescriptor& port) {
    if (portList[0].portName[0] == 0) portListCount = 0;
    if (portListCount >= kPortListSize) return false;
    PortListEntry& entry = portList[portListCount];
    copyText(entry.portName, port.portName, kPortNameUnits);
    copyText(entry.friendlyName, port.friendlyName, kFriendlyNameUnits);
    ++portListCount;
    return true;
}

int listSerialPorts() {
    for (PortListEntry& entry : portList) entry.portName[0] = 0;
    enumSerialPorts(collectPort);
    int count = 0;
    while (count < kPortListSize && portList[count].portName[0] != 0) ++count;
    return count;
}

int formatPortElement(const PortListEntry& entry, WCHAR (&element)[kPortElementUnits]) {
    constexpr int lastUnit = kPortElementUnits - 1;
    int length = appendText(element, 0, entry.portName, kPortNameUnits - 1);
    length = appendText(element, length, TEXT(" <"), lastUnit);
    // The closing bracket always has its place.
    length = appendText(element, length, entry.friendlyName, lastUnit - 1);
    length = appendText(element, length, TEXT(">"), lastUnit);
    element[length] = 0;
    return length;
}

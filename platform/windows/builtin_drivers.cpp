// "Drivers\BuiltIn" on a desktop: the handheld declares its serial ports as
// driver keys there; the desktop lists them under HARDWARE\DEVICEMAP\SERIALCOMM
// (device name -> "COMn") and names each device in its Enum tree. The keys
// below are made from those at each open of "Drivers\BuiltIn" and live in a
// small table of their own; every other key is the desktop's.
#define WINCE_DESKTOP_DEFINES_STANDINS
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "wince.h"

namespace {

constexpr WCHAR kBuiltInPath[] = L"Drivers\\BuiltIn";
constexpr WCHAR kSerialMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr WCHAR kDeviceTree[] = L"SYSTEM\\CurrentControlSet\\Enum";
constexpr DWORD kNameUnits = 256;

struct ComPort {
    DWORD index;
    std::wstring friendlyName;
};

// An open key of this stand-in: the list itself, or one driver key of it.
struct BuiltInKey {
    bool open = false;
    bool isDriver = false;
    std::vector<ComPort> ports;  // the list; a driver key holds its one port
};

constexpr int kOpenKeyLimit = 32;
BuiltInKey openKeys[kOpenKeyLimit];
std::mutex openKeysLock;

BuiltInKey* builtInKey(HKEY key) {
    for (BuiltInKey& candidate : openKeys) {
        if (reinterpret_cast<HKEY>(&candidate) == key && candidate.open) return &candidate;
    }
    return nullptr;
}

HKEY claimKey(bool isDriver, std::vector<ComPort> ports) {
    for (BuiltInKey& candidate : openKeys) {
        if (!candidate.open) {
            candidate = BuiltInKey{true, isDriver, std::move(ports)};
            return reinterpret_cast<HKEY>(&candidate);
        }
    }
    return nullptr;
}

std::wstring readString(HKEY key, const WCHAR* valueName) {
    WCHAR text[kNameUnits] = {};
    DWORD size = sizeof text - sizeof(WCHAR);
    DWORD type = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    return text;
}

std::wstring subKeyName(HKEY key, DWORD index) {
    WCHAR name[kNameUnits];
    DWORD units = kNameUnits;
    if (RegEnumKeyExW(key, index, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return {};
    return name;
}

// Calls visit(key) on every sub key of `parent`, `depth` levels down.
template <typename Visit>
bool visitSubKeys(HKEY parent, int depth, Visit visit) {
    for (DWORD i = 0;; ++i) {
        const std::wstring name = subKeyName(parent, i);
        if (name.empty()) return false;
        HKEY child = nullptr;
        if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        const bool found = depth == 1 ? visit(child) : visitSubKeys(child, depth - 1, visit);
        RegCloseKey(child);
        if (found) return true;
    }
}

// The friendly name of the device instance whose port is `comName`.
std::wstring deviceFriendlyName(const std::wstring& comName) {
    HKEY tree = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceTree, 0, KEY_READ, &tree) != ERROR_SUCCESS) return {};
    std::wstring friendly;
    visitSubKeys(tree, 3, [&](HKEY instance) {
        HKEY parameters = nullptr;
        if (RegOpenKeyExW(instance, L"Device Parameters", 0, KEY_READ, &parameters) != ERROR_SUCCESS)
            return false;
        const bool match = _wcsicmp(readString(parameters, L"PortName").c_str(), comName.c_str()) == 0;
        RegCloseKey(parameters);
        if (match) friendly = readString(instance, L"FriendlyName");
        return match;
    });
    RegCloseKey(tree);
    return friendly;
}

bool parseComName(const std::wstring& text, DWORD& index) {
    if (text.size() < 4 || _wcsnicmp(text.c_str(), L"COM", 3) != 0) return false;
    index = 0;
    for (size_t i = 3; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9' || index > 99999) return false;
        index = index * 10 + (text[i] - L'0');
    }
    return true;
}

// The COM ports the desktop knows now, by number; a device without a
// friendly name is described by its system device name.
std::vector<ComPort> desktopComPorts() {
    std::vector<ComPort> ports;
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialMap, 0, KEY_READ, &map) != ERROR_SUCCESS) return ports;
    for (DWORD i = 0;; ++i) {
        WCHAR device[kNameUnits];
        DWORD deviceUnits = kNameUnits;
        WCHAR com[kNameUnits] = {};
        DWORD comSize = sizeof com - sizeof(WCHAR);
        DWORD type = 0;
        LONG status = RegEnumValueW(map, i, device, &deviceUnits, nullptr, &type,
                                    reinterpret_cast<BYTE*>(com), &comSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        DWORD index = 0;
        if (status != ERROR_SUCCESS || type != REG_SZ || !parseComName(com, index)) continue;
        std::wstring friendly = deviceFriendlyName(com);
        ports.push_back({index, friendly.empty() ? std::wstring(device) : friendly});
    }
    RegCloseKey(map);
    std::sort(ports.begin(), ports.end(),
              [](const ComPort& a, const ComPort& b) { return a.index < b.index; });
    return ports;
}

std::wstring driverKeyName(const ComPort& port) { return L"Serial" + std::to_wstring(port.index); }

LONG openDriverKey(const BuiltInKey& list, const WCHAR* name, PHKEY result) {
    for (const ComPort& port : list.ports) {
        if (_wcsicmp(driverKeyName(port).c_str(), name) != 0) continue;
        HKEY key = claimKey(true, {port});
        if (key == nullptr) return ERROR_TOO_MANY_OPEN_FILES;
        *result = key;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG copyValue(const void* data, DWORD size, DWORD type, LPDWORD typeOut, LPBYTE out, LPDWORD sizeInOut) {
    if (typeOut) *typeOut = type;
    if (sizeInOut == nullptr) return out == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    const DWORD room = *sizeInOut;
    *sizeInOut = size;
    if (out == nullptr) return ERROR_SUCCESS;
    if (room < size) return ERROR_MORE_DATA;
    std::memcpy(out, data, size);
    return ERROR_SUCCESS;
}

LONG queryDriverValue(const ComPort& port, const WCHAR* name, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (name == nullptr) return ERROR_FILE_NOT_FOUND;
    if (_wcsicmp(name, L"PREFIX") == 0) return copyValue(L"COM", 4 * sizeof(WCHAR), REG_SZ, type, data, size);
    if (_wcsicmp(name, L"INDEX") == 0)
        return copyValue(&port.index, sizeof port.index, REG_DWORD, type, data, size);
    if (_wcsicmp(name, L"FRIENDLYNAME") == 0) {
        const DWORD bytes = static_cast<DWORD>((port.friendlyName.size() + 1) * sizeof(WCHAR));
        return copyValue(port.friendlyName.c_str(), bytes, REG_SZ, type, data, size);
    }
    return ERROR_FILE_NOT_FOUND;
}

}  // namespace

extern "C" {

BOOL WINAPI CeGetVersionExW(LPOSVERSIONINFOW version) {
    if (!GetVersionExW(version)) return FALSE;
    version->dwPlatformId = VER_PLATFORM_WIN32_CE;
    return TRUE;
}

LONG WINAPI CeRegOpenKeyExW(HKEY parent, LPCWSTR name, DWORD options, REGSAM access, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    const bool wantsList =
        parent == HKEY_LOCAL_MACHINE && name != nullptr && _wcsicmp(name, kBuiltInPath) == 0;
    if (wantsList) {
        std::vector<ComPort> ports = desktopComPorts();
        std::lock_guard<std::mutex> lock(openKeysLock);
        HKEY key = claimKey(false, std::move(ports));
        if (key == nullptr) return ERROR_TOO_MANY_OPEN_FILES;
        *result = key;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(openKeysLock);
    if (const BuiltInKey* list = builtInKey(parent)) {
        if (list->isDriver || name == nullptr) return ERROR_FILE_NOT_FOUND;
        return openDriverKey(*list, name, result);
    }
    return RegOpenKeyExW(parent, name, options, access, result);
}

LONG WINAPI CeRegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD units, LPDWORD reserved,
                            LPWSTR keyClass, LPDWORD classUnits, PFILETIME written) {
    std::lock_guard<std::mutex> lock(openKeysLock);
    const BuiltInKey* list = builtInKey(key);
    if (list == nullptr)
        return RegEnumKeyExW(key, index, name, units, reserved, keyClass, classUnits, written);
    if (name == nullptr || units == nullptr) return ERROR_INVALID_PARAMETER;
    if (list->isDriver || index >= list->ports.size()) return ERROR_NO_MORE_ITEMS;
    const std::wstring keyName = driverKeyName(list->ports[index]);
    if (keyName.size() + 1 > *units) return ERROR_MORE_DATA;
    std::wcscpy(name, keyName.c_str());
    *units = static_cast<DWORD>(keyName.size());
    if (written) *written = FILETIME{};
    return ERROR_SUCCESS;
}

LONG WINAPI CeRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                               LPDWORD size) {
    std::lock_guard<std::mutex> lock(openKeysLock);
    const BuiltInKey* opened = builtInKey(key);
    if (opened == nullptr) return RegQueryValueExW(key, name, reserved, type, data, size);
    if (!opened->isDriver) return ERROR_FILE_NOT_FOUND;
    return queryDriverValue(opened->ports.front(), name, type, data, size);
}

LONG WINAPI CeRegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> lock(openKeysLock);
    BuiltInKey* opened = builtInKey(key);
    if (opened == nullptr) return RegCloseKey(key);
    *opened = BuiltInKey{};
    return ERROR_SUCCESS;
}

}  // extern "C"

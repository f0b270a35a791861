// RegOpenKeyExW, RegEnumKeyExW, RegQueryValueExW and RegCloseKey over the
// registry tree of the current backend.
#include "registry.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "seams.h"

namespace wince {

namespace {

char16_t foldCase(char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; }

// An open key: the tree node it names and its full path below the root.
struct OpenKey {
    std::shared_ptr<const RegistryKey> node;
    std::u16string path;
};

class KeyTable {
public:
    HKEY add(OpenKey key) {
        std::lock_guard lock(mutex_);
        // Values never come back, so a closed key is never mistaken for a new one.
        nextKey_ += 4;
        keys_.emplace(nextKey_, std::move(key));
        return reinterpret_cast<HKEY>(nextKey_);
    }
    bool find(HKEY handle, OpenKey& key) {
        std::lock_guard lock(mutex_);
        auto found = keys_.find(reinterpret_cast<uintptr_t>(handle));
        if (found == keys_.end()) return false;
        key = found->second;
        return true;
    }
    bool remove(HKEY handle) {
        std::lock_guard lock(mutex_);
        return keys_.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
    }
    size_t size() {
        std::lock_guard lock(mutex_);
        return keys_.size();
    }

private:
    std::mutex mutex_;
    std::unordered_map<uintptr_t, OpenKey> keys_;
    uintptr_t nextKey_ = 0x10000;
};

KeyTable& keyTable() {
    static KeyTable table;
    return table;
}

std::atomic<RegistryBackend*> swappedBackend{nullptr};

RegistryBackend& backend() {
    RegistryBackend* swapped = swappedBackend.load();
    return swapped != nullptr ? *swapped : hostRegistry();
}

bool resolveKey(HKEY handle, OpenKey& key) {
    if (handle == HKEY_LOCAL_MACHINE) {
        key = OpenKey{backend().localMachine(), u""};
        return true;
    }
    return keyTable().find(handle, key);
}

// Follows a backslash-separated path down from `key`; false when a part is missing.
bool descend(OpenKey& key, std::u16string_view subPath) {
    while (!subPath.empty()) {
        size_t end = std::min(subPath.find(u'\\'), subPath.size());
        std::u16string_view part = subPath.substr(0, end);
        subPath.remove_prefix(std::min(end + 1, subPath.size()));
        if (part.empty()) continue;
        const RegistryKey* child = key.node->findSubKey(part);
        if (child == nullptr) return false;
        // The child lives as long as the tree that `key` holds.
        key.node = std::shared_ptr<const RegistryKey>(key.node, child);
        key.path += key.path.empty() ? child->name : u"\\" + child->name;
    }
    return true;
}

std::u16string_view viewOf(LPCWSTR text) {
    return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

}  // namespace

bool sameRegistryName(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               return foldCase(x) == foldCase(y);
           });
}

RegistryKey& RegistryKey::subKey(std::u16string_view keyName) {
    for (auto& child : subKeys) {
        if (sameRegistryName(child->name, keyName)) return *child;
    }
    subKeys.push_back(std::make_shared<RegistryKey>());
    subKeys.back()->name = keyName;
    return *subKeys.back();
}

void RegistryKey::setData(std::u16string_view valueName, DWORD type, std::vector<BYTE> data) {
    removeValue(valueName);
    values.push_back(RegistryValue{std::u16string(valueName), type, std::move(data)});
}

void RegistryKey::setString(std::u16string_view valueName, std::u16string_view text) {
    std::vector<BYTE> data((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    setData(valueName, REG_SZ, std::move(data));
}

void RegistryKey::setDword(std::u16string_view valueName, DWORD value) {
    std::vector<BYTE> data(sizeof(DWORD));
    std::memcpy(data.data(), &value, sizeof(DWORD));
    setData(valueName, REG_DWORD, std::move(data));
}

void RegistryKey::removeValue(std::u16string_view valueName) {
    std::erase_if(values, [&](const RegistryValue& v) { return sameRegistryName(v.name, valueName); });
}

const RegistryKey* RegistryKey::findSubKey(std::u16string_view keyName) const {
    for (const auto& child : subKeys) {
        if (sameRegistryName(child->name, keyName)) return child.get();
    }
    return nullptr;
}

const RegistryValue* RegistryKey::findValue(std::u16string_view valueName) const {
    for (const auto& value : values) {
        if (sameRegistryName(value.name, valueName)) return &value;
    }
    return nullptr;
}

LONG RegistryBackend::openStatus(std::u16string_view) { return ERROR_SUCCESS; }
LONG RegistryBackend::enumStatus(std::u16string_view, DWORD) { return ERROR_SUCCESS; }
LONG RegistryBackend::queryStatus(std::u16string_view, std::u16string_view) { return ERROR_SUCCESS; }

size_t openRegistryKeyCount() { return keyTable().size(); }

void setRegistryBackend(RegistryBackend* replacement) { swappedBackend = replacement; }

}  // namespace wince

using wince::OpenKey;

extern "C" LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    OpenKey key;
    if (!wince::resolveKey(hKey, key)) return ERROR_INVALID_HANDLE;
    if (!wince::descend(key, wince::viewOf(lpSubKey))) return ERROR_FILE_NOT_FOUND;
    if (LONG status = wince::backend().openStatus(key.path)) return status;
    *phkResult = wince::keyTable().add(std::move(key));
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcName,
                                     LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcClass,
                                     PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcName == nullptr || lpReserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    OpenKey key;
    if (!wince::resolveKey(hKey, key)) return ERROR_INVALID_HANDLE;
    if (LONG status = wince::backend().enumStatus(key.path, dwIndex)) return status;
    if (dwIndex >= key.node->subKeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::u16string& name = key.node->subKeys[dwIndex]->name;
    if (name.size() + 1 > *lpcName) return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), lpName);
    lpName[name.size()] = 0;
    *lpcName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr && lpcClass != nullptr && *lpcClass > 0) lpClass[0] = 0;
    if (lpcClass != nullptr) *lpcClass = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    OpenKey key;
    if (!wince::resolveKey(hKey, key)) return ERROR_INVALID_HANDLE;
    std::u16string_view valueName = wince::viewOf(lpValueName);
    if (LONG status = wince::backend().queryStatus(key.path, valueName)) return status;
    const wince::RegistryValue* value = key.node->findValue(valueName);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = value->type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(value->data.size());
    DWORD room = *lpcbData;
    *lpcbData = size;
    if (lpData == nullptr) return ERROR_SUCCESS;
    // Like the platform, a value too large leaves its first part in the buffer.
    if (DWORD copied = std::min(size, room)) std::memcpy(lpData, value->data.data(), copied);
    return size > room ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    return wince::keyTable().remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

#include "registry_sim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "seams.h"

namespace wince::sim {

namespace {

struct InjectedStatus {
    std::u16string path;
    std::u16string item;  // the value name, or the sub key index in decimal
    LONG status;
};

std::u16string indexText(DWORD index) {
    std::u16string text;
    for (char c : std::to_string(index)) text += static_cast<char16_t>(c);
    return text;
}

void setStatus(std::vector<InjectedStatus>& statuses, std::u16string_view path, std::u16string_view item,
               LONG status) {
    std::erase_if(statuses, [&](const InjectedStatus& s) {
        return sameRegistryName(s.path, path) && sameRegistryName(s.item, item);
    });
    if (status != 0) statuses.push_back({std::u16string(path), std::u16string(item), status});
}

LONG findStatus(const std::vector<InjectedStatus>& statuses, std::u16string_view path,
                std::u16string_view item) {
    for (const InjectedStatus& s : statuses) {
        if (sameRegistryName(s.path, path) && sameRegistryName(s.item, item)) return s.status;
    }
    return ERROR_SUCCESS;
}

}  // namespace

// The registry, and the version GetVersionExW reports beside it: the host's
// with the platform id the test chose.
class SimRegistry::Backend : public RegistryBackend, public ReportedVersion {
public:
    std::shared_ptr<RegistryKey> root = std::make_shared<RegistryKey>();
    std::vector<InjectedStatus> openStatuses, enumStatuses, queryStatuses;
    std::atomic<DWORD> openDelayMs{0};
    std::atomic<DWORD> platformId{VER_PLATFORM_WIN32_CE};

    void describe(OSVERSIONINFOW& info) override {
        hostVersion().describe(info);
        info.dwPlatformId = platformId.load();
    }

    std::shared_ptr<const RegistryKey> localMachine() override { return root; }
    LONG openStatus(std::u16string_view path) override {
        if (DWORD delay = openDelayMs.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        }
        return findStatus(openStatuses, path, u"");
    }
    LONG enumStatus(std::u16string_view path, DWORD index) override {
        return findStatus(enumStatuses, path, indexText(index));
    }
    LONG queryStatus(std::u16string_view path, std::u16string_view valueName) override {
        return findStatus(queryStatuses, path, valueName);
    }
};

SimRegistry::SimRegistry() : backend_(std::make_unique<Backend>()) {
    setRegistryBackend(backend_.get());
    setReportedVersion(backend_.get());
}

SimRegistry::~SimRegistry() {
    setRegistryBackend(nullptr);
    setReportedVersion(nullptr);
}

RegistryKey& SimRegistry::key(std::u16string_view path) {
    RegistryKey* key = backend_->root.get();
    while (!path.empty()) {
        size_t end = std::min(path.find(u'\\'), path.size());
        key = &key->subKey(path.substr(0, end));
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    return *key;
}

void SimRegistry::removeKey(std::u16string_view path) {
    size_t split = path.rfind(u'\\');
    RegistryKey& parent = split == std::u16string_view::npos ? key(u"") : key(path.substr(0, split));
    std::u16string_view name = split == std::u16string_view::npos ? path : path.substr(split + 1);
    std::erase_if(parent.subKeys, [&](const auto& child) { return sameRegistryName(child->name, name); });
}

void SimRegistry::clear() {
    backend_->root = std::make_shared<RegistryKey>();
    backend_->openStatuses.clear();
    backend_->enumStatuses.clear();
    backend_->queryStatuses.clear();
    backend_->openDelayMs = 0;
    backend_->platformId = VER_PLATFORM_WIN32_CE;
}

RegistryKey& SimRegistry::addSerialPort(std::u16string_view keyName, DWORD index,
                                        const char16_t* friendlyName) {
    RegistryKey& driver = key(u"Drivers\\BuiltIn").subKey(keyName);
    driver.setString(u"Prefix", u"COM");
    driver.setDword(u"Index", index);
    if (friendlyName != nullptr) driver.setString(u"FriendlyName", friendlyName);
    return driver;
}

void SimRegistry::addOtherDrivers() {
    struct OtherDriver {
        const char16_t* keyName;
        const char16_t* prefix;
        const char16_t* friendlyName;
    };
    static constexpr OtherDriver others[] = {
        {u"WaveDev", u"WAV", u"Audio codec"},
        {u"Touch", u"TCH", u"Touch panel"},
        {u"PCMCIA", u"PCC", u"Card slot"},
        {u"Battery", u"BAT", u"Battery monitor"},
        {u"Comx", u"CMX", u"Not a serial port despite its name"},
    };
    for (const OtherDriver& other : others) {
        RegistryKey& driver = key(u"Drivers\\BuiltIn").subKey(other.keyName);
        driver.setString(u"Prefix", other.prefix);
        driver.setDword(u"Index", 1);
        driver.setString(u"FriendlyName", other.friendlyName);
    }
    // A bus driver has no device prefix at all.
    key(u"Drivers\\BuiltIn\\PCI").setString(u"Dll", u"pcibus.dll");
}

void SimRegistry::failOpen(std::u16string_view path, LONG status) {
    setStatus(backend_->openStatuses, path, u"", status);
}

void SimRegistry::failEnum(std::u16string_view path, DWORD index, LONG status) {
    setStatus(backend_->enumStatuses, path, indexText(index), status);
}

void SimRegistry::failQuery(std::u16string_view path, std::u16string_view valueName, LONG status) {
    setStatus(backend_->queryStatuses, path, valueName, status);
}

void SimRegistry::delayOpens(DWORD milliseconds) { backend_->openDelayMs = milliseconds; }

void SimRegistry::reportPlatform(DWORD platformId) { backend_->platformId = platformId; }

}  // namespace wince::sim

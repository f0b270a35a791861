// The WINCE_DEVICES mapping: parsed once, shared by the device opener and the
// port list.
#include "port_map.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "seams.h"
#include "utf16.h"

namespace wince {
namespace {

// The platform's device names hold at most 9 characters ("COM99999:").
constexpr size_t deviceNameLimit = 9;

char16_t asciiUpper(char16_t unit) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

bool sameDeviceName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

// Why `entry` cannot map, or empty when `mapping` holds what it maps.
std::string parseEntry(std::string_view entry, const std::vector<DeviceMapping>& earlier,
                       DeviceMapping& mapping) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) return "no '=' between the name and the path";
    if (equals == 0) return "the name is empty";
    if (equals + 1 == entry.size()) return "the path is empty";
    mapping.name = utf16FromUtf8(entry.substr(0, equals));
    if (mapping.name.back() != u':') mapping.name += u':';
    if (mapping.name.size() > deviceNameLimit) {
        return "the name " + utf8FromUtf16(mapping.name) + " is longer than " +
               std::to_string(deviceNameLimit) + " characters";
    }
    for (const DeviceMapping& before : earlier) {
        if (sameDeviceName(before.name, mapping.name)) {
            return utf8FromUtf16(mapping.name) + " is already mapped by an earlier entry";
        }
    }
    mapping.path = std::string(entry.substr(equals + 1));
    return {};
}

struct MapHolder {
    std::mutex mutex;
    std::shared_ptr<const PortMap> installed;
};

MapHolder& mapHolder() {
    static MapHolder* const holder = new MapHolder;  // kept for the process's life
    return *holder;
}

// Read on first use, never at load: a program may set the variable itself
// before it opens or lists a port.
std::shared_ptr<const PortMap> environmentPortMap() {
    static std::once_flag once;
    static std::shared_ptr<const PortMap>* map = nullptr;
    std::call_once(once, [] {
        const char* text = std::getenv("WINCE_DEVICES");
        auto parsed = std::make_shared<PortMap>(text ? PortMap::parse(text) : PortMap());
        for (const PortMap::Rejection& rejection : parsed->rejections()) {
            std::fputs((rejectionLine(rejection) + "\n").c_str(), stderr);
        }
        map = new std::shared_ptr<const PortMap>(std::move(parsed));  // kept for the process's life
    });
    return *map;
}

}  // namespace

PortMap PortMap::parse(std::string_view text) {
    PortMap map;
    map.given_ = true;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (entry.empty()) continue;
        DeviceMapping mapping;
        std::string reason = parseEntry(entry, map.entries_, mapping);
        if (reason.empty()) {
            map.entries_.push_back(std::move(mapping));
        } else {
            map.rejections_.push_back({std::string(entry), std::move(reason)});
        }
    }
    return map;
}

std::string PortMap::pathFor(std::u16string_view name) const {
    for (const DeviceMapping& mapping : entries_) {
        if (sameDeviceName(mapping.name, name)) return mapping.path;
    }
    return {};
}

std::string rejectionLine(const PortMap::Rejection& rejection) {
    const std::string line = "WINCE_DEVICES: ignoring \"" + rejection.entry + "\": " + rejection.reason;
    std::string shown;
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::shared_ptr<const PortMap> portMap() {
    {
        MapHolder& holder = mapHolder();
        std::lock_guard lock(holder.mutex);
        if (holder.installed) return holder.installed;
    }
    return environmentPortMap();
}

void installPortMap(std::shared_ptr<const PortMap> map) {
    MapHolder& holder = mapHolder();
    std::lock_guard lock(holder.mutex);
    holder.installed = std::move(map);
}

}  // namespace wince

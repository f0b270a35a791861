// Which host path each platform device name stands for: the WINCE_DEVICES
// mapping ("COM1:=/dev/ttyUSB0,COM3:=/dev/pts/4"). The device opener and the
// registry's port list both ask this one map, so a name that is listed is a
// name that opens.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace wince {

// A platform name and the host path it stands for.
struct DeviceMapping {
    std::u16string name;  // "COM1:", always with its colon
    std::string path;
};

class PortMap {
public:
    // An entry left out of the map, and why.
    struct Rejection {
        std::string entry;   // as written in the text
        std::string reason;  // "the path is empty"
    };

    // No mapping at all: the host's own serial ports answer to the names.
    PortMap() = default;

    // Entries separated by commas, each NAME=PATH; a name written without its
    // colon gets one. Nothing is trimmed: blanks belong to the name or path.
    // Empty entries (",,", a trailing comma) are passed over. An entry with
    // no '=', an empty name or path, a name longer than the platform's 9
    // characters, or a name mapped by an earlier entry (names compare without
    // regard to case) is left out and listed in rejections(); the others
    // still map.
    static PortMap parse(std::string_view text);

    // True when a mapping was given (even an empty one): it alone then
    // decides which names open and which are listed.
    bool given() const { return given_; }

    const std::vector<DeviceMapping>& entries() const { return entries_; }
    const std::vector<Rejection>& rejections() const { return rejections_; }

    // The path mapped to `name` (letters in any case), empty when none.
    std::string pathFor(std::u16string_view name) const;

private:
    bool given_ = false;
    std::vector<DeviceMapping> entries_;
    std::vector<Rejection> rejections_;
};

// The one line on stderr that tells of a rejected entry:
// WINCE_DEVICES: ignoring "COM1:/dev/ttyUSB0": no '=' between the name and the path
// Control characters are shown as \xNN, so the line stays one line.
std::string rejectionLine(const PortMap::Rejection& rejection);

// The map in use: one a test installed, else this process's WINCE_DEVICES,
// read once on first use (the first open or port listing), never at library
// load. Its rejected entries go to stderr then, one line each, once.
std::shared_ptr<const PortMap> portMap();

// Tests put a map of their own in place of the environment's with
// installPortMap (seams.h).

}  // namespace wince

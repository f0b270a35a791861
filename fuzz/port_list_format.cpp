// collectPort and the "%s <%s>" elements of EnumPortRS, fed port names and
// friendly names of any length and content, also names made from INDEX
// values too large for a port name.
//
// Input layout: the stale portListCount (int32), then descriptors until the
// input ends, each:
//   kind       1 byte   bit 0: the port name is "COM<index>:" of an int32
//                       index that follows; else a length byte and that
//                       many UTF-16 units
//   friendly   uint16 length (at most 1000), then that many UTF-16 units
// Units may be 0: the C string then ends there.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "port_list.h"
#include "port_list_checks.h"

namespace {

constexpr uint8_t kNameFromIndex = 1;
constexpr size_t kMaxFriendlyUnits = 1000;

std::u16string units(FuzzInput& input, size_t count) {
    std::u16string text;
    for (size_t i = 0; i < count && !input.empty(); ++i) text += static_cast<char16_t>(input.uint16());
    return text;
}

std::u16string portNameOf(uint32_t index) {
    std::u16string name = u"COM";
    for (char digit : std::to_string(index)) name += static_cast<char16_t>(digit);
    return name + u":";
}

// What collectPort keeps of a string: up to its first terminator, cut to
// leave room for one in `capacity` units.
std::u16string keptText(const std::u16string& text, size_t capacity) {
    return std::u16string(text.c_str()).substr(0, capacity - 1);
}

// The state EnumPortRS leaves before its walk: entries emptied, their
// other units stale.
void startListing(int32_t staleCount) {
    std::memset(portList, 0xA5, sizeof portList);
    for (PortListEntry& entry : portList) entry.portName[0] = 0;
    portListCount = staleCount;
}

void requireCollected(const std::u16string& port, const std::u16string& friendly) {
    const int32_t before = portList[0].portName[0] == 0 ? 0 : portListCount;
    std::vector<PortListEntry> others(portList, portList + kPortListSize);
    const bool answer = collectPort(PortDescriptor{port.c_str(), friendly.c_str()});
    FUZZ_REQUIRE(answer == (before < kPortListSize), "collectPort answered wrongly for the count");
    FUZZ_REQUIRE(portListCount == (answer ? before + 1 : before), "portListCount not advanced by one");
    for (int i = 0; i < kPortListSize; ++i) {
        if (answer && i == before) continue;
        FUZZ_REQUIRE(std::memcmp(&others[i], &portList[i], sizeof(PortListEntry)) == 0,
                     "collectPort wrote to another entry");
    }
    if (!answer) return;
    const PortListEntry& entry = portList[before];
    FUZZ_REQUIRE(boundedText(entry.portName, kPortNameUnits, "port name unterminated") ==
                     keptText(port, kPortNameUnits),
                 "port name not copied as far as it fits");
    FUZZ_REQUIRE(boundedText(entry.friendlyName, kFriendlyNameUnits, "friendly name unterminated") ==
                     keptText(friendly, kFriendlyNameUnits),
                 "friendly name not copied as far as it fits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    startListing(input.int32());
    while (!input.empty()) {
        const uint8_t kind = input.byte();
        const std::u16string port =
            kind & kNameFromIndex ? portNameOf(input.uint32()) : units(input, input.byte());
        const std::u16string friendly = units(input, input.uint16() % (kMaxFriendlyUnits + 1));
        requireCollected(port, friendly);
    }
    for (int i = 0; i < kPortListSize && portList[i].portName[0] != 0; ++i) requireElement(portList[i]);
    return 0;
}

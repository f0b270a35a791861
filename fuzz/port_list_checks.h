// Checks shared by the port list targets: entries of `portList` and the
// "%s <%s>" element EnumPortRS makes of each.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "port_list.h"

// The text at `units` up to its terminator, which must lie within `capacity`.
inline std::u16string boundedText(const WCHAR* units, size_t capacity, const char* what) {
    const WCHAR* end = std::find(units, units + capacity, u'\0');
    FUZZ_REQUIRE(end != units + capacity, what);
    return std::u16string(units, end);
}

// Formats the entry into an element buffer of its own (on the heap, so that
// a write past it is caught) and checks it against "%s <%s>", the friendly
// name cut so that the element and its terminator fit 110 units.
inline void requireElement(const PortListEntry& entry) {
    const std::u16string port = boundedText(entry.portName, kPortNameUnits, "port name unterminated");
    const std::u16string friendly =
        boundedText(entry.friendlyName, kFriendlyNameUnits, "friendly name unterminated");
    const size_t friendlyRoom = kPortElementUnits - 1 - port.size() - 3;
    const std::u16string expected = port + u" <" + friendly.substr(0, friendlyRoom) + u">";

    using Element = WCHAR[kPortElementUnits];
    auto element = std::make_unique<Element[]>(1);
    const int length = formatPortElement(entry, element[0]);
    FUZZ_REQUIRE(length >= 0 && length < kPortElementUnits, "element length out of range");
    FUZZ_REQUIRE(element[0][length] == 0, "element not terminated at its length");
    FUZZ_REQUIRE(std::u16string(element[0], static_cast<size_t>(length)) == expected,
                 "element is not \"%s <%s>\" of the entry");
}

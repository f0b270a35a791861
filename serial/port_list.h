// The serial ports the device declares in its registry: the walk over the
// built-in driver keys, and the process-wide list that EnumPortRS fills.
#pragma once

#include <cstdint>
#include <mutex>

#include "port_slot.h"

// One serial port found by the walk. Both strings belong to the walk and
// are valid only during the collector call.
struct PortDescriptor {
    const WCHAR* portName;      // "COM1:"
    const WCHAR* friendlyName;  // empty when the driver has none that fits
};

// Takes each port found; false ends the walk.
using PortCollector = bool (*)(const PortDescriptor& port);

constexpr int kPortListSize = 20;
constexpr int kFriendlyNameUnits = 100;  // 99 characters and the terminator
constexpr int kPortElementUnits = 110;   // "%s <%s>" with its terminator

struct PortListEntry {
    WCHAR portName[kPortNameUnits];  // empty: the list ends here
    WCHAR friendlyName[kFriendlyNameUnits];
};

extern PortListEntry portList[kPortListSize];
extern int32_t portListCount;
// Held by a listing from emptying `portList` until its entries were read,
// so that two listings never interleave.
extern std::mutex portListLock;

// Walks the driver keys under HKEY_LOCAL_MACHINE "Drivers\BuiltIn" and hands
// each serial port to `collector`. True when the walk ran to its end or the
// collector stopped it; false with the last error set: ERROR_INVALID_PARAMETER
// without a collector, ERROR_OLD_WIN_VERSION when the platform is not
// Windows CE, else the registry status that ended the walk. A port whose
// INDEX gives a name longer than `portName` holds is left out.
bool enumSerialPorts(PortCollector collector);

// The collector that fills `portList`; stops the walk once it is full.
bool collectPort(const PortDescriptor& port);

// Empties `portList` and fills it afresh; returns the number of entries.
// The caller holds `portListLock`.
int listSerialPorts();

// Formats an entry as "%s <%s>" and returns its length. The friendly name
// is cut when the element would not fit, never the port name.
int formatPortElement(const PortListEntry& entry, WCHAR (&element)[kPortElementUnits]);

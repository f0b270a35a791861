// The simulated backend of the platform layer, for tests only: simulated
// serial lines whose far end a test scripts as an instrument, fault
// injection for the platform calls, and captured message boxes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wince.h"

namespace wince::sim {

using Bytes = std::vector<uint8_t>;

// Forgets every simulated device, injected fault and captured message box.
// Tests call it in SetUp.
void reset();

// Makes calls of `call` (the Win32 name, e.g. "CreateEventW") fail with
// `error`: the first `skip` calls run normally, then `times` calls fail.
void failCall(const std::string& call, DWORD error, int times = 1, int skip = 0);
// How many times `call` has been made since reset() (faulted ones included).
int callCount(const std::string& call);

struct MessageBoxRecord {
    std::u16string caption;
    std::u16string text;
    unsigned style;
};
std::vector<MessageBoxRecord> messageBoxes();

// One simulated serial line. The near end is the device that CreateFileW
// opens under the line's name (exclusively, like a real port); the far end
// is this object, which the test drives.
class SimLine {
public:
    virtual ~SimLine() = default;

    // Far end: bytes that arrive in the device's input queue.
    virtual void deliver(const Bytes& bytes) = 0;
    // Far end: every byte the device sent, in order, since the last take.
    virtual Bytes takeWritten() = 0;
    // Called on the writing thread after each WriteFile with the bytes it
    // sent; an instrument script answers from here (with deliver()).
    virtual void setResponder(std::function<void(SimLine&, const Bytes& written)> responder) = 0;
    // Number of WriteFile calls, and how many bytes each asked to write.
    virtual std::vector<DWORD> writeCalls() = 0;

    // What the near end configured.
    virtual bool isOpen() = 0;
    virtual DCB dcb() = 0;
    virtual COMMTIMEOUTS timeouts() = 0;
    virtual bool dtr() = 0;
    virtual bool rts() = 0;
    virtual std::vector<DWORD> escapeCalls() = 0;
    virtual std::vector<DWORD> purgeCalls() = 0;
    virtual DWORD setupInQueue() = 0;
    virtual DWORD setupOutQueue() = 0;

    // Misbehaviour.
    // SetCommState refuses this rate with ERROR_INVALID_PARAMETER.
    virtual void refuseBaudRate(DWORD rate) = 0;
    // The next `times` WriteFile calls succeed but write nothing.
    virtual void stallWrites(int times) = 0;
    // WriteFile blocks this long before completing (a slow device).
    virtual void delayWrites(DWORD milliseconds) = 0;
    // The device vanishes: every later call on it fails with
    // ERROR_DEVICE_NOT_CONNECTED.
    virtual void hangUp() = 0;
};

// Registers a simulated line under a platform device name such as "COM1:".
std::shared_ptr<SimLine> addLine(const std::u16string& name);

}  // namespace wince::sim

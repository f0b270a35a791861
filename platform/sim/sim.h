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

// Forgets every simulated line (and takes the simulated device opener away
// again), every injected fault, call count and captured message box.
// Tests call it in SetUp.
void reset();

// Makes calls of `call` (the Win32 name, e.g. "CreateEventW") fail with
// `error`: the first `skip` calls run normally, then `times` calls fail
// (a negative `times`: every call after the skipped ones; 0 disarms).
// Arming a call again replaces what was armed for it.
void failCall(const std::string& call, DWORD error, int times = 1, int skip = 0);
// How many times `call` has been made since reset() (faulted ones included).
int callCount(const std::string& call);

// Every Sleep of exactly `length` ms lasts `instead` ms, until reset(). For
// tests that open ports thousands of times: the open's fixed pause is
// design behaviour, but need not cost them real time.
void shortenSleeps(DWORD length, DWORD instead);

struct MessageBoxRecord {
    std::u16string caption;
    std::u16string text;
    unsigned style;
};
// The message boxes shown since reset(), oldest first.
std::vector<MessageBoxRecord> messageBoxes();

// The arguments of each CreateFileW and KernelIoControl since reset(),
// oldest first, as the caller passed them.
struct CreateFileRecord {
    std::u16string name;  // empty for a null name
    DWORD access;
    DWORD shareMode;
    bool securityGiven;
    DWORD creation;
    DWORD flags;
    bool templateGiven;
    bool operator==(const CreateFileRecord&) const = default;
};
std::vector<CreateFileRecord> createFileCalls();

struct KernelIoControlRecord {
    DWORD code;
    bool inGiven;
    DWORD inSize;
    bool outGiven;
    DWORD outSize;
    bool outZeroed;  // every byte of the output buffer was 0 on entry
    bool returnedGiven;
    bool operator==(const KernelIoControlRecord&) const = default;
};
std::vector<KernelIoControlRecord> kernelIoControlCalls();

// One simulated serial line. The near end is the device that CreateFileW
// opens under the line's name (exclusively, like a real port); the far end
// is this object, which the test drives.
//
// Near-end behaviour, as a serial driver of the platform shows it:
// - ReadFile honours the COMMTIMEOUTS: with ReadIntervalTimeout and
//   ReadTotalTimeoutMultiplier at MAXDWORD and a constant c it returns the
//   queued bytes at once, or waits up to c ms for a first byte; MAXDWORD, 0, 0
//   returns at once; MAXDWORD with other totals returns the queued bytes at
//   once, else waits for the count within the total; other values wait for
//   the count, bounded by the total and interval timeouts. Closing the handle (ERROR_INVALID_HANDLE), a
//   hang-up (ERROR_DEVICE_NOT_CONNECTED) or PurgeComm with PURGE_RXABORT
//   (ERROR_OPERATION_ABORTED) ends a waiting read; it takes no bytes then.
// - SetCommState and SetCommTimeouts refuse what the platform's driver
//   refuses (comm_rules.h), PurgeComm unknown flags.
// - ClearCommError reports no line errors, cbInQue = the bytes queued.
// - PurgeComm with PURGE_RXCLEAR empties the input queue.
// - Opening starts with an empty input queue and raises DTR and RTS when the
//   DCB's control fields enable them; afterwards only EscapeCommFunction moves
//   the lines (closing leaves them as they were last driven).
// - The DCB and timeouts are the line's: they outlive an opening.
// - Calls through a device object whose handle was closed fail with
//   ERROR_INVALID_HANDLE.
class SimLine {
public:
    virtual ~SimLine() = default;

    // Far end: bytes that arrive in the device's input queue. Bytes sent
    // while the line is not open are lost, as on a real line.
    virtual void deliver(const Bytes& bytes) = 0;
    // Far end: every byte the device sent, in order, since the last take.
    virtual Bytes takeWritten() = 0;
    // Called on the writing thread, outside the line's lock, after each
    // WriteFile that sent bytes, with those bytes; an instrument script
    // answers from here (with deliver()). A null responder removes it.
    virtual void setResponder(std::function<void(SimLine&, const Bytes& written)> responder) = 0;
    // Number of WriteFile calls, and how many bytes each asked to write.
    virtual std::vector<DWORD> writeCalls() = 0;
    // Bytes in the device's input queue, not yet read.
    virtual size_t inputQueued() = 0;

    // What the near end configured.
    virtual bool isOpen() = 0;
    virtual DCB dcb() = 0;
    virtual COMMTIMEOUTS timeouts() = 0;
    virtual bool dtr() = 0;
    virtual bool rts() = 0;
    // Every EscapeCommFunction and PurgeComm argument, in order.
    virtual std::vector<DWORD> escapeCalls() = 0;
    virtual std::vector<DWORD> purgeCalls() = 0;
    // The queue sizes of the last SetupComm (0 before any).
    virtual DWORD setupInQueue() = 0;
    virtual DWORD setupOutQueue() = 0;

    // Misbehaviour.
    // SetCommState refuses this rate with ERROR_INVALID_PARAMETER.
    virtual void refuseBaudRate(DWORD rate) = 0;
    // The next `times` WriteFile calls succeed but write nothing.
    virtual void stallWrites(int times) = 0;
    // WriteFile blocks this long before completing (a slow device).
    virtual void delayWrites(DWORD milliseconds) = 0;
    // ReadFile blocks this long before it takes its bytes (a slow driver);
    // a close, a hang-up or PURGE_RXABORT ends the wait as for any read.
    virtual void delayReads(DWORD milliseconds) = 0;
    // The device vanishes: every later call on it, and every later open of
    // the line, fails with ERROR_DEVICE_NOT_CONNECTED.
    virtual void hangUp() = 0;
};

// Registers a simulated line under a platform device name such as "COM1:"
// (matched without regard to ASCII case, as the platform does). Registering
// a name again replaces its line. CreateFileW falls back to the host's own
// devices for names that no line answers to.
std::shared_ptr<SimLine> addLine(const std::u16string& name);

// The DCB a new line starts with: 9600 baud 8N1, binary, DTR and RTS
// enabled, and some reserved flag bits set so that tests can see whether a
// caller preserves them.
DCB defaultDcb();

}  // namespace wince::sim

// Every piece of the platform layer that a test may replace, and the one
// call that installs each. All follow one pattern: the installer takes the
// replacement (null puts the host's own back), the caller keeps it alive
// while it is installed, and installing takes effect for the next call on
// any thread. The shipped libraries carry these interfaces and the host's
// own implementations only; the replacements live in platform/sim.
//
//   piece                     install function        host's own
//   device opener             setDeviceOpener         openHostDevice
//   port map (names to paths) installPortMap          WINCE_DEVICES
//   device services           setSystemServices       SystemServices
//   registry                  setRegistryBackend      hostRegistry()
//   GetVersionExW's answer    setReportedVersion      hostVersion()
//   MessageBoxW               setMessageBoxDisplay    hostMessageBox()
//   Sleep's length            setSleepLength          as asked
//   call gate (faults, args)  setCallGate             none: every call runs
#pragma once

#include "device.h"
#include "port_map.h"
#include "registry.h"
#include "system_services.h"
#include "wince.h"

namespace wince {

// Device opener (device_map.cpp): consulted before the host's mapping; a
// name it does not know (ERROR_FILE_NOT_FOUND) goes on to openHostDevice.
// The opener is copied, so a call already opening keeps the old one alive.
void setDeviceOpener(DeviceOpener opener);

// Port map (port_map.cpp): the names the host's opener and the port list
// map to host paths, in place of the environment's WINCE_DEVICES (null goes
// back to it). Shared, so an open under way keeps the map it started with.
void installPortMap(std::shared_ptr<const PortMap> map);

// Device services (system_services.cpp): clock, kernel, sound, volume, bus
// mapping and register access.
void setSystemServices(SystemServices* services);

// Registry (registry.cpp): the tree behind the Reg* calls.
void setRegistryBackend(RegistryBackend* backend);

// What GetVersionExW reports (version.cpp).
class ReportedVersion {
public:
    virtual ~ReportedVersion() = default;
    // Fills the major, minor and build numbers and the platform id.
    virtual void describe(OSVERSIONINFOW& info) = 0;
};
// The host's answer: Windows CE 3.0.
ReportedVersion& hostVersion();
void setReportedVersion(ReportedVersion* version);

// MessageBoxW (message_box.cpp).
class MessageBoxDisplay {
public:
    virtual ~MessageBoxDisplay() = default;
    // Texts are never null (an absent one arrives empty). Returns the
    // button that dismissed the box.
    virtual int show(const char16_t* caption, const char16_t* text, UINT style) = 0;
};
// The host's display: one line on stderr, dismissed at once with IDOK.
MessageBoxDisplay& hostMessageBox();
void setMessageBoxDisplay(MessageBoxDisplay* display);

// How long a Sleep lasts (threads.cpp). Only for tests that would
// otherwise spend real time on the design's fixed pauses.
class SleepLength {
public:
    virtual ~SleepLength() = default;
    virtual DWORD lengthOf(DWORD requested) = 0;
};
void setSleepLength(SleepLength* length);

// The call gate: asked at the start of the calls named below, it can make
// one fail, and it sees the arguments of CreateFileW and KernelIoControl as
// the caller passed them. With none installed a call costs one
// atomic load and a branch more (the port worker polls every 1 ms).
//
// Gated calls, by their Win32 names: CreateFileW, ReadFile, WriteFile,
// DeviceIoControl, SetupComm, PurgeComm, GetCommState, SetCommState,
// EscapeCommFunction, SetCommTimeouts, ClearCommError, CreateEventW,
// SetEvent, ResetEvent, WaitForSingleObject, CloseHandle, CreateThread.
class CallGate {
public:
    virtual ~CallGate() = default;
    // The error `call` must fail with now (its last error), or 0 to run it.
    virtual DWORD failure(const char* call) = 0;
    // Called before the gate is asked about the call itself.
    virtual void noteCreateFile(const char16_t* name, DWORD access, DWORD shareMode, const void* security,
                                DWORD creation, DWORD flags, const void* templateFile) = 0;
    virtual void noteKernelIoControl(DWORD code, const void* in, DWORD inSize, const void* out, DWORD outSize,
                                     const DWORD* returned) = 0;
};
void setCallGate(CallGate* gate);

}  // namespace wince

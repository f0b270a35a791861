// Why the last device open on this thread failed, told in the host's terms:
// the device name, the host path it stands for, the system's reason and what
// to do about it. CreateFileW starts and ends each account; the code that
// opens the device adds what it learnt on the way. Nothing is printed unless
// WINCE_OPEN_DIAGNOSTICS is set: programs that probe ports by opening them
// must not fill their logs.
#pragma once

#include <string>
#include <string_view>

#include "wince.h"

namespace wince {

// A new open of `name` begins; the thread's previous account is dropped.
void beginOpenAccount(std::u16string_view name);

// The host path the name stands for.
void noteOpenPath(const std::string& path);

// Why the open failed, and what the user can do.
void noteOpenFailure(const std::string& reason, const std::string& remedy);

// The open failed with this errno at `path`: the system's reason, and the
// usual fix for it on Linux (group membership, the program holding the
// port, an unplugged adapter).
void noteOpenErrno(int error, const std::string& path);

// Ends the account. A failed open keeps it (with the system's text for
// `code` when nothing more is known) and, when WINCE_OPEN_DIAGNOSTICS is set
// to anything but "" or "0", prints it as one line on stderr.
void endOpenAccount(bool opened, DWORD code);

// The account of the last failed open on this thread as one line, empty
// when the last open succeeded or none was made.
std::string lastOpenFailure();

}  // namespace wince

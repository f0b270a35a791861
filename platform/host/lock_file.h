// UUCP lock files, as Linux serial programs mark the port they use:
// /var/lock/LCK..ttyUSB0 holds the owner's process ID in the HDB form (ten
// characters, right-aligned, and a newline). WINCE_LOCK_DIR names another
// folder (the tests' own).
#pragma once

#include <sys/types.h>

#include <string>

namespace wince {

enum class LockOutcome {
    Taken,          // the file names this process; release it on close
    NotTaken,       // the folder is not writable (or a stale file cannot go): open anyway
    HeldElsewhere,  // a live process other than this one holds the port
};

struct LockClaim {
    LockOutcome outcome = LockOutcome::NotTaken;
    std::string lockPath;  // the lock file of the device
    pid_t owner = 0;       // HeldElsewhere: the process named in the file
};

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3: the path
// below /dev with '/' as '_', else the file name. `devicePath` is the
// device's real path (links resolved), so every alias finds one lock.
std::string lockFileName(const std::string& devicePath);

// Claims the device's lock file for this process. A file naming a process
// that no longer exists, or this process, or nothing readable is stale and
// replaced. The file is written under a temporary name and linked into
// place, so a reader never sees it without its process ID.
LockClaim claimLockFile(const std::string& devicePath);

// Removes the lock file if it still names this process.
void releaseLockFile(const std::string& lockPath);

// The short name of a running process ("minicom"), empty when unknown.
std::string processName(pid_t pid);

}  // namespace wince

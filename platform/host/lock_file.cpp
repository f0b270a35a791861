// UUCP lock files in the HDB form: "%10d\n" with the owner's process ID.
#include "lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace wince {
namespace {

constexpr const char* defaultLockFolder = "/var/lock";
constexpr const char* devPrefix = "/dev/";
// Another program taking the file between each look and each try this often
// is holding the port.
constexpr int claimAttempts = 3;

std::string lockFolder() {
    const char* folder = std::getenv("WINCE_LOCK_DIR");
    return folder != nullptr && *folder != 0 ? folder : defaultLockFolder;
}

struct LockFileState {
    bool exists = false;
    bool readable = false;
    pid_t owner = 0;  // 0 when the file names no process
};

// The process ID the file names, in ASCII with blanks around it.
pid_t parseOwner(const char* text, ssize_t length) {
    long value = 0;
    ssize_t i = 0;
    while (i < length && text[i] == ' ') ++i;
    const ssize_t firstDigit = i;
    while (i < length && text[i] >= '0' && text[i] <= '9' && value < 0x7FFFFFFF) {
        value = value * 10 + (text[i++] - '0');
    }
    if (i == firstDigit || value > 0x7FFFFFFF) return 0;
    while (i < length && (text[i] == ' ' || text[i] == '\n')) ++i;
    return i == length ? static_cast<pid_t>(value) : 0;
}

// Opened without following links and without blocking, so a planted link
// to a FIFO or a device cannot stall the open.
LockFileState readLockFile(const std::string& lockPath) {
    LockFileState state;
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        state.exists = errno != ENOENT;
        return state;
    }
    state.exists = true;
    struct stat info {};
    char text[64];
    ssize_t length = -1;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) length = ::read(fd, text, sizeof text);
    ::close(fd);
    state.readable = length >= 0;
    if (state.readable) state.owner = parseOwner(text, length);
    return state;
}

bool isLive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// A file that cannot be read is taken for a live owner's: its owner is
// unknown, so it is not ours to remove.
bool heldByAnother(const LockFileState& state) {
    if (!state.readable) return true;
    return state.owner != getpid() && isLive(state.owner);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Writes the file under a temporary name and links it into place: 0, or
// the errno (EEXIST when a lock file is there).
int linkLockFile(const std::string& lockPath) {
    std::string temporary = folderOf(lockPath) + "/LTMP.XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    int error = 0;
    if (::write(fd, text, static_cast<size_t>(length)) != length) error = errno ? errno : EIO;
    if (error == 0 && fchmod(fd, 0644) != 0) error = errno;
    ::close(fd);
    if (error == 0 && link(temporary.c_str(), lockPath.c_str()) != 0) error = errno;
    unlink(temporary.c_str());
    return error;
}

}  // namespace

std::string lockFileName(const std::string& devicePath) {
    std::string name = devicePath.rfind(devPrefix, 0) == 0
                           ? devicePath.substr(std::char_traits<char>::length(devPrefix))
                           : devicePath.substr(devicePath.find_last_of('/') + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

LockClaim claimLockFile(const std::string& devicePath) {
    LockClaim claim;
    claim.lockPath = lockFolder() + "/" + lockFileName(devicePath);
    for (int attempt = 0; attempt < claimAttempts; ++attempt) {
        const LockFileState state = readLockFile(claim.lockPath);
        if (state.exists && heldByAnother(state)) {
            claim.outcome = LockOutcome::HeldElsewhere;
            claim.owner = state.owner;
            return claim;
        }
        // Stale: a file in a sticky folder that another user left stays.
        if (state.exists && unlink(claim.lockPath.c_str()) != 0 && errno != ENOENT) return claim;
        const int error = linkLockFile(claim.lockPath);
        if (error == 0) {
            claim.outcome = LockOutcome::Taken;
            return claim;
        }
        if (error != EEXIST) return claim;  // the folder is not writable
    }
    claim.outcome = LockOutcome::HeldElsewhere;
    claim.owner = readLockFile(claim.lockPath).owner;
    return claim;
}

void releaseLockFile(const std::string& lockPath) {
    const LockFileState state = readLockFile(lockPath);
    if (state.readable && state.owner == getpid()) unlink(lockPath.c_str());
}

std::string processName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace wince

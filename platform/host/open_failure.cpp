// The account of a failed device open, and the usual fix for each reason
// Linux gives. Kept per thread, as the last error is: the thread that
// opened asks why.
#include "open_failure.h"

#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "utf16.h"
#include "wince_open_failure.h"

namespace wince {
namespace {

struct OpenAccount {
    std::string name;
    std::string path;
    std::string reason;
    std::string remedy;
    DWORD code = ERROR_SUCCESS;
    bool failed = false;
};

// One account per thread, on the heap, reached through a plain pointer: the
// libraries' thread-local storage must stay small (Morvane's access guard
// puts it in the static TLS block, which dlopen can grow by a few hundred
// bytes only), and a library's unload hook may open a device while the
// process exits, after the thread's C++ thread-local objects are gone. The
// account goes when its thread ends.
thread_local OpenAccount* threadAccount = nullptr;

void freeAccount(void* account) {
    delete static_cast<OpenAccount*>(account);
    threadAccount = nullptr;
}

// Plain constant-initialised state: an open may come from another library
// constructor before this file's objects would be built.
pthread_once_t accountKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t accountKey;
std::atomic<bool> accountKeyLive{false};

void createAccountKey() { accountKeyLive = pthread_key_create(&accountKey, freeAccount) == 0; }

// At dlclose or exit: a thread that ends later must not call into a library
// that is gone (the accounts of threads still running are left behind).
__attribute__((destructor)) void deleteAccountKey() {
    if (accountKeyLive.exchange(false)) pthread_key_delete(accountKey);
}

OpenAccount& account() {
    if (threadAccount == nullptr) {
        threadAccount = new OpenAccount;
        pthread_once(&accountKeyOnce, createAccountKey);
        if (accountKeyLive) pthread_setspecific(accountKey, threadAccount);
    }
    return *threadAccount;
}

std::string groupName(gid_t gid) {
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return std::to_string(gid);
    }
    return entry.gr_name;
}

// The user's name and primary group, as the group database knows them.
bool userEntry(std::string& name, gid_t& primaryGroup) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return false;
    }
    name = entry.pw_name;
    primaryGroup = entry.pw_gid;
    return true;
}

// The user belongs to the group in the group database.
bool userIsMember(const std::string& user, gid_t primaryGroup, gid_t gid) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(user.c_str(), primaryGroup, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(user.c_str(), primaryGroup, groups.data(), &count) < 0) return false;
    }
    groups.resize(static_cast<size_t>(count));
    for (gid_t member : groups) {
        if (member == gid) return true;
    }
    return false;
}

// This process runs with the group (membership granted after the login
// does not reach processes started before it).
bool processHasGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int filled = getgroups(count, groups.data());
    for (int i = 0; i < filled; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) return true;
    }
    return false;
}

std::string permissionRemedy(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        return "the user may not open the device: add the user to group dialout "
               "(sudo usermod -aG dialout $USER), then log in again";
    }
    const std::string group = groupName(info.st_gid);
    const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (info.st_gid == 0 || !groupMayUse) {
        return "the device is open to root only: a udev rule must give it to group dialout "
               "(see Troubleshooting in the README)";
    }
    std::string user;
    gid_t primaryGroup = 0;
    if (!userEntry(user, primaryGroup)) user = "$USER";
    if (user != "$USER" && userIsMember(user, primaryGroup, info.st_gid) && !processHasGroup(info.st_gid)) {
        return "the user " + user + " is in group " + group +
               " since this login began: log in again (or run the program with sg " + group + ")";
    }
    return "the device belongs to group " + group + ": add the user to it (sudo usermod -aG " + group + " " +
           user + "), then log in again";
}

std::string holderRemedy(const std::string& path) {
    return "another program holds the port: close it (sudo fuser -v " + path +
           " names it; ModemManager probes newly plugged adapters for a few seconds)";
}

const char* missingDeviceRemedy =
    "no device there: plug the adapter in or correct the mapping "
    "(ls -l /dev/serial/by-id lists the USB adapters)";

std::string remedyFor(int error, const std::string& path) {
    switch (error) {
        case EACCES:
        case EPERM: return permissionRemedy(path);
        case EBUSY: return holderRemedy(path);
        case ENOENT:
        case ENXIO:
        case ENODEV: return missingDeviceRemedy;
        case ENOTTY: return "not a serial port: map the name to a tty (/dev/ttyUSB0, /dev/ttyACM0)";
        default: return {};
    }
}

std::string systemText(DWORD code) {
    WCHAR text[512] = {};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                       512, nullptr) == 0) {
        return "error " + std::to_string(code);
    }
    std::string reason = utf8FromUtf16(wideView(text));
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return reason;
}

bool diagnosticsWanted() {
    const char* setting = std::getenv("WINCE_OPEN_DIAGNOSTICS");
    return setting != nullptr && *setting != 0 && std::strcmp(setting, "0") != 0;
}

}  // namespace

void beginOpenAccount(std::u16string_view name) {
    account() = OpenAccount{};
    account().name = utf8FromUtf16(name);
}

void noteOpenPath(const std::string& path) { account().path = path; }

void noteOpenFailure(const std::string& reason, const std::string& remedy) {
    account().reason = reason;
    account().remedy = remedy;
}

void noteOpenErrno(int error, const std::string& path) {
    if (error == EWOULDBLOCK) {
        noteOpenFailure("the port is already open, in this program or another one", holderRemedy(path));
        return;
    }
    noteOpenFailure(strerrordesc_np(error) ? strerrordesc_np(error) : "unknown error",
                    remedyFor(error, path));
}

void endOpenAccount(bool opened, DWORD code) {
    OpenAccount& ended = account();
    if (opened) {
        ended = OpenAccount{};
        return;
    }
    ended.failed = true;
    ended.code = code;
    const DWORD callersError = GetLastError();
    if (ended.reason.empty()) ended.reason = systemText(code);
    SetLastError(callersError);
    if (diagnosticsWanted()) std::fprintf(stderr, "tavrix-natives: %s\n", lastOpenFailure().c_str());
}

// "open COM1: (/dev/ttyUSB0) failed, code 5: Permission denied; the device ..."
std::string lastOpenFailure() {
    if (threadAccount == nullptr || !threadAccount->failed) return {};
    const OpenAccount& failed = *threadAccount;
    std::string line = "open " + failed.name;
    line += failed.path.empty() ? " (no host device)" : " (" + failed.path + ")";
    line += " failed, code " + std::to_string(failed.code) + ": " + failed.reason;
    if (!failed.remedy.empty()) line += "; " + failed.remedy;
    return line;
}

}  // namespace wince

// Never throws: out of memory gives an empty text.
extern "C" DWORD WINAPI HostOpenFailureText(LPWSTR lpBuffer, DWORD nSize) {
    if (lpBuffer == nullptr || nSize == 0) return 0;
    lpBuffer[0] = 0;
    std::u16string text;
    try {
        text = wince::utf16FromUtf8(wince::lastOpenFailure());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    DWORD length = static_cast<DWORD>(std::min<size_t>(text.size(), nSize - 1));
    // Never end on half a surrogate pair.
    if (length > 0 && length < text.size() && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) {
        --length;
    }
    for (DWORD i = 0; i < length; ++i) lpBuffer[i] = text[i];
    lpBuffer[length] = 0;
    return length;
}

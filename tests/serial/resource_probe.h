// What the fault and resource tests need besides the port fixture: the
// process's open descriptors and threads as /proc shows them, and real
// pseudo-terminals that the host backend opens under port names.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "port_map.h"
#include "seams.h"
#include "sim.h"

// Entries of a folder, "." and ".." left out; -1 when it cannot be read.
inline int countEntries(const char* folder) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

// Counted while the folder is open, so one more than in use otherwise; the
// same on every call, so comparisons hold.
inline int openDescriptors() { return countEntries("/proc/self/fd"); }
inline int threadCount() { return countEntries("/proc/self/task"); }

// A detached thread leaves the task list shortly after its procedure
// returned: polls `probe` until it is at most `expected` (2 s at most) and
// returns its last value.
template <class Probe>
int settledValue(int expected, Probe probe) {
    int value = probe();
    for (int waited = 0; value > expected && waited < 2000; waited += 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        value = probe();
    }
    return value;
}

// Port names that the host backend maps to pseudo-terminals: while a Pty
// lives, the installed port map names "COM<number>:" its terminal.
inline std::map<int, std::string>& ptyPaths() {
    static std::map<int, std::string> paths;
    return paths;
}

inline void installPtyPortMap() {
    std::string text;
    for (const auto& [number, path] : ptyPaths()) text += "COM" + std::to_string(number) + ":=" + path + ",";
    wince::installPortMap(text.empty() ? nullptr
                                       : std::make_shared<wince::PortMap>(wince::PortMap::parse(text)));
}

inline std::u16string ptyPortName(int number) {
    std::string ascii = "COM" + std::to_string(number) + ":";
    return std::u16string(ascii.begin(), ascii.end());
}

// One pseudo-terminal: the test holds the master side and plays the
// instrument; the slave side is what port COM<number>: opens.
class Pty {
public:
    explicit Pty(int number) : number_(number) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            hangUp();
            return;
        }
        ptyPaths()[number_] = ptsname(master_);
        installPtyPortMap();
    }
    ~Pty() {
        hangUp();
        ptyPaths().erase(number_);
        installPtyPortMap();
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ready() const { return master_ >= 0; }

    // The far end goes away: the slave side reads as hung up from now on.
    void hangUp() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    // What the port sent, up to `count` bytes or `timeoutMs`.
    wince::sim::Bytes read(size_t count, int timeoutMs = 2000) {
        wince::sim::Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && master_ >= 0 && std::chrono::steady_clock::now() < end) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 10) != 1) continue;
            uint8_t buffer[256];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    bool write(const wince::sim::Bytes& bytes) {
        return master_ >= 0 &&
               ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

private:
    int number_;
    int master_ = -1;
};

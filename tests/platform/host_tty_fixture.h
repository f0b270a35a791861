// A serial port of the host over a real pseudo-terminal: the test holds the
// master side, the port under test opens the slave as "COM7:".
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "kernel_object.h"
#include "line_checks.h"
#include "port_map.h"
#include "seams.h"
#include "wince.h"

namespace host_tty {

using Clock = line_checks::Clock;
using line_checks::millisecondsSince;
using line_checks::openPort;

// The installed port map names symlinks in a folder of this process; each
// test points "COM7:" at its own terminal.
inline std::string& folderPath() {
    static std::string path;
    return path;
}

inline void removeFolder() { rmdir(folderPath().c_str()); }

inline const std::string& deviceFolder() {
    std::string& path = folderPath();
    if (path.empty()) {
        path = "/tmp/wince-host-test-" + std::to_string(getpid());
        mkdir(path.c_str(), 0700);
        std::atexit(removeFolder);
        const std::string mapping = "COM7:=" + path + "/com7,com8=/dev/null,COM9:=" + path + "/gone";
        wince::installPortMap(std::make_shared<wince::PortMap>(wince::PortMap::parse(mapping)));
    }
    return path;
}

// A fresh pseudo-terminal whose slave "COM7:" names; the test holds the
// master, the far end of the line.
class PseudoTerminal {
public:
    // Fails the test's assertions when no terminal can be had.
    void create() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        link = deviceFolder() + "/com7";
        unlink(link.c_str());
        ASSERT_EQ(symlink(slavePath.c_str(), link.c_str()), 0);
    }

    void destroy() {
        closeMaster();
        if (!link.empty()) unlink(link.c_str());
    }

    // The far end goes away: the line hangs up.
    void closeMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    void masterWrite(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Up to `count` bytes the port sent, waiting at most `milliseconds`.
    std::string masterRead(size_t count, int milliseconds = line_checks::kSettleMs) {
        std::string got;
        const Clock::time_point start = Clock::now();
        while (got.size() < count && millisecondsSince(start) < milliseconds) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) != 1) continue;
            char buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    // The line as the pseudo-terminal's slave side holds it: the master
    // answers with the slave's settings, and needs no second open of the
    // slave (which the port keeps to itself).
    termios slaveSettings() {
        termios settings{};
        EXPECT_EQ(tcgetattr(master, &settings), 0);
        return settings;
    }

    int master = -1;
    std::string slavePath;
    std::string link;
};

class HostTty : public ::testing::Test {
protected:
    void SetUp() override {
        terminal.create();
        if (HasFatalFailure()) return;
        liveAtStart = wince::liveHandleCount();
        port = openPort(u"COM7:");
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    }

    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        terminal.destroy();
        EXPECT_EQ(wince::liveHandleCount(), liveAtStart);
    }

    void closeMaster() { terminal.closeMaster(); }
    void masterWrite(const std::string& bytes) { terminal.masterWrite(bytes); }
    std::string masterRead(size_t count) { return terminal.masterRead(count); }
    termios slaveSettings() { return terminal.slaveSettings(); }
    DWORD waitForQueued(DWORD count) { return line_checks::waitForQueued(port, count); }
    DCB currentDcb() { return line_checks::currentDcb(port); }

    void setTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                     DWORD writeConstant = 0) {
        ASSERT_TRUE(
            line_checks::setTimeouts(port, interval, multiplier, constant, writeMultiplier, writeConstant));
    }

    PseudoTerminal terminal;
    size_t liveAtStart = 0;
    HANDLE port = INVALID_HANDLE_VALUE;
};

}  // namespace host_tty

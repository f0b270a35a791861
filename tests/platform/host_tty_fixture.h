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
#include "port_map.h"
#include "wince.h"

namespace host_tty {

using Clock = std::chrono::steady_clock;

inline long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

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
        const std::string mapping =
            "COM7:=" + path + "/com7,com8=/dev/null,COM9:=" + path + "/gone";
        wince::installPortMap(std::make_shared<wince::PortMap>(wince::PortMap::parse(mapping)));
    }
    return path;
}

inline HANDLE openPort(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class HostTty : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        link = deviceFolder() + "/com7";
        unlink(link.c_str());
        ASSERT_EQ(symlink(slavePath.c_str(), link.c_str()), 0);
        liveAtStart = wince::liveHandleCount();
        port = openPort(u"COM7:");
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    }

    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        closeMaster();
        unlink(link.c_str());
        EXPECT_EQ(wince::liveHandleCount(), liveAtStart);
    }

    void closeMaster() {
        if (master >= 0) close(master);
        master = -1;
    }

    void masterWrite(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::string masterRead(size_t count) {
        std::string got;
        const Clock::time_point start = Clock::now();
        while (got.size() < count && millisecondsSince(start) < 5000) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) != 1) continue;
            char buffer[256];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    // The pseudo-terminal hands bytes over asynchronously.
    DWORD waitForQueued(DWORD count) {
        COMSTAT status{};
        const Clock::time_point start = Clock::now();
        do {
            DWORD errors = 0;
            if (!ClearCommError(port, &errors, &status)) return 0xFFFFFFFF;
            if (status.cbInQue >= count) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } while (millisecondsSince(start) < 5000);
        return status.cbInQue;
    }

    void setTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                     DWORD writeConstant = 0) {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    }

    // The line as the pseudo-terminal's slave side holds it: the master
    // answers with the slave's settings, and needs no second open of the
    // slave (which the port keeps to itself).
    termios slaveSettings() {
        termios settings{};
        EXPECT_EQ(tcgetattr(master, &settings), 0);
        return settings;
    }

    DCB currentDcb() {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(port, &dcb));
        return dcb;
    }

    int master = -1;
    std::string slavePath;
    std::string link;
    size_t liveAtStart = 0;
    HANDLE port = INVALID_HANDLE_VALUE;
};

}  // namespace host_tty

// Serial ports of the host, run against real pseudo-terminals: the test
// holds the master side, the port under test opens the slave as "COM7:".
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "host_tty_fixture.h"
#include "kernel_object.h"
#include "wince.h"

using namespace host_tty;

namespace {

TEST_F(HostTty, PortIsOpenedExclusivelyUntilClosed) {
    EXPECT_EQ(openPort(u"COM7:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(port));
    port = openPort(u"com7:");  // names are matched without regard to case
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(HostTty, NamesThatNameNoSerialPortFail) {
    EXPECT_EQ(openPort(u"COM5:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(openPort(u"COM9:"), INVALID_HANDLE_VALUE);  // mapped, but nothing there
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(openPort(u"COM8:"), INVALID_HANDLE_VALUE);  // a device, but no tty
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(HostTty, OpenLeavesTheLineRaw) {
    const termios settings = slaveSettings();
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_cflag & HUPCL, 0u);
    EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
}

TEST_F(HostTty, CommStateReachesTheLineAndComesBack) {
    DCB dcb = currentDcb();
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fParity = 1;
    dcb.fOutX = 0;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.XonLim = 123;
    dcb.EvtChar = 'E';
    dcb.fDummy2 = 0x5A5A;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();

    const termios settings = slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(settings.c_iflag & INPCK, 0u);
    EXPECT_NE(settings.c_iflag & IXOFF, 0u);
    EXPECT_EQ(settings.c_iflag & IXON, 0u);
    EXPECT_EQ(settings.c_lflag & ICANON, 0u);
    // A pseudo-terminal drops the parity bit itself, so parity is not
    // looked at here.

    const DCB back = currentDcb();
    EXPECT_EQ(back.BaudRate, 9600u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fParity, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.fOutX, 0u);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(back.XonLim, 123);
    EXPECT_EQ(back.EvtChar, 'E');
    EXPECT_EQ(back.fDummy2, 0x5A5Au);

    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(slaveSettings().c_cflag & (CRTSCTS | CSTOPB), 0u);
}

TEST_F(HostTty, RateOutsideTheTableGoesThroughTermios2) {
    DCB dcb = currentDcb();
    dcb.BaudRate = 12345;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_EQ(currentDcb().BaudRate, 12345u);

    dcb.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(currentDcb().BaudRate, 19200u);
    const termios settings = slaveSettings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B19200));
}

TEST_F(HostTty, SettingsTheLineCannotTakeAreRefusedAndChangeNothing) {
    DCB good = currentDcb();
    good.BaudRate = 4800;
    good.ByteSize = 8;
    good.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &good));
    for (int variant = 0; variant < 5; ++variant) {
        DCB bad = good;
        bad.StopBits = TWOSTOPBITS;  // acceptable, but must not be applied
        if (variant == 0) bad.BaudRate = 0;
        if (variant == 4) bad.BaudRate = 0xFFFFFFFF;  // a rate of -1 from Java
        if (variant == 1) bad.ByteSize = 9;
        if (variant == 2) bad.StopBits = ONE5STOPBITS;
        if (variant == 3) bad.Parity = 7;
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port, &bad)) << variant;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    const DCB now = currentDcb();
    EXPECT_EQ(now.BaudRate, 4800u);
    EXPECT_EQ(now.StopBits, ONESTOPBIT);
}

TEST_F(HostTty, QueuedBytesAreReturnedAtOnce) {
    masterWrite("abc");
    ASSERT_EQ(waitForQueued(3), 3u);
    setTimeouts(MAXDWORD, MAXDWORD, 1000);
    char buffer[10] = {};
    DWORD read = 0;
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    EXPECT_LT(millisecondsSince(start), 500);
    EXPECT_EQ(std::string(buffer, read), "abc");
}

TEST_F(HostTty, ReadWithNothingQueuedSucceedsEmptyAfterTheConstant) {
    setTimeouts(MAXDWORD, MAXDWORD, 200);
    char buffer[10];
    DWORD read = 99;
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr)) << GetLastError();
    EXPECT_EQ(read, 0u);
    EXPECT_GE(millisecondsSince(start), 190);
    EXPECT_LT(millisecondsSince(start), 2000);

    setTimeouts(MAXDWORD, 0, 0);  // only what is queued: at once
    const Clock::time_point again = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_LT(millisecondsSince(again), 150);
}

TEST_F(HostTty, ByteArrivingDuringTheWaitEndsItPromptly) {
    setTimeouts(MAXDWORD, MAXDWORD, 5000);
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        masterWrite("x");
    });
    char buffer[10];
    DWORD read = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    sender.join();
    EXPECT_EQ(read, 1u);
    EXPECT_LT(millisecondsSince(start), 2500);
}

TEST_F(HostTty, ReadWithoutTimeoutsWaitsForTheWholeCount) {
    setTimeouts(0, 0, 0);
    std::thread sender([this] {
        masterWrite("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        masterWrite("cd");
    });
    char buffer[4];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    sender.join();
    EXPECT_EQ(std::string(buffer, read), "abcd");
}

TEST_F(HostTty, QueueSizeAndPurge) {
    masterWrite("0123456789ABCDEFG");
    EXPECT_EQ(waitForQueued(17), 17u);
    DWORD errors = 1;
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.cbInQue, 17u);

    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    ASSERT_TRUE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    setTimeouts(MAXDWORD, 0, 0);
    char buffer[32];
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
}

TEST_F(HostTty, WrittenBytesReachTheFarEnd) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(masterRead(5), "hello");
}

TEST_F(HostTty, WriteThatCannotFinishSucceedsWithWhatWasSent) {
    setTimeouts(0, 0, 0, 0, 200);
    std::string big(4 << 20, 'x');  // far more than the terminal buffers
    DWORD written = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
    EXPECT_LT(written, big.size());
    EXPECT_GE(millisecondsSince(start), 190);
    EXPECT_LT(millisecondsSince(start), 3000);
}

TEST_F(HostTty, HangUpIsAnErrorNotSilence) {
    closeMaster();
    setTimeouts(MAXDWORD, MAXDWORD, 100);
    char buffer[8];
    DWORD read = 0;
    COMSTAT status{};
    EXPECT_FALSE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WriteFile(port, "x", 1, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(HostTty, HangUpDuringAReadEndsIt) {
    setTimeouts(0, 0, 0);
    std::thread hangUp([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closeMaster();
    });
    char buffer[8];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    hangUp.join();
}

// Runs a blocking ReadFile on another thread; its outcome, once it ended.
struct BackgroundRead {
    std::atomic<bool> done{false};
    BOOL result = TRUE;
    DWORD error = 0;
};

std::shared_ptr<BackgroundRead> startBlockingRead(HANDLE port) {
    auto outcome = std::make_shared<BackgroundRead>();
    std::thread([port, outcome] {
        char buffer[16];
        DWORD read = 0;
        outcome->result = ReadFile(port, buffer, sizeof buffer, &read, nullptr);
        outcome->error = GetLastError();
        outcome->done = true;
    }).detach();  // a read that never ends must not hang the test
    return outcome;
}

bool finishesWithin(const BackgroundRead& outcome, int milliseconds) {
    const Clock::time_point start = Clock::now();
    while (!outcome.done && millisecondsSince(start) < milliseconds)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return outcome.done;
}

TEST_F(HostTty, CloseHandleWakesAReadInProgress) {
    setTimeouts(0, 0, 0);
    auto outcome = startBlockingRead(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(outcome->done);
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(finishesWithin(*outcome, 3000));
    EXPECT_FALSE(outcome->result);
    EXPECT_EQ(outcome->error, ERROR_INVALID_HANDLE);
    // The port is free again at once.
    port = openPort(u"COM7:");
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(HostTty, ReadAbortEndsOnlyTheReadInProgress) {
    setTimeouts(0, 0, 0);
    auto outcome = startBlockingRead(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    ASSERT_TRUE(finishesWithin(*outcome, 3000));
    EXPECT_FALSE(outcome->result);
    EXPECT_EQ(outcome->error, ERROR_OPERATION_ABORTED);

    // An abort with no read inside leaves later reads alone.
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    setTimeouts(MAXDWORD, MAXDWORD, 2000);
    masterWrite("z");
    char buffer[4];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr)) << GetLastError();
    EXPECT_EQ(read, 1u);
}

TEST_F(HostTty, ModemLinesAndBreak) {
    EXPECT_TRUE(EscapeCommFunction(port, SETBREAK));
    EXPECT_TRUE(EscapeCommFunction(port, CLRBREAK));
    // A pseudo-terminal has no DTR; the call says so instead of pretending.
    EXPECT_FALSE(EscapeCommFunction(port, SETDTR));
    EXPECT_TRUE(GetLastError() == ERROR_NOT_SUPPORTED || GetLastError() == ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(HostTty, CallsOnWrongOrClosedHandlesFail) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DCB dcb{};
    COMSTAT status{};
    EXPECT_FALSE(GetCommState(event, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ClearCommError(event, nullptr, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    char byte = 0;
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(event, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(event);

    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(port, &byte, 1, &count, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(CloseHandle(port));
    EXPECT_FALSE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PurgeComm(port, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    port = INVALID_HANDLE_VALUE;
}

}  // namespace

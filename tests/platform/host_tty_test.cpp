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
#include "line_settings.h"
#include "wince.h"

using namespace host_tty;

namespace {

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

// What GetCommState gives back is the device contract's; here, what the
// line itself is told.
TEST_F(HostTty, CommStateReachesTheTermios) {
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

    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(slaveSettings().c_cflag & (CRTSCTS | CSTOPB), 0u);
}

// A UART sends one and a half stop bits when told CSTOPB with 5-bit
// characters, so that is what 1.5 stop bits become, and read back as.
TEST_F(HostTty, OneAndAHalfStopBitsAreCstopbWithFiveBits) {
    DCB dcb = currentDcb();
    dcb.ByteSize = 5;
    dcb.StopBits = ONE5STOPBITS;
    termios settings{};
    wince::applyLineSettings(settings, dcb);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    DCB back = dcb;
    back.StopBits = ONESTOPBIT;
    wince::readLineSettings(settings, back);
    EXPECT_EQ(back.ByteSize, 5);
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);

    settings.c_cflag = (settings.c_cflag & ~CSIZE) | CS8;
    wince::readLineSettings(settings, back);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);

    // The pseudo-terminal keeps its 8 bits but takes the stop bits.
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_NE(slaveSettings().c_cflag & CSTOPB, 0u);
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

// A pseudo-terminal has no DTR or RTS; the calls say so instead of pretending.
TEST_F(HostTty, ModemLinesAreRefusedNotPretended) {
    for (const DWORD function : {SETDTR, CLRDTR, SETRTS, CLRRTS}) {
        SetLastError(0);
        EXPECT_FALSE(EscapeCommFunction(port, function)) << function;
        EXPECT_TRUE(GetLastError() == ERROR_NOT_SUPPORTED || GetLastError() == ERROR_INVALID_PARAMETER)
            << GetLastError();
    }
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

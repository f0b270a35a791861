// The serial device and the port library against the kernel's own drivers,
// in the QEMU guest (tests/drivers/run.sh). The port under test and a far
// port are joined: what one sends the other receives. Environment:
//   DRIVER_PORT       the port under test, opened as "COM1:"
//   DRIVER_FAR_PORT   the port joined to it
//   DRIVER_KIND       uart (8250/16550) or ftdi (ftdi_sio)
//   DRIVER_SIM        instrument-sim, run on the far port
//   DRIVER_USB        the adapter's sysfs folder (ftdi only): unplug, re-plug
//   DRIVER_BREAK_PORT another 16550 that takes a break every 200 ms (uart
//                     only), opened as "COM2:"
// Every one is required: without them each test fails, none passes vacuously.
// Lock files go to WINCE_LOCK_DIR, else to a folder of the run's own.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <linux/serial.h>

#include "exchange.h"
#include "port_list.h"
#include "port_map.h"
#include "port_table.h"
#include "seams.h"
#include "serial_discovery.h"
#include "utf16.h"
#include "wince.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

const std::string kPort = env("DRIVER_PORT");
const std::string kFar = env("DRIVER_FAR_PORT");
const std::string kKind = env("DRIVER_KIND");
const std::string kSim = env("DRIVER_SIM");
const std::string kUsb = env("DRIVER_USB");
const std::string kBreakPort = env("DRIVER_BREAK_PORT");

bool isFtdi() { return kKind == "ftdi"; }

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool waitFor(const std::string& path, bool present, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if ((access(path.c_str(), F_OK) == 0) == present) return true;
        sleepMs(20);
    }
    return false;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    ASSERT_TRUE(file.good()) << path;
}

// A raw descriptor on a port, beside the one the library holds.
class RawPort {
public:
    explicit RawPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios settings{};
        if (fd_ >= 0 && tcgetattr(fd_, &settings) == 0) {
            cfmakeraw(&settings);
            settings.c_cflag |= CLOCAL | CREAD;
            tcsetattr(fd_, TCSANOW, &settings);
        }
    }
    ~RawPort() {
        if (fd_ >= 0) close(fd_);
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;
    int fd() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

    std::string readFor(size_t count, int ms) {
        std::string got;
        const auto start = Clock::now();
        while (got.size() < count && Clock::now() - start < std::chrono::milliseconds(ms)) {
            char buffer[256];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, size_t(n));
            else
                sleepMs(5);
        }
        return got;
    }

private:
    int fd_;
};

// instrument-sim on the far port for the life of the object.
class Instrument {
public:
    explicit Instrument(const std::string& family, const std::vector<std::string>& extra = {}) {
        int input[2];
        int output[2];
        // Close-on-exec: the child keeps only its own ends, or its stdin
        // would never close.
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(input[0], 0);
            dup2(output[1], 1);
            std::vector<std::string> args{kSim, "--family", family, "--device", kFar};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        alive_ = input[1];
        // The first line (the device path) says it is listening.
        char ch = 0;
        while (read(output[0], &ch, 1) == 1 && ch != '\n') ready_ = true;
        close(output[0]);
    }
    ~Instrument() {
        if (alive_ >= 0) close(alive_);  // its stdin closes: it ends
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    int alive_ = -1;
    bool ready_ = false;
};

HANDLE openCom(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

HANDLE openCom1() { return openCom(u"COM1:"); }

// The driver's count of breaks received on the port behind `fd`.
int breakCount(int fd) {
    serial_icounter_struct counts{};
    EXPECT_EQ(0, ioctl(fd, TIOCGICOUNT, &counts)) << "no line counters";
    return counts.brk;
}

class RealDriver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(kPort.empty() || kFar.empty() || kSim.empty())
            << "DRIVER_PORT, DRIVER_FAR_PORT, DRIVER_SIM";
        ASSERT_TRUE(kKind == "uart" || kKind == "ftdi") << "DRIVER_KIND: " << kKind;
        ASSERT_EQ(0, access(kPort.c_str(), F_OK)) << kPort;
        ASSERT_EQ(0, access(kFar.c_str(), F_OK)) << kFar;
        // Every open of a real port raises DTR and RTS, so the lines are
        // watched through a descriptor opened before the library's.
        monitor = std::make_unique<RawPort>(kPort);
        ASSERT_GE(monitor->fd(), 0);
        // Only a real driver counts: a pseudo-terminal refuses modem lines.
        int lines = 0;
        ASSERT_EQ(0, ioctl(monitor->fd(), TIOCMGET, &lines)) << kPort << " is no real port";
    }
    void TearDown() override {
        for (int32_t i = 0; i < kPortCount; ++i) {
            if (portTable[i].hPort.load() != nullptr) closePort(i);
        }
    }

    termios line() {
        termios settings{};
        EXPECT_EQ(0, tcgetattr(monitor->fd(), &settings));
        return settings;
    }

    int modemLines() {
        int lines = 0;
        EXPECT_EQ(0, ioctl(monitor->fd(), TIOCMGET, &lines));
        return lines;
    }

    std::unique_ptr<RawPort> monitor;

    static ResultCode openFamily(InstrumentFamily family, int32_t& index, uint32_t rate = 9600) {
        LineSettings settings = familySettings(family, rate);
        std::u16string(u"COM1:").copy(settings.portName, kPortNameUnits - 1);
        return openPort(settings, &index);
    }

    static ResultCode exchange(int32_t index, const Bytes& command, Bytes& reply) {
        ResultCode result = sendMessage(index, command.data(), int32_t(command.size()));
        if (result != 0) return result;
        reply.assign(64, 0);
        int32_t length = 0;
        result = receiveReply(index, reply.data(), int32_t(reply.size()), &length);
        reply.resize(result == 0 ? size_t(length) : 0);
        return result;
    }
};

// The device contract on a real port.
class RealDevice : public RealDriver {
protected:
    void SetUp() override {
        RealDriver::SetUp();
        if (HasFatalFailure()) return;
        port = openCom1();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1000, 0, 2000};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port));
        }
        if (breakPort != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(breakPort));
        }
        RealDriver::TearDown();
    }
    DCB state() {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(port, &dcb));
        return dcb;
    }
    DWORD queuedAfterWait(DWORD count) {
        COMSTAT status{};
        for (int waited = 0; waited < 3000; waited += 10) {
            DWORD errors = 0;
            EXPECT_TRUE(ClearCommError(port, &errors, &status));
            if (status.cbInQue >= count) break;
            sleepMs(10);
        }
        return status.cbInQue;
    }

    // A call is judged only where the break count stood still across it,
    // so that the count the library read is known. Calls come every 20 ms,
    // between breaks 200 ms apart: most must show none.
    void expectEachBreakShownOnce() {
        RawPort counter(kBreakPort);  // before the library's open, as the monitor
        ASSERT_GE(counter.fd(), 0) << kBreakPort;
        const int atOpen = breakCount(counter.fd());
        breakPort = openCom(u"COM2:");
        ASSERT_NE(INVALID_HANDLE_VALUE, breakPort) << kBreakPort << ": " << GetLastError();
        std::optional<int> seen;  // the count the library last read, when known
        if (breakCount(counter.fd()) == atOpen) seen = atOpen;
        int shown = 0;
        int quietAfterShown = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(8);
        while ((shown < 3 || quietAfterShown < 3) && Clock::now() < deadline) {
            const int before = breakCount(counter.fd());
            DWORD errors = 0;
            ASSERT_TRUE(ClearCommError(breakPort, &errors, nullptr)) << GetLastError();
            const int after = breakCount(counter.fd());
            const bool reported = errors & CE_BREAK;
            if (before == after && seen) {
                ASSERT_EQ(after != *seen, reported)
                    << "the driver's break count went from " << *seen << " to " << after;
                if (reported) {
                    ++shown;
                } else if (shown > 0) {
                    ++quietAfterShown;
                }
            }
            seen = before == after ? std::optional<int>(after) : std::nullopt;
            sleepMs(20);
        }
        EXPECT_GE(shown, 3) << "breaks reported on " << kBreakPort << " in 8 s; the driver counted "
                            << breakCount(counter.fd()) - atOpen << " since the open";
        EXPECT_GE(quietAfterShown, 3);
    }

    void expectFarBreakShownOnce() {
        const int breaksBefore = breakCount(monitor->fd());
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
        ASSERT_EQ(0u, errors & CE_BREAK);
        {
            RawPort far(kFar);
            ASSERT_GE(far.fd(), 0);
            ASSERT_EQ(0, tcsendbreak(far.fd(), 0));
            sleepMs(300);
        }
        ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
        if (breakCount(monitor->fd()) == breaksBefore) {
            EXPECT_EQ(0u, errors & CE_BREAK) << "a break reported that the driver never counted";
            GTEST_SKIP() << "no break reached " << kPort
                         << ": the emulated line between the ports carries none";
        }
        EXPECT_EQ(DWORD(CE_BREAK), errors & CE_BREAK);
        // Reported once.
        ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
        EXPECT_EQ(0u, errors & CE_BREAK);
    }

    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE breakPort = INVALID_HANDLE_VALUE;  // COM2:, where breaks arrive
};

TEST_F(RealDevice, BytesCrossTheLineBothWays) {
    RawPort far(kFar);
    ASSERT_GE(far.fd(), 0);
    const std::string out = "from the port under test";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, out.data(), DWORD(out.size()), &written, nullptr)) << GetLastError();
    EXPECT_EQ(out.size(), written);
    EXPECT_EQ(out, far.readFor(out.size(), 3000));

    const std::string in = "from the far end";
    ASSERT_EQ(ssize_t(in.size()), write(far.fd(), in.data(), in.size()));
    EXPECT_EQ(in.size(), queuedAfterWait(DWORD(in.size())));
    char buffer[64] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr)) << GetLastError();
    EXPECT_EQ(in, std::string(buffer, got));
}

TEST_F(RealDevice, ReadTimesOutWithNothingAndSuccess) {
    char buffer[8];
    DWORD got = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr)) << GetLastError();
    EXPECT_EQ(0u, got);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(RealDevice, PurgeDropsQueuedInput) {
    RawPort far(kFar);
    ASSERT_EQ(5, write(far.fd(), "stale", 5));
    ASSERT_EQ(5u, queuedAfterWait(5));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(0u, status.cbInQue);
}

// The errno of an open of the port by an unprivileged process (0: opened).
// The node is opened to everyone for the while, so that only TIOCEXCL can
// refuse it.
int openAsNobody(const std::string& path) {
    struct stat before {};
    if (stat(path.c_str(), &before) != 0 || chmod(path.c_str(), 0666) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(child, &status, 0);
    chmod(path.c_str(), before.st_mode & 07777);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string lockFilePath() {
    const char* folder = std::getenv("WINCE_LOCK_DIR");
    char* real = realpath(kPort.c_str(), nullptr);
    std::string device = real ? real : kPort;
    free(real);
    return std::string(folder ? folder : "") + "/LCK.." + device.substr(device.rfind('/') + 1);
}

std::string readText(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST_F(RealDevice, OpenIsExclusiveUntilClosed) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, openCom1());
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    // Another program's flock on the device is refused too.
    const int other = open(kPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_NE(0, flock(other, LOCK_EX | LOCK_NB));
    close(other);
    // The driver holds the port exclusive (root passes TIOCEXCL, so it is
    // asked, and an unprivileged opener is refused).
    int exclusive = 0;
    ASSERT_EQ(0, ioctl(monitor->fd(), TIOCGEXCL, &exclusive));
    EXPECT_EQ(1, exclusive);
    EXPECT_EQ(EBUSY, openAsNobody(kPort));
    // The UUCP lock file names this process.
    const std::string lock = lockFilePath();
    char owner[16];
    std::snprintf(owner, sizeof owner, "%10d\n", int(getpid()));
    EXPECT_EQ(owner, readText(lock)) << lock;

    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    ASSERT_EQ(0, ioctl(monitor->fd(), TIOCGEXCL, &exclusive));
    EXPECT_EQ(0, exclusive);
    EXPECT_EQ(0, openAsNobody(kPort));
    EXPECT_NE(0, access(lock.c_str(), F_OK)) << lock << " left behind";
    port = openCom1();
    EXPECT_NE(INVALID_HANDLE_VALUE, port) << GetLastError();
}

// A break arriving shows once in ClearCommError's mask: in the first call
// after the driver's own break count moved, and in no other. The 16550 run
// watches the port that takes a break every 200 ms. The adapter's run has
// only the far port to send one, over an emulated line that carries none:
// the driver's count then tells a line that carried no break (nothing to
// show) from a break the library missed.
TEST_F(RealDevice, BreakShowsInTheErrorMask) {
    if (!kBreakPort.empty()) {
        expectEachBreakShownOnce();
    } else {
        ASSERT_TRUE(isFtdi()) << "DRIVER_BREAK_PORT: the 16550 run needs the port that takes breaks";
        expectFarBreakShownOnce();
    }
}

TEST_F(RealDevice, ModemLinesAreSetAndReadBack) {
    ASSERT_TRUE(EscapeCommFunction(port, SETDTR)) << GetLastError();
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS)) << GetLastError();
    int lines = modemLines();
    EXPECT_TRUE(lines & TIOCM_DTR);
    EXPECT_FALSE(lines & TIOCM_RTS);
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR)) << GetLastError();
    ASSERT_TRUE(EscapeCommFunction(port, SETRTS)) << GetLastError();
    lines = modemLines();
    EXPECT_FALSE(lines & TIOCM_DTR);
    EXPECT_TRUE(lines & TIOCM_RTS);
}

TEST_F(RealDevice, SevenBitsEvenParityTwoStopBitsReadBack) {
    DCB dcb = state();
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.BaudRate = 2400;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    const termios settings = line();
    EXPECT_EQ(tcflag_t(CS7), settings.c_cflag & CSIZE);
    EXPECT_TRUE(settings.c_cflag & PARENB);
    EXPECT_FALSE(settings.c_cflag & PARODD);
    EXPECT_TRUE(settings.c_cflag & CSTOPB);
    EXPECT_EQ(speed_t(B2400), cfgetospeed(&settings));
    const DCB back = state();
    EXPECT_EQ(7, back.ByteSize);
    EXPECT_EQ(EVENPARITY, back.Parity);
    EXPECT_EQ(TWOSTOPBITS, back.StopBits);
    EXPECT_EQ(2400u, back.BaudRate);
}

// The driver takes these with success and makes another rate: the read-back
// must catch it, and the line must stay as it was.
TEST_F(RealDevice, RateTheDriverSubstitutesIsRefused) {
    const std::vector<DWORD> substituted =
        isFtdi() ? std::vector<DWORD>{4000000} : std::vector<DWORD>{250000, 3000000};
    for (DWORD rate : substituted) {
        DCB dcb = state();
        dcb.BaudRate = rate;
        EXPECT_FALSE(SetCommState(port, &dcb)) << rate;
        EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError()) << rate;
        EXPECT_EQ(115200u, state().BaudRate) << "after " << rate;
    }
}

TEST_F(RealDevice, NonStandardRateTheDriverMakesIsKept) {
    // 115200 / 5 on the 16550's clock; 3 MHz / 12 on the FTDI's.
    const DWORD rate = isFtdi() ? 250000 : 23040;
    DCB dcb = state();
    dcb.BaudRate = rate;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_EQ(rate, state().BaudRate);
}

// Each family's line as the driver holds it after the library opened it.
class FamilyLine : public RealDriver {};

TEST_F(FamilyLine, EachFamilyReadsBackFromTheDriver) {
    struct Expected {
        InstrumentFamily family;
        speed_t speed;
        bool even;
        bool dtr;
    };
    const Expected rows[] = {{InstrumentFamily::QTVv1, B1200, true, false},
                             {InstrumentFamily::QTVv2, B4800, false, true},
                             {InstrumentFamily::KELT3B, B19200, false, false},
                             {InstrumentFamily::VX9, B9600, false, false}};
    for (const Expected& row : rows) {
        SCOPED_TRACE(int(row.family));
        int32_t index = -1;
        ASSERT_EQ(0, openFamily(row.family, index, 1200));
        const termios settings = line();
        EXPECT_EQ(row.speed, cfgetospeed(&settings));
        EXPECT_EQ(row.even, bool(settings.c_cflag & PARENB));
        EXPECT_FALSE(settings.c_cflag & PARODD);
        EXPECT_EQ(tcflag_t(CS8), settings.c_cflag & CSIZE);
        EXPECT_FALSE(settings.c_cflag & CSTOPB);
        const int lines = modemLines();
        EXPECT_EQ(row.dtr, bool(lines & TIOCM_DTR));
        EXPECT_FALSE(lines & TIOCM_RTS);
        EXPECT_TRUE(closePort(index));
    }
}

TEST_F(FamilyLine, OpenAtARateTheDriverSubstitutesFailsAtConfiguration) {
    int32_t index = -1;
    EXPECT_EQ(ResultCode(ERROR_INVALID_PARAMETER),
              openFamily(InstrumentFamily::QTVv1, index, isFtdi() ? 4000000 : 250000));
    // As with every failed open, the slot keeps the port until it is closed.
    closePort(index);  // its result is the last event's close: none was made
    ASSERT_EQ(0, openFamily(InstrumentFamily::QTVv1, index, 9600));
    const termios settings = line();
    EXPECT_EQ(speed_t(B9600), cfgetospeed(&settings));
}

// A whole exchange per family, with instrument-sim on the far port.
class RealExchange : public RealDriver {};

TEST_F(RealExchange, EveryFamilyExchanges) {
    struct Case {
        InstrumentFamily family;
        const char* name;
        Bytes command;
        Bytes replyStart;
        size_t replyLength;
    };
    const Case cases[] = {
        {InstrumentFamily::QTVv1, "QTVv1", {0xAA, 0x41, 0x42, 0x33}, {0x41, 0x42, 0x33}, 3},
        {InstrumentFamily::QTVv2,
         "QTVv2",
         {0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21},
         {0x80, 0xF0, 0x10, 0x02, 0xE0},
         7},
        {InstrumentFamily::KELT3B, "KELT3B", {0x41, 0x42, 0x4B}, {0x5A, 0xA5}, 12},
        {InstrumentFamily::VX9, "VX9", {0x41, 0x42}, {0x00, 0x01, 0x02}, 13},
    };
    // Breaks keep arriving on the other 16550 meanwhile; they must not
    // disturb the exchanges.
    std::unique_ptr<RawPort> breaks;
    int breaksBefore = 0;
    if (!kBreakPort.empty()) {
        breaks = std::make_unique<RawPort>(kBreakPort);
        ASSERT_GE(breaks->fd(), 0) << kBreakPort;
        sleepMs(100);  // the breaks queued while the port was closed come in first
        breaksBefore = breakCount(breaks->fd());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Instrument instrument(c.name);
        ASSERT_TRUE(instrument.ready());
        int32_t index = -1;
        ASSERT_EQ(0, openFamily(c.family, index, 9600));
        for (int round = 0; round < 3; ++round) {
            Bytes reply;
            ASSERT_EQ(0, exchange(index, c.command, reply)) << "round " << round;
            EXPECT_EQ(c.replyLength, reply.size());
            EXPECT_TRUE(std::equal(c.replyStart.begin(), c.replyStart.end(), reply.begin()));
        }
        EXPECT_TRUE(closePort(index));
    }
    if (breaks) {
        EXPECT_LT(breaksBefore, breakCount(breaks->fd())) << "no break arrived during the exchanges";
    }
}

// Port discovery reads the real sysfs.
TEST(RealDiscovery, ListsBothPortsAndTheAdaptersIdentity) {
    ASSERT_EQ(0, access("/sys/class/tty/ttyS1", F_OK));
    ASSERT_EQ(0, access("/sys/class/tty/ttyS3", F_OK)) << "no ttyS entry without a UART to pass over";
    const auto ports = wince::discoverSerialPorts();
    bool uart = false;
    bool usb = false;
    for (const auto& port : ports) {
        EXPECT_NE("/dev/ttyS3", port.path) << "a ttyS entry without a UART";
        uart = uart || port.path == "/dev/ttyS1";
        if (port.path == "/dev/ttyUSB0") {
            usb = true;
            EXPECT_NE(std::string::npos, port.description.product.find("QEMU USB SERIAL"))
                << port.description.product;
            EXPECT_NE(std::string::npos, port.description.product.find("QEMU")) << port.description.product;
            EXPECT_EQ("TVX0001", port.description.serialNumber);
        }
    }
    EXPECT_TRUE(uart);
    EXPECT_TRUE(usb);
}

// The adapter pulled out in the middle of an exchange, then put back.
class Unplug : public RealDriver {
protected:
    void SetUp() override {
        RealDriver::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(isFtdi()) << "only the USB adapter can be unplugged";
        ASSERT_EQ(0, access((kUsb + "/authorized").c_str(), W_OK)) << kUsb;
    }
    void TearDown() override {
        RealDriver::TearDown();
        writeFile(kUsb + "/authorized", "1");
        EXPECT_TRUE(waitFor(kPort, true, 5000));
    }
};

// The COM number port discovery gives the port at `path`, 0 when unlisted.
DWORD discoveredComIndex(const std::string& path = kPort) {
    for (const auto& port : wince::discoverSerialPorts()) {
        if (port.path == path) return port.comIndex;
    }
    return 0;
}

void replug(const std::string& goneNode, const std::string& newNode) {
    writeFile(kUsb + "/authorized", "0");
    ASSERT_TRUE(waitFor(goneNode, false, 3000)) << goneNode << " still there";
    writeFile(kUsb + "/authorized", "1");
    ASSERT_TRUE(waitFor(newNode, true, 5000)) << newNode << " did not come";
}

// Whether EnumPortRS's registry walk over sysfs lists "COMn:". The walk
// lists the WINCE_DEVICES mapping instead, which is read once per process:
// a map with no mapping given stands in for it during the walk.
bool registryLists(DWORD comIndex) {
    const std::u16string name = u"COM" + wince::utf16FromUtf8(std::to_string(comIndex)) + u":";
    wince::installPortMap(std::make_shared<const wince::PortMap>());
    bool listed = false;
    {
        std::lock_guard lock(portListLock);
        const int count = listSerialPorts();
        for (int i = 0; i < count; ++i) listed = listed || name == portList[i].portName;
    }
    wince::installPortMap(nullptr);
    return listed;
}

TEST_F(Unplug, ExchangeEndsAtOnceWithDeviceNotConnectedAndReplugKeepsTheComName) {
    monitor.reset();
    const DWORD comIndex = discoveredComIndex();
    ASSERT_NE(0u, comIndex) << kPort << " not discovered";
    EXPECT_TRUE(registryLists(comIndex)) << "COM" << comIndex << ":";
    // Held across the unplug, the old node keeps its minor number, so the
    // adapter comes back under a new node: its COM name must follow it.
    const std::string newNode = kPort.substr(0, kPort.size() - 1) + "1";
    RawPort holder(kPort);
    ASSERT_GE(holder.fd(), 0);
    int32_t index = -1;
    {
        Instrument silent("QTVv2", {"--silent"});
        ASSERT_TRUE(silent.ready());
        ASSERT_EQ(0, openFamily(InstrumentFamily::QTVv2, index));
        const auto timeout = std::chrono::milliseconds(portTable[index].timeoutMs);
        Clock::time_point unpluggedAt{};
        std::thread unplug([&unpluggedAt] {
            sleepMs(500);
            unpluggedAt = Clock::now();
            writeFile(kUsb + "/authorized", "0");
        });
        const Bytes command{0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21};
        Bytes reply;
        // The wait for the reply ends as the adapter goes, not after its time.
        EXPECT_EQ(ResultCode(ERROR_DEVICE_NOT_CONNECTED), exchange(index, command, reply));
        const auto ended = Clock::now();
        unplug.join();
        EXPECT_LT(ended - unpluggedAt, timeout / 2);
        EXPECT_EQ(ResultCode(ERROR_DEVICE_NOT_CONNECTED),
                  sendMessage(index, command.data(), int32_t(command.size())));
        EXPECT_TRUE(closePort(index));
    }
    EXPECT_TRUE(waitFor(kPort, false, 3000)) << kPort << " still there";
    int32_t again = -1;
    EXPECT_NE(0, openFamily(InstrumentFamily::QTVv2, again));
    EXPECT_EQ(0u, discoveredComIndex());

    writeFile(kUsb + "/authorized", "1");
    ASSERT_TRUE(waitFor(newNode, true, 5000)) << newNode << " did not come";
    EXPECT_EQ(comIndex, discoveredComIndex(newNode));
    EXPECT_TRUE(registryLists(comIndex)) << "COM" << comIndex << ": after the re-plug";

    // Let go of the old node and plug the adapter in once more: it is back
    // at its first node, under the same name, and a new open exchanges.
    close(holder.release());
    ASSERT_NO_FATAL_FAILURE(replug(newNode, kPort));
    EXPECT_EQ(comIndex, discoveredComIndex());
    Instrument instrument("QTVv2");
    ASSERT_TRUE(instrument.ready());
    ASSERT_EQ(0, openFamily(InstrumentFamily::QTVv2, again));
    Bytes reply;
    EXPECT_EQ(0, exchange(again, {0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21}, reply));
    EXPECT_EQ(7u, reply.size());
}

}  // namespace

int main(int argc, char** argv) {
    // The library reaches the ports by their handheld names.
    std::string devices = "COM1:=" + kPort;
    if (!kBreakPort.empty()) devices += ",COM2:=" + kBreakPort;
    setenv("WINCE_DEVICES", devices.c_str(), 1);
    // Lock files go to a folder of this run's own (the system's may be
    // read-only here).
    if (!std::getenv("WINCE_LOCK_DIR")) {
        char folder[] = "/tmp/driver-locks-XXXXXX";
        if (mkdtemp(folder)) setenv("WINCE_LOCK_DIR", folder, 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

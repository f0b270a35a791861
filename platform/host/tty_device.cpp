// A tty as a serial port. The descriptor stays non-blocking; a read or write
// that must wait does so in poll() together with a wake-up eventfd of its
// direction, so CloseHandle or PurgeComm(PURGE_RXABORT / PURGE_TXABORT) from
// another thread ends the wait at once. The descriptor is closed only after
// the last call inside the device has left (the object is shared), so a
// running call never meets a closed or reused descriptor.
#include "tty_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "comm_rules.h"
#include "line_settings.h"
#include "lock_file.h"
#include "open_failure.h"
#include "termios2.h"

namespace wince {
namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Longer timeouts than this count as none (and keep time arithmetic finite).
constexpr uint64_t kLongestTimeoutMs = uint64_t{1} << 40;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL failErrno(int error) { return fail(win32ErrorFromErrno(error)); }

// Milliseconds from now to `deadline`, rounded up, as poll() takes them.
int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

constexpr Clock::time_point kNever = Clock::time_point::max();

Clock::time_point deadlineAfter(uint64_t milliseconds) {
    if (milliseconds == 0 || milliseconds > kLongestTimeoutMs) return kNever;
    return Clock::now() + Milliseconds(milliseconds);
}

// How long poll() may wait for `deadline`: -1 for ever, 0 when it has passed.
int pollTimeout(Clock::time_point deadline) { return deadline == kNever ? -1 : millisecondsUntil(deadline); }

// When a read returns, by the platform's COMMTIMEOUTS rules.
class ReadDeadline {
public:
    ReadDeadline(const COMMTIMEOUTS& t, DWORD count) {
        const DWORD interval = t.ReadIntervalTimeout;
        const DWORD multiplier = t.ReadTotalTimeoutMultiplier;
        const DWORD constant = t.ReadTotalTimeoutConstant;
        if (interval == MAXDWORD && multiplier == MAXDWORD) {
            // The queued bytes at once, else the first to come within `constant`.
            returnOnFirstBytes_ = true;
            total_ = constant == 0 ? Clock::now() : deadlineAfter(constant);
        } else if (interval == MAXDWORD && multiplier == 0 && constant == 0) {
            total_ = Clock::now();  // only what is queued
        } else {
            total_ = deadlineAfter(uint64_t{multiplier} * count + constant);
            // MAXDWORD with total timeouts: the queued bytes at once, else
            // the count within the total, with no gap limit.
            if (interval == MAXDWORD)
                returnQueuedBytes_ = true;
            else
                interval_ = Milliseconds(interval);
        }
    }

    bool returnOnFirstBytes() const { return returnOnFirstBytes_; }
    // Whether bytes found queued before any wait end the read.
    bool returnQueuedBytes() const { return returnQueuedBytes_; }

    void bytesArrived() { lastByte_ = Clock::now(); }

    // How long poll() may wait: -1 for ever, 0 when the time is up. The gap
    // between bytes counts once the first byte came.
    int waitMs() const {
        const int untilTotal = pollTimeout(total_);
        if (interval_.count() == 0 || lastByte_ == Clock::time_point()) return untilTotal;
        const int untilGap = millisecondsUntil(lastByte_ + interval_);
        return untilTotal < 0 ? untilGap : std::min(untilTotal, untilGap);
    }

private:
    bool returnOnFirstBytes_ = false;
    bool returnQueuedBytes_ = false;
    Clock::time_point total_ = kNever;
    Milliseconds interval_{0};  // 0: no gap limit
    Clock::time_point lastByte_{};
};

// One direction's wake-up: PurgeComm's aborts count up, and the eventfd is
// signalled only while a transfer of that direction is inside (a signal
// nobody waits for would only cost the next transfer a spurious wake-up).
struct WakeChannel {
    int fd = -1;
    std::atomic<unsigned> aborts{0};
    std::atomic<int> transfers{0};

    void signal() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
    void drain() const {
        uint64_t count;
        [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
    }
    void abort() {
        ++aborts;
        if (transfers.load() > 0) signal();
    }
};

// A read or write in progress on a channel.
class Transfer {
public:
    explicit Transfer(WakeChannel& channel) : channel_(channel) {
        ++channel_.transfers;
        abortsAtStart_ = channel_.aborts.load();
    }
    ~Transfer() { --channel_.transfers; }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    WakeChannel& channel() const { return channel_; }
    bool aborted() const { return channel_.aborts.load() != abortsAtStart_; }

private:
    WakeChannel& channel_;
    unsigned abortsAtStart_;
};

struct UniqueFd {
    int fd;
    explicit UniqueFd(int value) : fd(value) {}
    ~UniqueFd() {
        if (fd >= 0) ::close(fd);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int release() { return std::exchange(fd, -1); }
};

class TtyDevice final : public CommDevice {
public:
    TtyDevice(int fd, int readWake, int writeWake, const termios& settings, std::string lockPath);
    ~TtyDevice() override;

    BOOL onClose() override;
    BOOL read(void* buffer, DWORD count, DWORD* done) override;
    BOOL write(const void* buffer, DWORD count, DWORD* done) override;
    BOOL setupComm(DWORD inQueue, DWORD outQueue) override;
    BOOL purge(DWORD flags) override;
    BOOL getState(DCB& dcb) override;
    BOOL setState(const DCB& dcb) override;
    BOOL escape(DWORD function) override;
    BOOL getTimeouts(COMMTIMEOUTS& timeouts) override;
    BOOL setTimeouts(const COMMTIMEOUTS& timeouts) override;
    BOOL clearError(DWORD* errors, COMSTAT* status) override;

private:
    enum class Wake { Ready, TimedOut, Closed, Aborted, HungUp };

    bool isOpen() const;
    bool isConnected() const;
    BOOL lineHungUp();
    BOOL failTransfer(int error);
    BOOL failWake(Wake wake);
    Wake waitFor(short events, int timeoutMs, const Transfer& transfer);
    COMMTIMEOUTS currentTimeouts();
    DWORD lineErrors();
    DWORD unsentOutput();
    DWORD applyLine(const termios& before, const DCB& dcb);
    void restoreLine(const termios& before, unsigned rateBefore);
    void driveModemLines(const DCB& dcb);
    BOOL setModemLine(unsigned long request, int line);

    const int fd_;
    const std::string lockPath_;  // the lock file this device took, or empty
    WakeChannel reads_;
    WakeChannel writes_;
    std::atomic<bool> closed_{false};
    std::atomic<bool> hungUp_{false};
    // Only this device writes to the port (it is opened exclusively), so an
    // output queue seen empty stays empty until a write begins: writes
    // begun, and that count when the queue was last seen empty with no write
    // under way (never, at open: an earlier owner may have left bytes).
    std::atomic<uint64_t> writesBegun_{0};
    std::atomic<uint64_t> outputSeenEmptyAt_{UINT64_MAX};
    std::mutex mutex_;  // guards dcb_, timeouts_, counts_
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    bool countsSupported_ = false;  // TIOCGICOUNT: real UARTs only
    serial_icounter_struct counts_{};
};

// What GetCommState gives back for the fields termios has no place for,
// until the caller sets them.
DCB initialDcb(const termios& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;  // Linux raises DTR and RTS on open
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    return dcb;
}

TtyDevice::TtyDevice(int fd, int readWake, int writeWake, const termios& settings, std::string lockPath)
    : fd_(fd), lockPath_(std::move(lockPath)), dcb_(initialDcb(settings)) {
    reads_.fd = readWake;
    writes_.fd = writeWake;
    // Only errors from now on are the caller's.
    countsSupported_ = ioctl(fd_, TIOCGICOUNT, &counts_) == 0;
}

TtyDevice::~TtyDevice() {
    ::close(fd_);
    ::close(reads_.fd);
    ::close(writes_.fd);
}

// Frees the port for the next open at once; the descriptor itself goes
// when the last call still inside has returned. The lock file goes before
// the flock, so an open in this process never finds a file naming it that
// a closing device is about to remove; TIOCEXCL outlives the descriptor on
// a pseudo-terminal whose master stays open, so it is lifted here.
BOOL TtyDevice::onClose() {
    closed_ = true;
    if (!lockPath_.empty()) releaseLockFile(lockPath_);
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    reads_.signal();
    writes_.signal();
    return TRUE;
}

bool TtyDevice::isOpen() const {
    if (!closed_) return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

bool TtyDevice::isConnected() const {
    if (!isOpen()) return false;
    if (!hungUp_) return true;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
}

// The far end is gone (a closed pseudo-terminal master, an unplugged
// adapter); every later transfer fails the same way.
BOOL TtyDevice::lineHungUp() {
    hungUp_ = true;
    return fail(ERROR_DEVICE_NOT_CONNECTED);
}

BOOL TtyDevice::failTransfer(int error) { return error == EIO ? lineHungUp() : failErrno(error); }

BOOL TtyDevice::failWake(Wake wake) {
    if (wake == Wake::Closed) return fail(ERROR_INVALID_HANDLE);
    if (wake == Wake::Aborted) return fail(ERROR_OPERATION_ABORTED);
    return lineHungUp();
}

TtyDevice::Wake TtyDevice::waitFor(short events, int timeoutMs, const Transfer& transfer) {
    WakeChannel& channel = transfer.channel();
    pollfd fds[2] = {{fd_, events, 0}, {channel.fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready < 0) return errno == EINTR ? Wake::Ready : Wake::TimedOut;
    if (ready == 0) return Wake::TimedOut;
    if (fds[1].revents) {
        if (closed_) return Wake::Closed;
        channel.drain();  // this transfer's abort, or one meant for an earlier one
        if (transfer.aborted()) return Wake::Aborted;
    }
    if (fds[0].revents & (POLLHUP | POLLERR)) return Wake::HungUp;
    return Wake::Ready;
}

COMMTIMEOUTS TtyDevice::currentTimeouts() {
    std::lock_guard lock(mutex_);
    return timeouts_;
}

BOOL TtyDevice::read(void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!isConnected()) return FALSE;
    if (count == 0) return TRUE;
    Transfer transfer(reads_);
    ReadDeadline deadline(currentTimeouts(), count);
    auto* bytes = static_cast<unsigned char*>(buffer);
    bool lineSaysHangUp = false;
    bool waited = false;
    for (;;) {
        const ssize_t n = ::read(fd_, bytes + *done, count - *done);
        if (n > 0) {
            *done += static_cast<DWORD>(n);
            if (*done == count || deadline.returnOnFirstBytes()) return TRUE;
            if (!waited && deadline.returnQueuedBytes()) return TRUE;
            deadline.bytesArrived();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // With VMIN 1 an empty line answers EAGAIN; 0 or EIO is a hang-up.
        // Bytes read before it are delivered, and the next call fails.
        if (n == 0 || errno == EIO || lineSaysHangUp) {
            if (*done == 0) return lineHungUp();
            hungUp_ = true;
            return TRUE;
        }
        if (errno != EAGAIN) return failErrno(errno);
        const Wake wake = waitFor(POLLIN, deadline.waitMs(), transfer);
        waited = true;
        if (wake == Wake::TimedOut) return TRUE;  // a timeout is not an error
        if (wake == Wake::HungUp)
            lineSaysHangUp = true;  // read what is left first
        else if (wake != Wake::Ready)
            return failWake(wake);
    }
}

// Bounded by WriteTotalTimeoutMultiplier * count + WriteTotalTimeoutConstant
// (0 and 0: no bound); when the time is up the write succeeds with the bytes
// sent so far, as on the platform.
BOOL TtyDevice::write(const void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    if (!isConnected()) return FALSE;
    if (count == 0) return TRUE;
    Transfer transfer(writes_);
    ++writesBegun_;  // after the transfer is counted: see unsentOutput()
    const COMMTIMEOUTS timeouts = currentTimeouts();
    const Clock::time_point deadline = deadlineAfter(uint64_t{timeouts.WriteTotalTimeoutMultiplier} * count +
                                                     timeouts.WriteTotalTimeoutConstant);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (*done < count) {
        const ssize_t n = ::write(fd_, bytes + *done, count - *done);
        if (n > 0) {
            *done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return failTransfer(errno);
        const Wake wake = waitFor(POLLOUT, pollTimeout(deadline), transfer);
        if (wake == Wake::TimedOut) return TRUE;
        if (wake != Wake::Ready) return failWake(wake);
    }
    return TRUE;
}

// The queues are the driver's own.
BOOL TtyDevice::setupComm(DWORD, DWORD) { return isOpen() ? TRUE : FALSE; }

BOOL TtyDevice::purge(DWORD flags) {
    if (!isOpen()) return FALSE;
    constexpr DWORD kKnown = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (flags & ~kKnown) return fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_RXABORT) reads_.abort();
    if (flags & PURGE_TXABORT) writes_.abort();
    const bool input = flags & PURGE_RXCLEAR;
    const bool output = flags & PURGE_TXCLEAR;
    if (!input && !output) return TRUE;
    const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return tcflush(fd_, queue) == 0 ? TRUE : failErrno(errno);
}

BOOL TtyDevice::getState(DCB& dcb) {
    if (!isOpen()) return FALSE;
    std::lock_guard lock(mutex_);
    termios settings;
    unsigned rate = 0;
    if (tcgetattr(fd_, &settings) != 0) return failErrno(errno);
    if (int error = getLineRate(fd_, &rate)) return failErrno(error);
    DCB state = dcb_;
    readLineSettings(settings, state);
    state.BaudRate = rate;
    dcb = state;
    return TRUE;
}

// Unix 98 pseudo-terminal slaves (the kernel's majors 136 to 143).
bool isPseudoTerminal(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    const unsigned majorNumber = major(info.st_rdev);
    return majorNumber >= 136 && majorNumber <= 143;
}

// tcsetattr fails with EINVAL when the line took none of what was asked. A
// pseudo-terminal never takes parity or a character size, so a request that
// differs from the line in those alone fails although the line is as it can
// be (reopening an even-parity port on the same pseudo-terminal).
bool holdsAllButFraming(int fd, const termios& wanted) {
    constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR;
    termios now;
    if (!isPseudoTerminal(fd) || tcgetattr(fd, &now) != 0) return false;
    return (now.c_cflag & ~kFraming) == (wanted.c_cflag & ~kFraming) && now.c_iflag == wanted.c_iflag &&
           now.c_oflag == wanted.c_oflag && now.c_lflag == wanted.c_lflag;
}

// The character size, parity and stop bits of a cflag (the parity's kind
// only when parity is on).
tcflag_t framingOf(tcflag_t cflag) {
    const tcflag_t parity = (cflag & PARENB) ? (cflag & (PARENB | PARODD | CMSPAR)) : 0;
    return (cflag & (CSIZE | CSTOPB)) | parity;
}

// tcsetattr succeeds when the driver took any part of a request: a driver
// without 5-bit characters quietly keeps 8. Such a line must not be reported
// as set. A pseudo-terminal, which keeps no framing at all, is let through.
bool tookFraming(int fd, const termios& wanted) {
    termios now;
    if (tcgetattr(fd, &now) != 0) return false;
    return framingOf(now.c_cflag) == framingOf(wanted.c_cflag) || isPseudoTerminal(fd);
}

// Framing, flow control and rate; 0 when the tty took the rate as asked,
// else the Win32 error. (A pseudo-terminal keeps 8 bits without parity
// whatever it is told, so only the rate is checked.)
DWORD TtyDevice::applyLine(const termios& before, const DCB& dcb) {
    termios wanted = before;
    applyLineSettings(wanted, dcb);
    const speed_t speed = standardSpeedFor(dcb.BaudRate);
    if (speed != B0) {
        cfsetispeed(&wanted, speed);
        cfsetospeed(&wanted, speed);
    }
    if (tcsetattr(fd_, TCSANOW, &wanted) != 0) {
        const int error = errno;
        if (error != EINVAL || !holdsAllButFraming(fd_, wanted)) return win32ErrorFromErrno(error);
    }
    if (!tookFraming(fd_, wanted)) return ERROR_INVALID_PARAMETER;
    if (speed == B0 && setCustomLineRate(fd_, dcb.BaudRate) != 0) return ERROR_INVALID_PARAMETER;
    unsigned rate = 0;
    if (getLineRate(fd_, &rate) != 0 || rate != dcb.BaudRate) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

void TtyDevice::restoreLine(const termios& before, unsigned rateBefore) {
    tcsetattr(fd_, TCSANOW, &before);
    if (rateBefore != 0 && standardSpeedFor(rateBefore) == B0) setCustomLineRate(fd_, rateBefore);
}

// The platform drives DTR and RTS from the DCB's control codes; devices
// without those lines (pseudo-terminals) are not an error here.
void TtyDevice::driveModemLines(const DCB& dcb) {
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) setModemLine(TIOCMBIS, TIOCM_DTR);
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE) setModemLine(TIOCMBIC, TIOCM_DTR);
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) setModemLine(TIOCMBIS, TIOCM_RTS);
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) setModemLine(TIOCMBIC, TIOCM_RTS);
}

// A setting the line cannot take leaves the line as it was.
BOOL TtyDevice::setState(const DCB& dcb) {
    if (!isOpen()) return FALSE;
    if (!isExpressible(dcb)) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(mutex_);
    termios before;
    unsigned rateBefore = 0;
    if (tcgetattr(fd_, &before) != 0) return failErrno(errno);
    if (int error = getLineRate(fd_, &rateBefore)) return failErrno(error);
    if (DWORD error = applyLine(before, dcb)) {
        restoreLine(before, rateBefore);
        return fail(error);
    }
    const DWORD savedError = GetLastError();
    dcb_ = dcb;
    driveModemLines(dcb);
    SetLastError(savedError);
    return TRUE;
}

BOOL TtyDevice::setModemLine(unsigned long request, int line) {
    return ioctl(fd_, request, &line) == 0 ? TRUE : failErrno(errno);
}

// Errors: ERROR_INVALID_PARAMETER for an unknown function; a line the device
// lacks gives ERROR_NOT_SUPPORTED (ENOTTY) or ERROR_INVALID_PARAMETER (EINVAL).
BOOL TtyDevice::escape(DWORD function) {
    if (!isOpen()) return FALSE;
    int result;
    switch (function) {
        case SETDTR: return setModemLine(TIOCMBIS, TIOCM_DTR);
        case CLRDTR: return setModemLine(TIOCMBIC, TIOCM_DTR);
        case SETRTS: return setModemLine(TIOCMBIS, TIOCM_RTS);
        case CLRRTS: return setModemLine(TIOCMBIC, TIOCM_RTS);
        case SETBREAK: result = ioctl(fd_, TIOCSBRK); break;
        case CLRBREAK: result = ioctl(fd_, TIOCCBRK); break;
        case SETXOFF: result = tcflow(fd_, TCOOFF); break;
        case SETXON: result = tcflow(fd_, TCOON); break;
        default: return fail(ERROR_INVALID_PARAMETER);
    }
    return result == 0 ? TRUE : failErrno(errno);
}

BOOL TtyDevice::getTimeouts(COMMTIMEOUTS& timeouts) {
    if (!isOpen()) return FALSE;
    timeouts = currentTimeouts();
    return TRUE;
}

BOOL TtyDevice::setTimeouts(const COMMTIMEOUTS& timeouts) {
    if (!isOpen()) return FALSE;
    if (!isAcceptableTimeouts(timeouts)) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
    return TRUE;
}

// Line errors since the last call, from the driver's interrupt counters.
DWORD TtyDevice::lineErrors() {
    if (!countsSupported_) return 0;
    std::lock_guard lock(mutex_);
    serial_icounter_struct now{};
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return 0;
    DWORD errors = 0;
    if (now.frame != counts_.frame) errors |= CE_FRAME;
    if (now.overrun != counts_.overrun) errors |= CE_OVERRUN;
    if (now.parity != counts_.parity) errors |= CE_RXPARITY;
    if (now.brk != counts_.brk) errors |= CE_BREAK;
    if (now.buf_overrun != counts_.buf_overrun) errors |= CE_RXOVER;
    counts_ = now;
    return errors;
}

// Bytes still in the output queue. The driver is asked only when a write
// may have added some since the queue was last seen empty; a write under way
// when the count is read keeps that answer from being remembered.
DWORD TtyDevice::unsentOutput() {
    const uint64_t writes = writesBegun_.load();
    const bool writing = writes_.transfers.load() > 0;
    if (!writing && writes == outputSeenEmptyAt_.load()) return 0;
    int unsent = 0;
    if (ioctl(fd_, TIOCOUTQ, &unsent) != 0) return 0;
    if (unsent == 0 && !writing) outputSeenEmptyAt_.store(writes);
    return static_cast<DWORD>(unsent);
}

// Polled every millisecond by the serial worker: one ioctl for the input
// queue (which also reveals a hang-up: it fails with EIO); the output queue
// costs a second one only while a write may have left bytes in it.
BOOL TtyDevice::clearError(DWORD* errors, COMSTAT* status) {
    if (!isConnected()) return FALSE;
    int queued = 0;
    if (ioctl(fd_, TIOCINQ, &queued) != 0) return failTransfer(errno);
    if (errors) *errors = lineErrors();
    if (status) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(queued);
        status->cbOutQue = unsentOutput();
    }
    return TRUE;
}

// The lock file taken during an open, removed again unless the open succeeds.
class PendingLockFile {
public:
    explicit PendingLockFile(const LockClaim& claim)
        : path_(claim.outcome == LockOutcome::Taken ? claim.lockPath : std::string()) {}
    ~PendingLockFile() {
        if (!path_.empty()) releaseLockFile(path_);
    }
    PendingLockFile(const PendingLockFile&) = delete;
    PendingLockFile& operator=(const PendingLockFile&) = delete;
    std::string keep() { return std::exchange(path_, std::string()); }

private:
    std::string path_;
};

std::shared_ptr<Device> failOpen(int osError, const std::string& path, DWORD& error) {
    noteOpenErrno(osError, path);
    error = win32ErrorFromErrno(osError);
    return nullptr;
}

std::shared_ptr<Device> refuseLockedPort(const LockClaim& claim, DWORD& error) {
    const std::string owner = claim.owner > 0 ? "process " + std::to_string(claim.owner) : "a process";
    const std::string name = claim.owner > 0 ? processName(claim.owner) : std::string();
    noteOpenFailure(
        owner + (name.empty() ? "" : " (" + name + ")") + " holds the lock file " + claim.lockPath,
        "close that program (a lock file whose process has ended is replaced)");
    error = ERROR_ACCESS_DENIED;
    return nullptr;
}

// Every alias of a device (a by-id link, a test's link) finds one lock file.
std::string realPathOf(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string real(resolved);
    free(resolved);
    return real;
}

}  // namespace

// Exclusive as Linux serial programs practise it: flock (keeps out root and
// this process too), the UUCP lock file (keeps out programs that honour
// it), and TIOCEXCL (keeps out every other opener but root).
std::shared_ptr<Device> openTtyDevice(const std::string& path, DWORD& error) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios settings;
    if (fd.fd < 0 || tcgetattr(fd.fd, &settings) != 0 || flock(fd.fd, LOCK_EX | LOCK_NB) != 0) {
        return failOpen(errno, path, error);
    }
    const LockClaim claim = claimLockFile(realPathOf(path));
    if (claim.outcome == LockOutcome::HeldElsewhere) return refuseLockedPort(claim, error);
    PendingLockFile lockFile(claim);
    makeRaw(settings);
    if (tcsetattr(fd.fd, TCSANOW, &settings) != 0) return failOpen(errno, path, error);
    UniqueFd readWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    UniqueFd writeWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (readWake.fd < 0 || writeWake.fd < 0) return failOpen(errno, path, error);
    auto device = std::make_shared<TtyDevice>(fd.fd, readWake.fd, writeWake.fd, settings, lockFile.keep());
    ioctl(fd.fd, TIOCEXCL);
    fd.release();
    readWake.release();
    writeWake.release();
    return device;
}

}  // namespace wince

// Simulated serial lines: the far end a test drives, the CommDevice that
// CreateFileW hands out for the near end, and the opener that maps device
// names to lines.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "comm_rules.h"
#include "device.h"
#include "seams.h"
#include "sim.h"
#include "sim_detail.h"

namespace wince::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using Responder = std::function<void(SimLine&, const Bytes&)>;

// When a ReadFile may return, from the COMMTIMEOUTS and the count asked for.
struct ReadRule {
    bool returnAtOnce = false;     // MAXDWORD, 0, 0
    bool firstByteEnough = false;  // MAXDWORD, MAXDWORD, c
    bool queuedEnough = false;     // MAXDWORD with other totals: bytes there at the start
    std::optional<milliseconds> total;
    std::optional<milliseconds> interval;

    static ReadRule from(const COMMTIMEOUTS& t, DWORD count) {
        ReadRule rule;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0) {
            rule.returnAtOnce = true;
            return rule;
        }
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD) {
            rule.firstByteEnough = true;
            rule.total = milliseconds(t.ReadTotalTimeoutConstant);
            return rule;
        }
        uint64_t totalMs = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
        if (totalMs != 0) rule.total = milliseconds(totalMs);
        if (t.ReadIntervalTimeout == MAXDWORD)
            rule.queuedEnough = true;
        else if (t.ReadIntervalTimeout != 0)
            rule.interval = milliseconds(t.ReadIntervalTimeout);
        return rule;
    }

    bool satisfied(size_t queued, DWORD count) const {
        if (returnAtOnce) return true;
        if (firstByteEnough) return queued > 0;
        return queued >= count;
    }

    std::optional<Clock::time_point> deadline(Clock::time_point start, Clock::time_point lastArrival,
                                              bool anyQueued) const {
        std::optional<Clock::time_point> end;
        if (total) end = start + *total;
        if (interval && anyQueued) {
            Clock::time_point gap = lastArrival + *interval;
            end = end ? std::min(*end, gap) : gap;
        }
        return end;
    }
};

bool lineEnabled(DWORD control) { return control != 0; }

class SimLineImpl final : public SimLine {
public:
    explicit SimLineImpl(std::u16string name) : name_(std::move(name)), dcb_(defaultDcb()) {}

    const std::u16string& name() const { return name_; }

    // --- near end, for SimDevice; `opening` names the device's opening ---

    std::optional<uint64_t> open(DWORD& error) {
        std::lock_guard lock(mutex_);
        if (hungUp_) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return std::nullopt;
        }
        if (open_) {
            error = ERROR_ACCESS_DENIED;
            return std::nullopt;
        }
        open_ = true;
        ++opening_;
        input_.clear();
        dtr_ = lineEnabled(dcb_.fDtrControl);
        rts_ = lineEnabled(dcb_.fRtsControl);
        return opening_;
    }

    void close(uint64_t opening) {
        std::lock_guard lock(mutex_);
        if (!open_ || opening != opening_) return;
        open_ = false;
        input_.clear();
        changed_.notify_all();
    }

    BOOL read(uint64_t opening, void* buffer, DWORD count, DWORD* done) {
        if (done) *done = 0;
        std::unique_lock lock(mutex_);
        if (!usable(opening)) return FALSE;
        if (count == 0) return TRUE;
        if (!holdRead(lock, opening) || !awaitInput(lock, opening, count)) return FALSE;
        DWORD taken = DWORD(std::min<size_t>(count, input_.size()));
        std::copy_n(input_.begin(), taken, static_cast<uint8_t*>(buffer));
        input_.erase(input_.begin(), input_.begin() + taken);
        if (done) *done = taken;
        return TRUE;
    }

    BOOL write(uint64_t opening, const void* buffer, DWORD count, DWORD* done) {
        if (done) *done = 0;
        DWORD delay = 0;
        {
            std::lock_guard lock(mutex_);
            if (!usable(opening)) return FALSE;
            writeCalls_.push_back(count);
            if (stalledWrites_ > 0) {
                --stalledWrites_;
                return TRUE;
            }
            delay = writeDelayMs_;
        }
        if (delay) std::this_thread::sleep_for(milliseconds(delay));
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        Bytes sent(bytes, bytes + count);
        Responder responder;
        {
            std::lock_guard lock(mutex_);
            if (!usable(opening)) return FALSE;
            written_.insert(written_.end(), sent.begin(), sent.end());
            responder = responder_;
        }
        if (done) *done = count;
        // The instrument answers outside the lock: it calls deliver().
        if (responder && !sent.empty()) responder(*this, sent);
        return TRUE;
    }

    BOOL setupComm(uint64_t opening, DWORD inQueue, DWORD outQueue) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        inQueue_ = inQueue;
        outQueue_ = outQueue;
        return TRUE;
    }

    BOOL purge(uint64_t opening, DWORD flags) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        purgeCalls_.push_back(flags);
        constexpr DWORD kKnown = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
        if (flags & ~kKnown) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (flags & PURGE_RXCLEAR) input_.clear();
        if (flags & PURGE_RXABORT) {
            ++readAborts_;
            changed_.notify_all();
        }
        return TRUE;
    }

    BOOL getState(uint64_t opening, DCB& dcb) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        dcb = dcb_;
        return TRUE;
    }

    BOOL setState(uint64_t opening, const DCB& dcb) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        if (!acceptable(dcb)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        dcb_ = dcb;
        return TRUE;
    }

    BOOL escape(uint64_t opening, DWORD function) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        escapeCalls_.push_back(function);
        switch (function) {
            case SETDTR: dtr_ = true; return TRUE;
            case CLRDTR: dtr_ = false; return TRUE;
            case SETRTS: rts_ = true; return TRUE;
            case CLRRTS: rts_ = false; return TRUE;
            case SETXON:
            case SETXOFF:
            case SETBREAK:
            case CLRBREAK: return TRUE;
            default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
        }
    }

    BOOL getTimeouts(uint64_t opening, COMMTIMEOUTS& timeouts) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        timeouts = timeouts_;
        return TRUE;
    }

    BOOL setTimeouts(uint64_t opening, const COMMTIMEOUTS& timeouts) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        if (!isAcceptableTimeouts(timeouts)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        timeouts_ = timeouts;
        return TRUE;
    }

    BOOL clearError(uint64_t opening, DWORD* errors, COMSTAT* status) {
        std::lock_guard lock(mutex_);
        if (!usable(opening)) return FALSE;
        if (errors) *errors = 0;
        if (status) {
            *status = COMSTAT{};
            status->cbInQue = DWORD(input_.size());
        }
        return TRUE;
    }

    // --- far end, for the test ---

    void deliver(const Bytes& bytes) override {
        std::lock_guard lock(mutex_);
        if (!open_ || hungUp_) return;
        input_.insert(input_.end(), bytes.begin(), bytes.end());
        changed_.notify_all();
    }

    Bytes takeWritten() override {
        std::lock_guard lock(mutex_);
        return std::exchange(written_, Bytes{});
    }

    void setResponder(Responder responder) override {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }

    std::vector<DWORD> writeCalls() override { return guarded(writeCalls_); }
    size_t inputQueued() override { return guarded(input_).size(); }
    bool isOpen() override { return guarded(open_); }
    DCB dcb() override { return guarded(dcb_); }
    COMMTIMEOUTS timeouts() override { return guarded(timeouts_); }
    bool dtr() override { return guarded(dtr_); }
    bool rts() override { return guarded(rts_); }
    std::vector<DWORD> escapeCalls() override { return guarded(escapeCalls_); }
    std::vector<DWORD> purgeCalls() override { return guarded(purgeCalls_); }
    DWORD setupInQueue() override { return guarded(inQueue_); }
    DWORD setupOutQueue() override { return guarded(outQueue_); }

    void refuseBaudRate(DWORD rate) override {
        std::lock_guard lock(mutex_);
        refusedRates_.insert(rate);
    }

    void stallWrites(int times) override {
        std::lock_guard lock(mutex_);
        stalledWrites_ = times;
    }

    void delayWrites(DWORD milliseconds) override {
        std::lock_guard lock(mutex_);
        writeDelayMs_ = milliseconds;
    }

    void delayReads(DWORD milliseconds) override {
        std::lock_guard lock(mutex_);
        readDelayMs_ = milliseconds;
    }

    void hangUp() override {
        std::lock_guard lock(mutex_);
        hungUp_ = true;
        changed_.notify_all();
    }

    // Drops the responder, which may hold the line itself.
    void forget() { setResponder(nullptr); }

private:
    template <class T>
    T guarded(const T& field) {
        std::lock_guard lock(mutex_);
        return field;
    }

    // Whether a call through the device of `opening` may go on; sets the
    // last error when not. Called with the lock held.
    bool usable(uint64_t opening) const {
        if (!open_ || opening != opening_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (hungUp_) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return false;
        }
        return true;
    }

    bool acceptable(const DCB& dcb) const {
        return isAcceptableLine(dcb) && !refusedRates_.count(dcb.BaudRate);
    }

    // A slow driver holds a read before it looks at the queue; false, with
    // the last error set, when a close, a hang-up or a purge ended the hold.
    bool holdRead(std::unique_lock<std::mutex>& lock, uint64_t opening) {
        if (readDelayMs_ == 0) return true;
        const uint64_t aborts = readAborts_;
        const Clock::time_point end = Clock::now() + milliseconds(readDelayMs_);
        while (Clock::now() < end) {
            changed_.wait_until(lock, end);
            if (!usable(opening)) return false;
            if (readAborts_ != aborts) {
                SetLastError(ERROR_OPERATION_ABORTED);
                return false;
            }
        }
        return true;
    }

    // Waits until a read of `count` bytes may return under the timeouts.
    // False, with the last error set, when the wait was ended by a close, a
    // hang-up or a purge.
    bool awaitInput(std::unique_lock<std::mutex>& lock, uint64_t opening, DWORD count) {
        const ReadRule rule = ReadRule::from(timeouts_, count);
        if (rule.queuedEnough && !input_.empty()) return true;
        const uint64_t aborts = readAborts_;
        const Clock::time_point start = Clock::now();
        Clock::time_point lastArrival = start;
        size_t seen = input_.size();
        while (!rule.satisfied(input_.size(), count)) {
            auto deadline = rule.deadline(start, lastArrival, !input_.empty());
            if (deadline && Clock::now() >= *deadline) break;
            if (deadline)
                changed_.wait_until(lock, *deadline);
            else
                changed_.wait(lock);
            if (!usable(opening)) return false;
            if (readAborts_ != aborts) {
                SetLastError(ERROR_OPERATION_ABORTED);
                return false;
            }
            if (input_.size() > seen) lastArrival = Clock::now();
            seen = input_.size();
        }
        return true;
    }

    const std::u16string name_;
    std::mutex mutex_;
    // Input arrived, or the opening was closed, hung up or its read aborted.
    std::condition_variable changed_;

    bool open_ = false;
    uint64_t opening_ = 0;
    bool hungUp_ = false;
    uint64_t readAborts_ = 0;

    std::deque<uint8_t> input_;
    Bytes written_;
    Responder responder_;
    std::vector<DWORD> writeCalls_;
    std::vector<DWORD> escapeCalls_;
    std::vector<DWORD> purgeCalls_;

    DCB dcb_;
    COMMTIMEOUTS timeouts_{};
    bool dtr_ = false;
    bool rts_ = false;
    DWORD inQueue_ = 0;
    DWORD outQueue_ = 0;

    std::set<DWORD> refusedRates_;
    int stalledWrites_ = 0;
    DWORD writeDelayMs_ = 0;
    DWORD readDelayMs_ = 0;
};

// The near end of one opening of a line.
class SimDevice final : public CommDevice {
public:
    SimDevice(std::shared_ptr<SimLineImpl> line, uint64_t opening)
        : line_(std::move(line)), opening_(opening) {}
    // An opening that never reached the handle table still frees the line.
    ~SimDevice() override { line_->close(opening_); }

    BOOL onClose() override {
        line_->close(opening_);
        return TRUE;
    }
    BOOL read(void* buffer, DWORD count, DWORD* done) override {
        return line_->read(opening_, buffer, count, done);
    }
    BOOL write(const void* buffer, DWORD count, DWORD* done) override {
        return line_->write(opening_, buffer, count, done);
    }
    BOOL setupComm(DWORD inQueue, DWORD outQueue) override {
        return line_->setupComm(opening_, inQueue, outQueue);
    }
    BOOL purge(DWORD flags) override { return line_->purge(opening_, flags); }
    BOOL getState(DCB& dcb) override { return line_->getState(opening_, dcb); }
    BOOL setState(const DCB& dcb) override { return line_->setState(opening_, dcb); }
    BOOL escape(DWORD function) override { return line_->escape(opening_, function); }
    BOOL getTimeouts(COMMTIMEOUTS& timeouts) override { return line_->getTimeouts(opening_, timeouts); }
    BOOL setTimeouts(const COMMTIMEOUTS& timeouts) override { return line_->setTimeouts(opening_, timeouts); }
    BOOL clearError(DWORD* errors, COMSTAT* status) override {
        return line_->clearError(opening_, errors, status);
    }

private:
    std::shared_ptr<SimLineImpl> line_;
    const uint64_t opening_;
};

char16_t asciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

bool sameDeviceName(std::u16string_view a, std::u16string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char16_t x, char16_t y) { return asciiUpper(x) == asciiUpper(y); });
}

struct LineRegistry {
    std::mutex mutex;
    std::vector<std::shared_ptr<SimLineImpl>> lines;
    std::atomic<bool> openerInstalled{false};
};

LineRegistry& registry() {
    static LineRegistry instance;
    return instance;
}

std::shared_ptr<SimLineImpl> findLine(std::u16string_view name) {
    LineRegistry& lines = registry();
    std::lock_guard lock(lines.mutex);
    for (const auto& line : lines.lines)
        if (sameDeviceName(line->name(), name)) return line;
    return nullptr;
}

std::shared_ptr<Device> openSimDevice(std::u16string_view name, DWORD& error) {
    std::shared_ptr<SimLineImpl> line = findLine(name);
    if (!line) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    std::optional<uint64_t> opening = line->open(error);
    if (!opening) return nullptr;
    return std::make_shared<SimDevice>(line, *opening);
}

}  // namespace

DCB defaultDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDummy2 = 0x15A5A;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

std::shared_ptr<SimLine> addLine(const std::u16string& name) {
    auto line = std::make_shared<SimLineImpl>(name);
    LineRegistry& lines = registry();
    std::shared_ptr<SimLineImpl> replaced;
    {
        std::lock_guard lock(lines.mutex);
        for (auto& registered : lines.lines)
            if (sameDeviceName(registered->name(), name)) replaced = std::exchange(registered, line);
        if (!replaced) lines.lines.push_back(line);
    }
    if (replaced) replaced->forget();
    // Outside our lock: the host calls the opener under its own.
    if (!lines.openerInstalled.exchange(true)) setDeviceOpener(openSimDevice);
    return line;
}

namespace detail {

void forgetLines() {
    LineRegistry& lines = registry();
    std::vector<std::shared_ptr<SimLineImpl>> forgotten;
    {
        std::lock_guard lock(lines.mutex);
        forgotten.swap(lines.lines);
    }
    for (const auto& line : forgotten) line->forget();
    if (lines.openerInstalled.exchange(false)) setDeviceOpener(nullptr);
}

}  // namespace detail
}  // namespace wince::sim

// bench-baseline: the plain C clients the library is measured against, on
// the same pseudo-terminal as the library.
//
//   bench-baseline blocking|polling TTY COUNT WARMUP OUT [STAMPS]
//       COUNT exchanges after WARMUP unrecorded ones; OUT receives each
//       exchange's time in ns, or, with the simulator's STAMPS file, each
//       reply's detection latency (end of the exchange minus the stamp).
//   bench-baseline twothread|twothread-wake TTY COUNT WARMUP OUT [STAMPS]
//       the design's two threads (a polling worker, a caller handing it
//       work) in plain C++, with the idle pause as designed or ending on a
//       request: what the hand-over itself costs.
//   bench-baseline idle SECONDS RESULTS
//       the polling client's idle loop (FIONREAD, 1 ms sleep) on a quiet
//       pseudo-terminal; its CPU time and wake-ups go to RESULTS.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench_support.h"

namespace {

constexpr int64_t kAfterWritePauseNs = 20000000;  // the design's 20 ms after a write
constexpr int64_t kPollPauseNs = 1000000;         // and its 1 ms polling pause
constexpr int kReplyTimeoutMs = 2000;
constexpr size_t kRxRoom = 512;

struct Reply {
    uint8_t bytes[kRxRoom];
    size_t count = 0;
    bool complete() const { return bench::completeFrameLength(bytes, count) != 0; }
};

bool sendCommand(int fd) {
    tcflush(fd, TCIFLUSH);  // a reply can only come after this command
    return write(fd, bench::kCommand, bench::kCommandLength) == ssize_t(bench::kCommandLength);
}

bool readQueued(int fd, Reply& reply, size_t wanted) {
    const ssize_t got = read(fd, reply.bytes + reply.count, std::min(wanted, kRxRoom - reply.count));
    if (got > 0) reply.count += size_t(got);
    return got >= 0 || errno == EAGAIN;
}

// Waits in poll() for each piece of the reply: the fastest a client can be.
bool blockingExchange(int fd) {
    if (!sendCommand(fd)) return false;
    Reply reply;
    while (!reply.complete()) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, kReplyTimeoutMs) <= 0) return false;
        if (!readQueued(fd, reply, kRxRoom)) return false;
    }
    return true;
}

// What the design does, in one thread: write, 20 ms, then ask for the
// queue size and read what is there every 1 ms until the frame is whole.
bool pollingExchange(int fd) {
    if (!sendCommand(fd)) return false;
    bench::sleepNs(kAfterWritePauseNs);
    Reply reply;
    const int64_t deadline = bench::monotonicNs() + int64_t{kReplyTimeoutMs} * 1000000;
    for (;;) {
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) != 0) return false;
        if (queued > 0 && !readQueued(fd, reply, size_t(queued))) return false;
        if (reply.complete()) return true;
        if (bench::monotonicNs() > deadline) return false;
        bench::sleepNs(kPollPauseNs);
    }
}

// The design's structure in plain C++: a worker thread that alone touches
// the device, polling it every 1 ms, and a caller that hands it a write and
// then waits for the frame, as EnvRS and RecRS do. With `wakeOnRequest` the
// idle pause ends when a write is requested; otherwise a request waits for
// the next poll, as in the design.
class TwoThreadModel {
public:
    TwoThreadModel(int fd, bool wakeOnRequest) : fd_(fd), wake_(wakeOnRequest), worker_([this] { run(); }) {}
    ~TwoThreadModel() {
        stop_ = true;
        worker_.join();
    }

    bool exchange() {
        handOver(writeRequested_);
        return handOver(replyWanted_);
    }

private:
    enum : int { IDLE, RAISED, DONE };

    bool handOver(std::atomic<int>& flag) {
        std::unique_lock lock(mutex_);
        flag = RAISED;
        if (&flag == &writeRequested_) workerWake_.notify_one();
        const bool done = callerWake_.wait_for(lock, std::chrono::milliseconds(kReplyTimeoutMs),
                                               [&] { return flag == DONE; });
        flag = IDLE;
        return done;
    }

    void finish(std::atomic<int>& flag) {
        {
            std::lock_guard lock(mutex_);
            flag = DONE;
        }
        callerWake_.notify_one();
    }

    int64_t cycle(Reply& reply) {
        if (writeRequested_ == RAISED) {
            tcflush(fd_, TCIFLUSH);
            [[maybe_unused]] ssize_t n = write(fd_, bench::kCommand, bench::kCommandLength);
            reply.count = 0;
            finish(writeRequested_);
            bench::sleepNs(kAfterWritePauseNs);
        }
        int queued = 0;
        if (ioctl(fd_, FIONREAD, &queued) != 0 || queued == 0) return kPollPauseNs;
        readQueued(fd_, reply, size_t(queued));
        if (replyWanted_ != RAISED) return kAfterWritePauseNs;
        if (!reply.complete()) return kPollPauseNs;
        reply.count = 0;
        finish(replyWanted_);
        return kAfterWritePauseNs;
    }

    void run() {
        Reply reply;
        while (!stop_) {
            const int64_t pause = cycle(reply);
            if (wake_ && pause == kPollPauseNs) {
                std::unique_lock lock(mutex_);
                workerWake_.wait_for(lock, std::chrono::nanoseconds(pause),
                                     [&] { return writeRequested_ == RAISED; });
            } else {
                bench::sleepNs(pause);
            }
        }
    }

    const int fd_;
    const bool wake_;
    std::atomic<bool> stop_{false};
    std::atomic<int> writeRequested_{IDLE};
    std::atomic<int> replyWanted_{IDLE};
    std::mutex mutex_;
    std::condition_variable callerWake_;
    std::condition_variable workerWake_;
    std::thread worker_;
};

enum class Client { Blocking, Polling, TwoThread, TwoThreadWake };

int runExchanges(Client client, const std::string& tty, int count, int warmup, const std::string& out,
                 const char* stampsPath) {
    const int fd = bench::openRawTty(tty);
    if (fd < 0) {
        std::perror(tty.c_str());
        return 1;
    }
    std::unique_ptr<TwoThreadModel> model;
    if (client == Client::TwoThread || client == Client::TwoThreadWake) {
        model = std::make_unique<TwoThreadModel>(fd, client == Client::TwoThreadWake);
    }
    std::vector<int64_t> durations, ends;
    for (int i = 0; i < warmup + count; ++i) {
        const int64_t start = bench::monotonicNs();
        const bool ok = model                       ? model->exchange()
                        : client == Client::Polling ? pollingExchange(fd)
                                                    : blockingExchange(fd);
        const int64_t end = bench::monotonicNs();
        if (!ok) {
            std::fprintf(stderr, "bench-baseline: exchange %d failed\n", i);
            return 1;
        }
        if (i >= warmup) {
            durations.push_back(end - start);
            ends.push_back(end);
        }
        bench::sleepNs(bench::kExchangeGapNs);
    }
    model.reset();
    close(fd);
    if (stampsPath == nullptr) return bench::writeSamples(out, durations) ? 0 : 1;
    std::vector<int64_t> lat = bench::latencies(ends, bench::lastStamps(stampsPath, ends.size()));
    if (lat.empty()) {
        std::fprintf(stderr, "bench-baseline: reply stamps missing in %s\n", stampsPath);
        return 1;
    }
    return bench::writeSamples(out, lat) ? 0 : 1;
}

int runIdle(int seconds, const std::string& results) {
    bench::Pty pty;
    if (!bench::openPty(pty)) {
        std::perror("bench-baseline: pseudo-terminal");
        return 1;
    }
    const int fd = bench::openRawTty(pty.slavePath);
    std::atomic<bool> stop{false};
    std::atomic<int> tid{0};
    std::atomic<int64_t> cycles{0};
    std::thread poller([&] {
        tid = bench::currentTid();
        bench::idlePollLoop(fd, stop, cycles);
    });
    bench::sleepNs(200000000);  // let it settle
    const bench::ThreadCost before = bench::threadCost(tid);
    const int64_t cyclesBefore = cycles;
    const int64_t start = bench::monotonicNs();
    bench::sleepNs(int64_t{seconds} * 1000000000);
    const bench::ThreadCost after = bench::threadCost(tid);
    const double elapsed = double(bench::monotonicNs() - start) / 1e9;
    const int64_t cyclesDone = cycles - cyclesBefore;
    stop = true;
    poller.join();
    bench::appendResult(results, "baseline.cpu_ns", double(after.cpuNs - before.cpuNs));
    bench::appendResult(results, "baseline.switches", double(after.switches - before.switches));
    bench::appendResult(results, "baseline.cycles", double(cyclesDone));
    bench::appendResult(results, "baseline.seconds", elapsed);
    return 0;
}

int usage() {
    std::fputs(
        "usage: bench-baseline blocking|polling|twothread|twothread-wake TTY COUNT WARMUP OUT [STAMPS]\n"
        "       bench-baseline idle SECONDS RESULTS\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "idle" && argc == 4) return runIdle(std::atoi(argv[2]), argv[3]);
    const Client client = mode == "polling"          ? Client::Polling
                          : mode == "twothread"      ? Client::TwoThread
                          : mode == "twothread-wake" ? Client::TwoThreadWake
                                                     : Client::Blocking;
    const bool exchangeMode =
        mode == "blocking" || mode == "polling" || mode == "twothread" || mode == "twothread-wake";
    if (exchangeMode && (argc == 6 || argc == 7)) {
        return runExchanges(client, argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5],
                            argc == 7 ? argv[6] : nullptr);
    }
    return usage();
}

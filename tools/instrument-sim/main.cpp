// instrument-sim: an instrument of one of the four families on a
// pseudo-terminal, for the demo and the Java tests. See options.cpp for the
// command line and replies.h for what it answers.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "chaos.h"
#include "options.h"
#include "pty_pair.h"
#include "replies.h"
#include "reply_timing.h"

namespace {

// A command is the bytes that arrive without a pause of this length: the
// library writes each message in one piece.
constexpr int kQuietMs = 5;
constexpr int kIdlePollMs = 100;
// Time the library gets to take the last reply before a hang-up.
constexpr int kHangupGraceMs = 100;

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;  // no SA_RESTART: poll and sleeps return early
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void sleepMs(int ms) {
    timespec left{ms / 1000, long(ms % 1000) * 1000000L};
    while (!stopRequested && nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

// Only a pipe or a socket can tell that the parent has gone; a terminal or
// /dev/null as stdin is left alone.
bool stdinTellsParentExit() {
    struct stat info {};
    return fstat(STDIN_FILENO, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

class TrafficLog {
public:
    explicit TrafficLog(const std::string& path)
        : file_(path.empty() ? nullptr : std::fopen(path.c_str(), "a")) {
        if (file_ != nullptr) setvbuf(file_, nullptr, _IOLBF, 0);
    }
    ~TrafficLog() {
        if (file_ != nullptr) std::fclose(file_);
    }
    TrafficLog(const TrafficLog&) = delete;
    TrafficLog& operator=(const TrafficLog&) = delete;

    bool failed(const std::string& path) const { return !path.empty() && file_ == nullptr; }

    void line(const char* what, const Bytes& bytes = {}) {
        if (file_ == nullptr) return;
        std::fputs(what, file_);
        for (uint8_t byte : bytes) std::fprintf(file_, " %02X", byte);
        std::fputc('\n', file_);
    }

private:
    FILE* file_;
};

class Simulator {
public:
    Simulator(const SimOptions& options, PtyPair& pty, TrafficLog& log)
        : options_(options), pty_(pty), log_(log) {}

    // Runs until a stop signal, the parent's exit or the hang-up.
    void run() {
        const bool watchStdin = stdinTellsParentExit();
        Bytes pending;
        while (!stopRequested && pty_.master >= 0) {
            pollfd fds[2] = {{pty_.master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            const int ready = poll(fds, watchStdin ? 2 : 1, pending.empty() ? kIdlePollMs : kQuietMs);
            if (ready < 0 && errno != EINTR) return;
            if (ready < 0) continue;
            if (watchStdin && fds[1].revents != 0 && !stdinStillOpen()) return;
            if (fds[0].revents & POLLIN) {
                if (!readInto(pending)) return;
                if (options_.eager && commandComplete(options_.family, pending)) {
                    answer(pending);
                    pending.clear();
                }
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                sleepMs(kIdlePollMs);  // nobody holds the slave: nothing to answer
            } else if (ready == 0 && !pending.empty()) {
                answer(pending);
                pending.clear();
            }
        }
    }

private:
    bool stdinStillOpen() {
        char discard[256];
        return read(STDIN_FILENO, discard, sizeof discard) > 0;
    }

    bool readInto(Bytes& pending) {
        uint8_t buffer[512];
        const ssize_t count = read(pty_.master, buffer, sizeof buffer);
        if (count < 0 && errno == EIO) {
            sleepMs(kIdlePollMs);  // the slave side hung up: wait for a new opening
            return true;
        }
        if (count < 0) return errno == EINTR || errno == EAGAIN;
        pending.insert(pending.end(), buffer, buffer + count);
        return true;
    }

    void answer(const Bytes& command) {
        // How the library set the line when it sent this command.
        log_.line(describeLineSettings(pty_).c_str());
        log_.line("rx", command);
        if (options_.hangupAfter >= 0 && replies_ >= options_.hangupAfter) {
            hangUp();
            return;
        }
        auto frame = replyTo(options_, command, replies_);
        if (!frame) return;
        if (chaos_) {
            answerChaotically(*frame, chaos_->plan(command, *frame));
            return;
        }
        sleepMs(options_.delayMs);
        pauseJitter(options_.delayJitterUs);
        Bytes bytes = garbageFor(options_.family, command, options_.garbage);
        bytes.insert(bytes.end(), frame->begin(), frame->end());
        sendInChunks(bytes);
        stamps_.save();
        log_.line("tx", bytes);
        if (++replies_ == options_.hangupAfter) {
            sleepMs(kHangupGraceMs);
            hangUp();
        }
    }

    // --chaos: what was meant and what was done, then the bytes as planned.
    void answerChaotically(const Bytes& frame, const ChaosPlan& plan) {
        ++replies_;
        log_.line(plan.describe().c_str());
        log_.line("meant", frame);
        if (!plan.sends()) return;
        const int64_t lastByteNs = playChaosPlan(
            plan, sleepMs, [this](const uint8_t* bytes, size_t count) { writeAll(bytes, count); });
        log_.line("tx", plan.wire);
        log_.line(("sent-at " + std::to_string(lastByteNs)).c_str());
    }

    void sendInChunks(const Bytes& bytes) {
        const size_t chunks = size_t(options_.chunks);
        const size_t chunkSize = (bytes.size() + chunks - 1) / chunks;
        for (size_t sent = 0; sent < bytes.size() && !stopRequested;) {
            if (sent > 0) sleepMs(options_.gapMs);
            const size_t count = std::min(chunkSize, bytes.size() - sent);
            if (sent + count == bytes.size()) stamps_.markLastByte();
            writeAll(bytes.data() + sent, count);
            sent += count;
        }
    }

    void writeAll(const uint8_t* bytes, size_t count) {
        while (count > 0) {
            const ssize_t written = write(pty_.master, bytes, count);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            bytes += written;
            count -= size_t(written);
        }
    }

    void hangUp() {
        log_.line("hangup");
        closePtyPair(pty_);
    }

    const SimOptions& options_;
    PtyPair& pty_;
    TrafficLog& log_;
    ReplyStamps stamps_{options_.stampPath};
    std::unique_ptr<Chaos> chaos_ = makeChaos(options_);
    int replies_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    switch (parseOptions(argc, argv, options)) {
        case ParseOutcome::Help: return 0;
        case ParseOutcome::Error: return 2;
        case ParseOutcome::Run: break;
    }
    installSignalHandlers();
    TrafficLog log(options.logPath);
    if (log.failed(options.logPath)) {
        std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, options.logPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    PtyPair pty;
    const bool opened = options.devicePath.empty() ? openPtyPair(pty) : openDevice(options.devicePath, pty);
    if (!opened) {
        std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name,
                     options.devicePath.empty() ? "pseudo-terminal" : options.devicePath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", pty.slavePath.c_str());
    std::fflush(stdout);
    Simulator(options, pty, log).run();
    closePtyPair(pty);
    return 0;
}

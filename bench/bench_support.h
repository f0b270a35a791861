// What every benchmark program shares: the clock, the exchange's command
// and reply, sample files, and the cost of threads as the kernel counts it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC, the clock that System.nanoTime reads on Linux, so that
// stamps of the simulator, the C++ programs and the JVM compare directly.
int64_t monotonicNs();

void sleepNs(int64_t ns);

// The exchange measured everywhere: a 6-byte QTVv2 command whose reply is a
// 7-byte frame (80 F0 10 02 E0 <sequence> <checksum>).
constexpr uint8_t kCommand[] = {0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21};
constexpr size_t kCommandLength = sizeof kCommand;
constexpr int kReplyLength = 7;

// Every client waits this long after an exchange before the next one. The
// design pauses its worker 20 ms after a recognised frame, so a request made
// sooner would wait for that pause; each exchange starts from an idle port.
constexpr int64_t kExchangeGapNs = 25000000;

// The length of the QTVv2 frame that starts `bytes`, once all of it is
// there; 0 before.
size_t completeFrameLength(const uint8_t* bytes, size_t count);

// One sample per line.
bool writeSamples(const std::string& path, const std::vector<int64_t>& samples);
std::vector<int64_t> readSamples(const std::string& path);

// The last `count` reply stamps of the simulator, waiting up to 2 s for
// them to be written (the stamp of a reply follows its last byte).
std::vector<int64_t> lastStamps(const std::string& path, size_t count);

// Detection latencies: each exchange's end minus its reply's stamp.
std::vector<int64_t> latencies(const std::vector<int64_t>& ends, const std::vector<int64_t>& stamps);

// A raw pseudo-terminal pair of our own, for idle measurements.
struct Pty {
    int master = -1;
    std::string slavePath;
};
bool openPty(Pty& pty);

// Opens a tty raw, non-blocking, as a plain C client would.
int openRawTty(const std::string& path);

// The kernel's account of one thread: time on a CPU and times it was
// switched out (each idle wake-up ends with one).
struct ThreadCost {
    int tid = 0;
    int64_t cpuNs = 0;
    int64_t switches = 0;
};
ThreadCost threadCost(int tid);
int currentTid();
// Every thread of this process except the calling one.
std::vector<int> otherThreads();

// The polling baseline's idle loop: ask the queue size (FIONREAD), sleep
// 1 ms, until `stop`; counts its cycles.
void idlePollLoop(int fd, const std::atomic<bool>& stop, std::atomic<int64_t>& cycles);

// "key=value" lines for the report.
void appendResult(const std::string& path, const std::string& key, double value);

}  // namespace bench

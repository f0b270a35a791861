#include "bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

constexpr int64_t kNsPerS = 1000000000;
constexpr size_t kQTVv2LengthByte = 3;
constexpr size_t kQTVv2FrameOverhead = 5;
constexpr int kStampWaitSteps = 200;
constexpr int64_t kStampWaitStepNs = 10000000;

}  // namespace

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * kNsPerS + now.tv_nsec;
}

void sleepNs(int64_t ns) {
    timespec left{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

size_t completeFrameLength(const uint8_t* bytes, size_t count) {
    if (count <= kQTVv2LengthByte) return 0;
    const size_t length = bytes[kQTVv2LengthByte] + kQTVv2FrameOverhead;
    return count >= length ? length : 0;
}

bool writeSamples(const std::string& path, const std::vector<int64_t>& samples) {
    std::ofstream out(path, std::ios::app);
    for (int64_t sample : samples) out << sample << '\n';
    return static_cast<bool>(out);
}

std::vector<int64_t> readSamples(const std::string& path) {
    std::vector<int64_t> samples;
    std::ifstream in(path);
    int64_t sample;
    while (in >> sample) samples.push_back(sample);
    return samples;
}

std::vector<int64_t> lastStamps(const std::string& path, size_t count) {
    std::vector<int64_t> stamps = readSamples(path);
    for (int step = 0; stamps.size() < count && step < kStampWaitSteps; ++step) {
        sleepNs(kStampWaitStepNs);
        stamps = readSamples(path);
    }
    if (stamps.size() > count) stamps.erase(stamps.begin(), stamps.end() - static_cast<long>(count));
    return stamps;
}

std::vector<int64_t> latencies(const std::vector<int64_t>& ends, const std::vector<int64_t>& stamps) {
    std::vector<int64_t> result;
    if (ends.size() != stamps.size()) return result;
    for (size_t i = 0; i < ends.size(); ++i) result.push_back(ends[i] - stamps[i]);
    return result;
}

bool openPty(Pty& pty) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) return false;
    const char* name = ptsname(pty.master);
    if (name == nullptr) return false;
    pty.slavePath = name;
    termios settings{};
    if (tcgetattr(pty.master, &settings) != 0) return false;
    cfmakeraw(&settings);
    return tcsetattr(pty.master, TCSANOW, &settings) == 0;
}

int openRawTty(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

ThreadCost threadCost(int tid) {
    ThreadCost cost;
    cost.tid = tid;
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream schedstat(task + "/schedstat");
    schedstat >> cost.cpuNs;
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        int64_t value = 0;
        fields >> key >> value;
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
            cost.switches += value;
        }
    }
    return cost;
}

int currentTid() { return static_cast<int>(syscall(SYS_gettid)); }

std::vector<int> otherThreads() {
    std::vector<int> tids;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return tids;
    const int self = currentTid();
    while (const dirent* entry = readdir(tasks)) {
        const int tid = std::atoi(entry->d_name);
        if (tid > 0 && tid != self) tids.push_back(tid);
    }
    closedir(tasks);
    return tids;
}

void idlePollLoop(int fd, const std::atomic<bool>& stop, std::atomic<int64_t>& cycles) {
    constexpr int64_t kPollPauseNs = 1000000;
    while (!stop.load(std::memory_order_relaxed)) {
        int queued = 0;
        ioctl(fd, FIONREAD, &queued);
        sleepNs(kPollPauseNs);
        cycles.fetch_add(1, std::memory_order_relaxed);
    }
}

void appendResult(const std::string& path, const std::string& key, double value) {
    std::ofstream out(path, std::ios::app);
    out << key << '=' << value << '\n';
}

}  // namespace bench

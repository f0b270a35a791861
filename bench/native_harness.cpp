// bench-native: the serial library's own code without a Java VM: the port
// table, the worker and the two handshakes, called as the natives call them,
// so that what JNI adds shows beside it.
//
//   bench-native exchange TTY COUNT WARMUP OUT RESULTS [STAMPS]
//       as bench-baseline, through openPort / sendMessage / receiveReply;
//       heap allocations during the COUNT timed exchanges go to RESULTS.
//   bench-native idle PORTS SECONDS RESULTS
//       PORTS ports open on quiet pseudo-terminals; CPU time and wake-ups of
//       their worker threads over SECONDS go to RESULTS.
//   bench-native idle-pair SECONDS RESULTS
//       one idle port beside the polling baseline's idle loop in this
//       process; both threads' CPU time and wake-ups go to RESULTS.
//   bench-native hold PORTS SECONDS
//       the same ports, held open for a system call trace; prints "ready".
//   bench-native open TTY COUNT OUT
//       openPort's time beyond its fixed 100 ms pause, COUNT times.
//   bench-native handoff COUNT OUT
//       the wake-up of a thread waiting on an event, COUNT times.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "bench_support.h"
#include "exchange.h"
#include "port_table.h"

namespace {

constexpr int64_t kSettleAfterOpenNs = 100000000;  // openPort's own pause
constexpr int64_t kWorkerEndNs = 10000000;         // a closed port's worker ends within a cycle
constexpr int64_t kIdleSettleNs = 500000000;
constexpr int64_t kHandoffGapNs = 2000000;  // the waiter is back asleep long before the next signal

std::u16string portName(int number) { return u"COM" + std::u16string(1, char16_t(u'0' + number)) + u":"; }

// The host maps COM1:, COM2:, ... to the given ttys; read at the first open.
void mapPorts(const std::vector<std::string>& ttys) {
    std::string mapping;
    for (size_t i = 0; i < ttys.size(); ++i) {
        if (!mapping.empty()) mapping += ',';
        mapping += "COM" + std::to_string(i + 1) + ":=" + ttys[i];
    }
    setenv("WINCE_DEVICES", mapping.c_str(), 1);
}

ResultCode openQTVv2(int number, int32_t& index) {
    LineSettings settings = familySettings(InstrumentFamily::QTVv2, 0);
    const std::u16string name = portName(number);
    name.copy(settings.portName, kPortNameUnits - 1);
    return openPort(settings, &index);
}

// One exchange; `sent` receives the time at which sendMessage returned.
bool exchangeOnce(int32_t index, int64_t& sent) {
    static uint8_t reply[260];
    int32_t length = 0;
    if (sendMessage(index, bench::kCommand, bench::kCommandLength) != 0) return false;
    sent = bench::monotonicNs();
    return receiveReply(index, reply, sizeof reply, &length) == 0 && length == bench::kReplyLength;
}

int runExchanges(const std::string& tty, int count, int warmup, const std::string& out,
                 const std::string& results, const char* stampsPath) {
    mapPorts({tty});
    int32_t index = -1;
    if (ResultCode result = openQTVv2(1, index)) {
        std::fprintf(stderr, "bench-native: openPort: %d\n", result);
        return 1;
    }
    std::vector<int64_t> durations, ends, sends;
    durations.reserve(size_t(count));
    ends.reserve(size_t(count));
    sends.reserve(size_t(count));
    for (int i = 0; i < warmup + count; ++i) {
        if (i == warmup) bench::startCountingAllocations();
        const int64_t start = bench::monotonicNs();
        int64_t sent = 0;
        const bool ok = exchangeOnce(index, sent);
        const int64_t end = bench::monotonicNs();
        if (!ok) {
            bench::stopCountingAllocations();
            std::fprintf(stderr, "bench-native: exchange %d failed\n", i);
            return 1;
        }
        if (i >= warmup) {
            durations.push_back(end - start);
            ends.push_back(end);
            sends.push_back(sent - start);
        }
        bench::sleepNs(bench::kExchangeGapNs);
    }
    const bench::AllocationCount allocations = bench::stopCountingAllocations();
    closePort(index);
    bench::appendResult(results, "alloc.exchanges", count);
    bench::appendResult(results, "alloc.malloc", double(allocations.mallocCalls));
    bench::appendResult(results, "alloc.new", double(allocations.newCalls));
    if (stampsPath == nullptr) {
        return bench::writeSamples(out, durations) && bench::writeSamples(out + ".send", sends) ? 0 : 1;
    }
    std::vector<int64_t> lat = bench::latencies(ends, bench::lastStamps(stampsPath, ends.size()));
    if (lat.empty()) {
        std::fprintf(stderr, "bench-native: reply stamps missing in %s\n", stampsPath);
        return 1;
    }
    return bench::writeSamples(out, lat) ? 0 : 1;
}

// Opens `ports` ports on quiet pseudo-terminals of our own.
bool openIdlePorts(int ports, std::vector<bench::Pty>& ptys) {
    std::vector<std::string> ttys;
    ptys.resize(size_t(ports));
    for (bench::Pty& pty : ptys) {
        if (!bench::openPty(pty)) return false;
        ttys.push_back(pty.slavePath);
    }
    mapPorts(ttys);
    for (int number = 1; number <= ports; ++number) {
        int32_t index = -1;
        if (openQTVv2(number, index) != 0) return false;
    }
    return true;
}

int runIdle(int ports, int seconds, const std::string& results) {
    std::vector<bench::Pty> ptys;
    if (!openIdlePorts(ports, ptys)) {
        std::fputs("bench-native: cannot open the idle ports\n", stderr);
        return 1;
    }
    bench::sleepNs(kIdleSettleNs);
    const std::vector<int> workers = bench::otherThreads();
    std::vector<bench::ThreadCost> before;
    for (int tid : workers) before.push_back(bench::threadCost(tid));
    const int64_t start = bench::monotonicNs();
    bench::sleepNs(int64_t{seconds} * 1000000000);
    const double elapsed = double(bench::monotonicNs() - start) / 1e9;
    int64_t cpuNs = 0, switches = 0;
    for (size_t i = 0; i < workers.size(); ++i) {
        const bench::ThreadCost after = bench::threadCost(workers[i]);
        cpuNs += after.cpuNs - before[i].cpuNs;
        switches += after.switches - before[i].switches;
    }
    const std::string key = "idle" + std::to_string(ports);
    bench::appendResult(results, key + ".threads", double(workers.size()));
    bench::appendResult(results, key + ".cpu_ns", double(cpuNs));
    bench::appendResult(results, key + ".switches", double(switches));
    bench::appendResult(results, key + ".seconds", elapsed);
    for (int index = 0; index < ports; ++index) closePort(index);
    return 0;
}

// One idle port and the polling baseline's idle loop on a pseudo-terminal
// of its own, in this one process: both threads meet the same scheduler,
// caches and load, so the ratio of their CPU times is what the library's
// code adds to a poll.
int runIdlePair(int seconds, const std::string& results) {
    bench::Pty baselinePty;
    if (!bench::openPty(baselinePty)) return 1;
    const int fd = bench::openRawTty(baselinePty.slavePath);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> cycles{0};
    std::atomic<int> baselineTid{0};
    std::thread baseline([&] {
        baselineTid = bench::currentTid();
        bench::idlePollLoop(fd, stop, cycles);
    });
    bench::sleepNs(kIdleSettleNs / 10);
    const std::vector<int> others = bench::otherThreads();
    std::vector<bench::Pty> ptys;
    if (fd < 0 || !openIdlePorts(1, ptys)) {
        stop = true;
        baseline.join();
        return 1;
    }
    int worker = 0;
    for (int tid : bench::otherThreads()) {
        if (std::find(others.begin(), others.end(), tid) == others.end()) worker = tid;
    }
    bench::sleepNs(kIdleSettleNs);
    const bench::ThreadCost workerBefore = bench::threadCost(worker),
                            baselineBefore = bench::threadCost(baselineTid);
    const int64_t start = bench::monotonicNs();
    bench::sleepNs(int64_t{seconds} * 1000000000);
    const double elapsed = double(bench::monotonicNs() - start) / 1e9;
    const bench::ThreadCost workerAfter = bench::threadCost(worker),
                            baselineAfter = bench::threadCost(baselineTid);
    stop = true;
    baseline.join();
    closePort(0);
    bench::appendResult(results, "pair.seconds", elapsed);
    bench::appendResult(results, "pair.worker.cpu_ns", double(workerAfter.cpuNs - workerBefore.cpuNs));
    bench::appendResult(results, "pair.baseline.cpu_ns", double(baselineAfter.cpuNs - baselineBefore.cpuNs));
    bench::appendResult(results, "pair.worker.switches",
                        double(workerAfter.switches - workerBefore.switches));
    bench::appendResult(results, "pair.baseline.switches",
                        double(baselineAfter.switches - baselineBefore.switches));
    return 0;
}

int runHold(int ports, int seconds) {
    std::vector<bench::Pty> ptys;
    if (!openIdlePorts(ports, ptys)) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    bench::sleepNs(int64_t{seconds} * 1000000000);
    for (int index = 0; index < ports; ++index) closePort(index);
    return 0;
}

int runOpens(const std::string& tty, int count, const std::string& out) {
    mapPorts({tty});
    std::vector<int64_t> beyondPause;
    for (int i = 0; i <= count; ++i) {  // the first opening reads the mapping: not counted
        int32_t index = -1;
        const int64_t start = bench::monotonicNs();
        const ResultCode result = openQTVv2(1, index);
        const int64_t took = bench::monotonicNs() - start;
        if (result != 0) {
            std::fprintf(stderr, "bench-native: openPort: %d\n", result);
            return 1;
        }
        if (i > 0) beyondPause.push_back(took - kSettleAfterOpenNs);
        closePort(index);
        bench::sleepNs(kWorkerEndNs);
    }
    return bench::writeSamples(out, beyondPause) ? 0 : 1;
}

// What the worker's SetEvent costs the waiting caller: from just before the
// signal to the waiter's return from WaitForSingleObject, with the waiter
// asleep each time, as RecRS is when a frame is recognised.
int runHandoffs(int count, const std::string& out) {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int64_t> signalledAt{0};
    std::vector<int64_t> wakeups;
    std::thread waiter([&] {
        for (int i = 0; i < count; ++i) {
            if (WaitForSingleObject(ready, 2000) != WAIT_OBJECT_0) return;
            wakeups.push_back(bench::monotonicNs() - signalledAt.load());
            ResetEvent(ready);
        }
    });
    for (int i = 0; i < count; ++i) {
        bench::sleepNs(kHandoffGapNs);
        signalledAt = bench::monotonicNs();
        SetEvent(ready);
    }
    waiter.join();
    CloseHandle(ready);
    return bench::writeSamples(out, wakeups) ? 0 : 1;
}

int usage() {
    std::fputs(
        "usage: bench-native exchange TTY COUNT WARMUP OUT RESULTS [STAMPS]\n"
        "       bench-native idle PORTS SECONDS RESULTS\n"
        "       bench-native idle-pair SECONDS RESULTS\n"
        "       bench-native hold PORTS SECONDS\n"
        "       bench-native open TTY COUNT OUT\n"
        "       bench-native handoff COUNT OUT\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "exchange" && (argc == 7 || argc == 8)) {
        return runExchanges(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5], argv[6],
                            argc == 8 ? argv[7] : nullptr);
    }
    if (mode == "idle" && argc == 5) return runIdle(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    if (mode == "idle-pair" && argc == 4) return runIdlePair(std::atoi(argv[2]), argv[3]);
    if (mode == "hold" && argc == 4) return runHold(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "open" && argc == 5) return runOpens(argv[2], std::atoi(argv[3]), argv[4]);
    if (mode == "handoff" && argc == 4) return runHandoffs(std::atoi(argv[2]), argv[3]);
    return usage();
}

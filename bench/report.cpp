// bench-report: the table of one `make bench` run, from the samples and
// counts that the benchmark programs left in one folder.
//
//   bench-report DIR
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using Samples = std::vector<int64_t>;

// Goals of the figures.
constexpr double kP1P2Limit = 1.01;       // within 1 % of the polling baseline
constexpr double kP3CpuLimit = 1.10;      // idle CPU per port, to the baseline's
constexpr double kP3ScalingLimit = 1.10;  // 4 ports to 4 x 1 port (10 % is the noise)
constexpr double kP3SyscallsLimit = 2.0;  // per 1 ms cycle
constexpr double kP5WorstLimitNs = 2000;  // per call, 2046-byte window
constexpr double kP5LinearLimit = 2.5;    // t(2046) / t(1024): 2 when linear, 4 when quadratic
constexpr double kP6LimitNs = 2e6;        // beyond the 100 ms pause

struct Stats {
    size_t count = 0;
    double median = 0, p99 = 0, low = 0, high = 0;  // low, high: 95 % interval of the median
};

double at(const Samples& sorted, double rank) {
    const size_t index = size_t(std::clamp(rank, 1.0, double(sorted.size()))) - 1;
    return double(sorted[index]);
}

std::optional<Stats> statsOf(Samples samples) {
    if (samples.empty()) return std::nullopt;
    std::sort(samples.begin(), samples.end());
    const double n = double(samples.size());
    Stats s;
    s.count = samples.size();
    s.median = at(samples, std::ceil(n * 0.5));
    s.p99 = at(samples, std::ceil(n * 0.99));
    const double spread = 0.98 * std::sqrt(n);  // 1.96 standard deviations of the median's rank
    s.low = at(samples, std::floor(n / 2 - spread));
    s.high = at(samples, std::ceil(n / 2 + spread + 1));
    return s;
}

class Folder {
public:
    explicit Folder(std::string path) : path_(std::move(path)) { readResults("results.txt", ""); }

    std::optional<Stats> stats(const std::string& name) const {
        return statsOf(bench::readSamples(path_ + "/" + name));
    }
    std::optional<double> value(const std::string& key) const {
        auto found = results_.find(key);
        if (found == results_.end()) return std::nullopt;
        return found->second;
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    // key=value lines; a key written by several runs adds up.
    void readResults(const std::string& name, const std::string& prefix) {
        std::ifstream in(path_ + "/" + name);
        std::string line;
        while (std::getline(in, line)) {
            const size_t equals = line.find('=');
            if (equals == std::string::npos) continue;
            results_[prefix + line.substr(0, equals)] += std::atof(line.c_str() + equals + 1);
        }
    }

    std::string path_;
    std::map<std::string, double> results_;
};

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string ms(std::optional<double> ns) { return ns ? format("%.3f ms", *ns / 1e6) : "–"; }
std::string us(std::optional<double> ns) { return ns ? format("%.0f µs", *ns / 1e3) : "–"; }
std::string ratio(std::optional<double> r) { return r ? format("%.3f", *r) : "–"; }
std::string verdict(std::optional<double> value, double limit) {
    if (!value) return "not measured";
    return *value <= limit * (1 + 1e-6) + 1e-3 ? "yes" : "**no**";
}

std::optional<double> divide(std::optional<double> a, std::optional<double> b) {
    if (!a || !b || *b == 0) return std::nullopt;
    return *a / *b;
}

template <typename Field>
std::optional<double> field(const std::optional<Stats>& s, Field f) {
    if (!s) return std::nullopt;
    return (*s).*f;
}

void row(const std::vector<std::string>& cells) {
    std::string line = "|";
    for (const std::string& cell : cells) line += " " + cell + " |";
    std::puts(line.c_str());
}

// P1 and P2: the library through Java and without the JVM, the baselines.
void exchangeRows(const Folder& folder, const char* figure, const char* prefix, bool inMs) {
    auto java = folder.stats(std::string(prefix) + "-java.ns");
    auto native = folder.stats(std::string(prefix) + "-native.ns");
    auto polling = folder.stats(std::string(prefix) + "-polling.ns");
    auto blocking = folder.stats(std::string(prefix) + "-blocking.ns");
    auto show = inMs ? ms : us;
    for (auto [name, member] : {std::pair{"median", &Stats::median}, std::pair{"p99", &Stats::p99}}) {
        const auto r = divide(field(java, member), field(polling, member));
        std::string met = verdict(r, kP1P2Limit);
        // A median whose interval reaches the goal is not told apart from it.
        if (met != "yes" && member == &Stats::median && java && polling &&
            java->low <= polling->high * kP1P2Limit) {
            met = "within noise";
        }
        row({std::string(figure) + " " + name, show(field(java, member)), show(field(native, member)),
             show(field(polling, member)), show(field(blocking, member)), ratio(r), "≤ 1.010", met});
    }
}

// The design's two threads in plain C++: with the idle pause as designed,
// and with a pause that a request ends.
void modelRows(const Folder& folder) {
    struct Model {
        const char* name;
        const char* file;
        const char* polling;
        bool inMs;
    };
    for (const Model& m :
         {Model{"P1 two-thread model, 1 ms pause", "p1-twothread.ns", "p1-polling.ns", true},
          Model{"P1 two-thread model, pause ends on request", "p1-twothread-wake.ns", "p1-polling.ns", true},
          Model{"P2 two-thread model, 1 ms pause", "p2-twothread.ns", "p2-polling.ns", false}}) {
        auto model = folder.stats(m.file);
        auto polling = folder.stats(m.polling);
        auto show = m.inMs ? ms : us;
        row({m.name,
             "median " + show(field(model, &Stats::median)) + ", p99 " + show(field(model, &Stats::p99)), "",
             "", "",
             ratio(divide(field(model, &Stats::median), field(polling, &Stats::median))) + " (median), " +
                 ratio(divide(field(model, &Stats::p99), field(polling, &Stats::p99))) + " (p99)",
             "the design's structure", "–"});
    }
}

std::optional<double> perSecond(const Folder& f, const std::string& key, double ports) {
    auto value = f.value(key);
    auto seconds = f.value(key.substr(0, key.rfind('.')) + ".seconds");
    if (!value || !seconds) return std::nullopt;
    return *value / *seconds / ports;
}

// System calls per worker cycle from `strace -c`: all calls over the pauses.
// The worker's idle pause is a timed wait on its wake-up event (one futex
// call), the baseline's a sleep.
std::optional<double> syscallsPerCycle(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    double total = 0, sleeps = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string w; fields >> w;) words.push_back(w);
        if (words.size() < 5 || words[0].find('%') != std::string::npos || words[0][0] == '-') continue;
        const double calls = std::atof(words[3].c_str());
        if (words.back() == "total")
            total = calls;
        else if (words.back().find("nanosleep") != std::string::npos || words.back() == "futex")
            sleeps += calls;
    }
    if (sleeps == 0) return std::nullopt;
    return total / sleeps;
}

void idleRows(const Folder& f) {
    auto cpu1 = perSecond(f, "idle1.cpu_ns", 1);
    auto cpu4 = perSecond(f, "idle4.cpu_ns", 4);
    auto cpuBase = perSecond(f, "baseline.cpu_ns", 1);
    auto pct = [](std::optional<double> nsPerS) { return nsPerS ? format("%.2f %%", *nsPerS / 1e7) : "–"; };
    row({"P3 idle CPU per port, each alone", pct(cpu1) + " (1 port), " + pct(cpu4) + " (4 ports)", "",
         pct(cpuBase), "–", ratio(divide(cpu1, cpuBase)), "(information)", "–"});
    // Both threads in one process over the same seconds: the same time base.
    auto pairWorker = f.value("pair.worker.cpu_ns");
    auto pairBase = f.value("pair.baseline.cpu_ns");
    const auto r = divide(pairWorker, pairBase);
    auto total = f.value("pair.seconds");
    auto pairPct = [&](std::optional<double> ns) {
        return ns && total ? format("%.2f %%", *ns / *total / 1e7) : "–";
    };
    row({"P3 idle CPU per port, beside the baseline in one process", pairPct(pairWorker), "",
         pairPct(pairBase), "–", ratio(r), "≤ 1.10", verdict(r, kP3CpuLimit)});
    const auto scaling = divide(cpu4, cpu1);
    row({"P3 4 ports ÷ 4 × 1 port", ratio(scaling), "", "", "", ratio(scaling), "≤ 1.10 (noise)",
         verdict(scaling, kP3ScalingLimit)});
    auto wake1 = perSecond(f, "idle1.switches", 1);
    auto wake4 = perSecond(f, "idle4.switches", 4);
    auto wakeBase = perSecond(f, "baseline.switches", 1);
    auto perS = [](std::optional<double> v) { return v ? format("%.0f /s", *v) : "–"; };
    row({"P3 wake-ups per port", perS(wake1) + " (1 port), " + perS(wake4) + " (4 ports)", "", perS(wakeBase),
         "–", ratio(divide(wake1, wakeBase)), "the design's 1 ms", "–"});
    auto calls = syscallsPerCycle(f.file("strace-library.txt"));
    auto callsBase = syscallsPerCycle(f.file("strace-baseline.txt"));
    auto count = [](std::optional<double> v) { return v ? format("%.2f", *v) : "not measured"; };
    row({"P3 system calls per cycle", count(calls), "", count(callsBase), "–", "", "≤ 2",
         verdict(calls, kP3SyscallsLimit)});
}

void allocationRow(const Folder& f) {
    auto exchanges = f.value("alloc.exchanges");
    auto mallocs = f.value("alloc.malloc");
    auto news = f.value("alloc.new");
    std::optional<double> perExchange;
    if (exchanges && mallocs && news && *exchanges > 0) perExchange = (*mallocs + *news) / *exchanges;
    const std::string detail =
        exchanges ? format("%.0f", (*mallocs + *news)) + " in " + format("%.0f", *exchanges) + " exchanges"
                  : "–";
    row({"P4 heap allocations per exchange", "–",
         perExchange ? format("%.3f", *perExchange) + " (" + detail + ")" : "–", "–", "–", "", "0",
         verdict(perExchange, 0)});
}

struct BenchmarkRow {
    std::string name;
    double cpuTime = 0;
    std::string unit;
};

std::vector<BenchmarkRow> readBenchmarks(const std::string& path) {
    std::vector<BenchmarkRow> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '"') continue;
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
        if (cells.size() < 5) continue;
        rows.push_back({cells[0].substr(1, cells[0].size() - 2), std::atof(cells[3].c_str()), cells[4]});
    }
    return rows;
}

std::optional<double> benchmarkNs(const std::vector<BenchmarkRow>& rows, const std::string& name) {
    for (const BenchmarkRow& r : rows) {
        if (r.name != name) continue;
        if (r.unit == "ns") return r.cpuTime;
        if (r.unit == "us") return r.cpuTime * 1e3;
    }
    return std::nullopt;
}

std::string bigO(const std::vector<BenchmarkRow>& rows, const std::string& name) {
    for (const BenchmarkRow& r : rows) {
        if (r.name == name + "_BigO") return format("%.2f ", r.cpuTime) + r.unit;
    }
    return "–";
}

void recognizerRows(const Folder& f) {
    const auto rows = readBenchmarks(f.file("recognizers.csv"));
    for (const char* family : {"KELT3B", "VX9", "QTVv1-prefixed", "QTVv1-echo", "QTVv2"}) {
        const std::string worst = std::string("worst/") + family;
        // Medians of the repetitions.
        auto full = benchmarkNs(rows, worst + "/2046_median");
        auto half = benchmarkNs(rows, worst + "/1024_median");
        auto typical = benchmarkNs(rows, std::string("typical/") + family + "/0_median");
        auto growth = divide(full, half);
        auto nsText = [](std::optional<double> v) { return v ? format("%.0f ns", *v) : "–"; };
        const bool met = full && *full <= kP5WorstLimitNs && growth && *growth <= kP5LinearLimit;
        row({std::string("P5 ") + family + " worst / typical", nsText(full) + " / " + nsText(typical), "", "",
             "", "t(2046)/t(1024) " + ratio(growth) + ", fit " + bigO(rows, worst), "≤ 2000 ns, linear",
             full ? (met ? "yes" : "**no**") : "not measured"});
    }
}

void openRows(const Folder& f) {
    auto java = f.stats("p6-java.ns");
    auto native = f.stats("p6-native.ns");
    for (auto [name, member] : {std::pair{"median", &Stats::median}, std::pair{"p99", &Stats::p99}}) {
        auto worst = field(java, member);
        if (auto n = field(native, member); n && (!worst || *n > *worst)) worst = n;
        row({std::string("P6 open beyond its 100 ms, ") + name, ms(field(java, member)),
             ms(field(native, member)), "–", "–", "", "< 2 ms", verdict(worst, kP6LimitNs)});
    }
}

void intervalLines(const Folder& f) {
    std::puts("\n95 % intervals of the medians (order statistics), and sample counts:\n");
    for (const char* prefix : {"p1", "p2"}) {
        for (const char* client : {"java", "native", "polling", "blocking", "twothread", "twothread-wake"}) {
            auto s = f.stats(std::string(prefix) + "-" + client + ".ns");
            if (!s) continue;
            std::printf("- %s %s: n = %zu, median %.1f µs in [%.1f, %.1f] µs\n", prefix, client, s->count,
                        s->median / 1e3, s->low / 1e3, s->high / 1e3);
        }
    }
    if (auto h = f.stats("p2-handoff.ns")) {
        std::printf(
            "- event hand-over alone (worker's SetEvent to the waiter's return), n = %zu: median %.1f µs, "
            "p99 %.1f µs\n",
            h->count, h->median / 1e3, h->p99 / 1e3);
    }
    if (auto send = f.stats("p1-java.ns.send")) {
        std::printf("- p1 java, EnvRS alone: median %.1f µs, p99 %.1f µs\n", send->median / 1e3,
                    send->p99 / 1e3);
    }
    if (auto send = f.stats("p1-native.ns.send")) {
        std::printf("- p1 native, sendMessage alone: median %.1f µs, p99 %.1f µs\n", send->median / 1e3,
                    send->p99 / 1e3);
    }
}

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

void machineLine() {
    utsname name{};
    uname(&name);
    std::ifstream load("/proc/loadavg");
    std::string one, five;
    load >> one >> five;
    std::printf("Machine: %ld CPUs (nproc), %s, Linux %s; load average %s (1 min) at the end of the run.\n\n",
                sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str(), name.release, one.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: bench-report DIR\n", stderr);
        return 2;
    }
    const Folder folder(argv[1]);
    machineLine();
    row({"Figure", "Library through Java", "Library without JVM (C++)", "Polling baseline",
         "Blocking baseline", "Library ÷ polling", "Goal", "Met"});
    row({"---", "---", "---", "---", "---", "---", "---", "---"});
    exchangeRows(folder, "P1 exchange", "p1", true);
    exchangeRows(folder, "P2 detection latency", "p2", false);
    modelRows(folder);
    idleRows(folder);
    allocationRow(folder);
    recognizerRows(folder);
    openRows(folder);
    intervalLines(folder);
    return 0;
}

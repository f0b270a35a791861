#include "chaos.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

namespace {

constexpr int kOutageCommands = 4;  // a command and its three resends
constexpr int kMaxGarbage = 16;
constexpr int kMaxPieces = 8;
constexpr int kMaxGapBudgetMs = 60;
constexpr int kGarbageStream = 256;  // stray bytes are taken from a random place of it

// The library's reply timeout for the family.
int familyTimeoutMs(Family family) { return family == Family::KELT3B || family == Family::VX9 ? 1000 : 2000; }

template <typename Number>
bool parseNumber(std::string_view text, Number& out) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return false;
    out = value;
    return true;
}

int* chaosNumber(ChaosOptions& chaos, std::string_view name) {
    if (name == "--chaos-rate") return &chaos.ratePercent;
    if (name == "--chaos-delay") return &chaos.delayPercent;
    if (name == "--chaos-loss") return &chaos.lossPermille;
    if (name == "--chaos-outage") return &chaos.outagePermille;
    if (name == "--chaos-max-ms") return &chaos.maxMs;
    return nullptr;
}

const char* faultName(ChaosFault fault) {
    switch (fault) {
        case ChaosFault::None: return "none";
        case ChaosFault::Silence: return "silence";
        case ChaosFault::Outage: return "outage";
        case ChaosFault::BadFrame: return "bad-frame";
    }
    return "none";
}

}  // namespace

ChaosOptionResult applyChaosOption(ChaosOptions& chaos, std::string_view name, std::string_view value) {
    if (name == "--chaos") {
        chaos.enabled = true;
        return parseNumber(value, chaos.seed) ? ChaosOptionResult::Applied : ChaosOptionResult::Invalid;
    }
    int* number = chaosNumber(chaos, name);
    if (number == nullptr) return ChaosOptionResult::NotChaos;
    return parseNumber(value, *number) ? ChaosOptionResult::Applied : ChaosOptionResult::Invalid;
}

std::string ChaosPlan::describe() const {
    char line[128];
    std::snprintf(line, sizeof line, "chaos delay=%d pieces=%zu garbage=%zu fault=%s", delayMs, pieces.size(),
                  garbage, faultName(fault));
    return line;
}

Chaos::Chaos(const ChaosOptions& options, Family family)
    : options_(options),
      family_(family),
      maxMs_(options.maxMs >= 0 ? options.maxMs : familyTimeoutMs(family) / 2),
      random_(options.seed) {}

ChaosFault Chaos::drawFault() {
    if (outageLeft_ > 0) {
        --outageLeft_;
        return ChaosFault::Outage;
    }
    if (chance(options_.outagePermille)) {
        outageLeft_ = kOutageCommands - 1;
        return ChaosFault::Outage;
    }
    if (chance(options_.lossPermille)) return below(2) == 0 ? ChaosFault::Silence : ChaosFault::BadFrame;
    return ChaosFault::None;
}

// QTVv2 frames carry a checksum; the others are spoilt in their second
// header byte (or, for QTVv1, the second byte the reply must begin with).
// Neither the spoilt byte nor any other then starts a frame the library
// would take.
void Chaos::spoil(Bytes& frame) const {
    if (frame.size() < 2) return;
    if (family_ == Family::QTVv2) {
        frame.back() = uint8_t(frame.back() + 1);
    } else {
        frame[1] ^= 0x0F;
    }
}

// Random cut points; the gaps share the gap budget between them.
void Chaos::splitIntoPieces(ChaosPlan& plan, int gapBudgetMs) {
    const size_t size = plan.wire.size();
    const size_t count = std::min<size_t>(size, 2 + below(kMaxPieces - 1));
    std::vector<size_t> cuts;
    while (cuts.size() + 1 < count) {
        const size_t cut = 1 + below(size - 1);
        if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end()) cuts.push_back(cut);
    }
    std::sort(cuts.begin(), cuts.end());
    size_t start = 0;
    for (size_t cut : cuts) {
        plan.pieces.push_back(cut - start);
        start = cut;
    }
    plan.pieces.push_back(size - start);
    const int gapBound = count > 1 ? gapBudgetMs / int(count - 1) : 0;
    for (size_t i = 1; i < plan.pieces.size(); ++i) plan.gapsMs.push_back(int(below(uint64_t(gapBound) + 1)));
}

ChaosPlan Chaos::plan(const Bytes& command, const Bytes& frame) {
    ChaosPlan plan;
    plan.fault = drawFault();
    if (!plan.sends()) return plan;
    const int gapBudget = std::min(kMaxGapBudgetMs, maxMs_ / 4);
    if (chance(options_.delayPercent * 10)) plan.delayMs = int(below(uint64_t(maxMs_ - gapBudget) + 1));
    if (chance(options_.ratePercent * 10)) {
        const size_t count = 1 + below(kMaxGarbage);
        const size_t skip = below(kGarbageStream);
        const Bytes stream = garbageFor(family_, command, int(skip + count));
        plan.wire.assign(stream.end() - long(count), stream.end());
        plan.garbage = count;
    }
    Bytes sent = frame;
    if (plan.fault == ChaosFault::BadFrame) spoil(sent);
    plan.wire.insert(plan.wire.end(), sent.begin(), sent.end());
    if (chance(options_.ratePercent * 10) && plan.wire.size() > 1) {
        splitIntoPieces(plan, gapBudget);
    } else {
        plan.pieces.push_back(plan.wire.size());
    }
    return plan;
}

std::unique_ptr<Chaos> makeChaos(const SimOptions& options) {
    if (!options.chaos.enabled) return nullptr;
    return std::make_unique<Chaos>(options.chaos, options.family);
}

int64_t playChaosPlan(const ChaosPlan& plan, const std::function<void(int)>& sleepMs,
                      const std::function<void(const uint8_t*, size_t)>& write) {
    sleepMs(plan.delayMs);
    size_t sent = 0;
    int64_t lastWriteNs = 0;
    for (size_t i = 0; i < plan.pieces.size(); ++i) {
        if (i > 0) sleepMs(plan.gapsMs[i - 1]);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        lastWriteNs = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
        write(plan.wire.data() + sent, plan.pieces[i]);
        sent += plan.pieces[i];
    }
    return lastWriteNs;
}

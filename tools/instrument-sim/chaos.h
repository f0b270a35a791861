// --chaos SEED: an instrument that misbehaves at random, for the soak test.
//
// For every command it answers, the misbehaviour is drawn from SEED, and the
// log (--log) tells what the instrument meant to send and what it did, after
// the command's "rx" line:
//   chaos delay=MS pieces=N garbage=N fault=none|silence|outage|bad-frame
//   meant <the frame as it should be, hex>
//   tx <the bytes sent: stray bytes, then the frame as sent>   (not when silent)
//   sent-at NS   (CLOCK_MONOTONIC, the clock of Java's System.nanoTime on
//                 Linux, just before the write that carried the last byte)
// A reader must survive a pause before the reply and gaps between its
// pieces (together never more than --chaos-max-ms) and stray bytes before
// the frame. The faults lose the reply: silence; a frame with a wrong
// checksum (QTVv2) or a broken header (the other families); an outage, in
// which this command and the next three go unanswered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "options.h"
#include "replies.h"

enum class ChaosFault { None, Silence, Outage, BadFrame };

struct ChaosPlan {
    int delayMs = 0;
    size_t garbage = 0;          // stray bytes at the start of `wire`
    Bytes wire;                  // what goes on the line
    std::vector<size_t> pieces;  // sizes of the writes that carry `wire`
    std::vector<int> gapsMs;     // pause before each piece after the first
    ChaosFault fault = ChaosFault::None;

    bool sends() const { return fault == ChaosFault::None || fault == ChaosFault::BadFrame; }
    // The "chaos ..." log line.
    std::string describe() const;
};

class Chaos {
public:
    Chaos(const ChaosOptions& options, Family family);

    // The misbehaviour for the answer `frame` to `command`.
    ChaosPlan plan(const Bytes& command, const Bytes& frame);

private:
    uint64_t below(uint64_t bound) { return random_() % bound; }
    bool chance(int outOf1000) { return below(1000) < uint64_t(outOf1000); }
    ChaosFault drawFault();
    void spoil(Bytes& frame) const;
    void splitIntoPieces(ChaosPlan& plan, int gapBudgetMs);

    ChaosOptions options_;
    Family family_;
    int maxMs_;
    int outageLeft_ = 0;
    std::mt19937_64 random_;
};

// The Chaos of --chaos, or none without it.
std::unique_ptr<Chaos> makeChaos(const SimOptions& options);

// Carries out a plan that sends: the pause, then each piece after its gap.
// Returns the CLOCK_MONOTONIC nanoseconds taken before the last write.
int64_t playChaosPlan(const ChaosPlan& plan, const std::function<void(int)>& sleepMs,
                      const std::function<void(const uint8_t*, size_t)>& write);

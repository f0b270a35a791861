// The command line of --chaos mode (chaos.h), kept apart so that options.h
// needs nothing else of it.
#pragma once

#include <cstdint>
#include <string_view>

struct ChaosOptions {
    bool enabled = false;  // --chaos SEED
    uint64_t seed = 0;
    int ratePercent = 25;    // --chaos-rate: chance of a reply in pieces, and of stray bytes first
    int delayPercent = 5;    // --chaos-delay: chance of a pause before the reply
    int lossPermille = 10;   // --chaos-loss: chance of silence or of a spoilt frame
    int outagePermille = 1;  // --chaos-outage: chance that this and the next 3 commands go unanswered
    int maxMs = -1;          // --chaos-max-ms: bound of pause plus gaps; -1: half the family's timeout
};

enum class ChaosOptionResult { NotChaos, Applied, Invalid };

// Applies one --chaos* option and its value.
ChaosOptionResult applyChaosOption(ChaosOptions& chaos, std::string_view name, std::string_view value);

// Command line of the instrument simulator.
#pragma once

#include <optional>
#include <string>

#include "chaos_options.h"

enum class Family { QTVv1, QTVv2, KELT3B, VX9 };

struct SimOptions {
    Family family = Family::QTVv2;
    int delayMs = 0;           // pause before each reply
    int chunks = 1;            // pieces a reply is split into
    int gapMs = 10;            // pause between two pieces
    int garbage = 0;           // stray bytes sent before each frame
    bool badChecksum = false;  // QTVv2: checksum off by one
    bool wrongCode = false;    // QTVv2: reply code other than command code + 0x40
    bool silent = false;       // never answer
    int hangupAfter = -1;      // close the pty after this many replies (-1: never)
    std::string logPath;       // one line per command and per reply, in hex
    std::string devicePath;    // --device: speak on this tty instead of a new pty
    // Benchmark timing (reply_timing.h).
    std::string stampPath;  // --stamp: when each reply's last byte went out
    int delayJitterUs = 0;  // --delay-jitter: extra pause of 0 to N-1 us
    bool eager = false;     // --eager: answer a whole QTVv2 command at once
    ChaosOptions chaos;     // --chaos SEED and its settings (chaos.h)
};

enum class ParseOutcome { Run, Help, Error };

// Parses argv with getopt_long into `options`. Help: the usage went to
// stdout. Error: the reason, after the program's name, went to stderr.
ParseOutcome parseOptions(int argc, char** argv, SimOptions& options);

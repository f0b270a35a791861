#include "options.h"

#include <errno.h>
#include <getopt.h>
#include <strings.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

const char usage[] =
    "usage: %s [--family QTVv1|QTVv2|KELT3B|VX9] [--delay MS]\n"
    "       [--chunks N] [--gap MS] [--garbage N] [--bad-checksum]\n"
    "       [--wrong-code] [--silent] [--hangup-after N] [--log FILE]\n"
    "       [--stamp FILE] [--delay-jitter US] [--eager] [--device TTY]\n"
    "       [--chaos SEED [--chaos-rate %%] [--chaos-delay %%]\n"
    "        [--chaos-loss PERMILLE] [--chaos-outage PERMILLE]\n"
    "        [--chaos-max-ms MS]]\n"
    "Opens a pseudo-terminal, prints its slave device on the first line and\n"
    "answers commands as an instrument of the family (QTVv2 unless --family\n"
    "says otherwise; the name in any case). Ends on SIGTERM or when stdin, a\n"
    "pipe, closes. Exit: 0 ended normally or --help, 1 the pseudo-terminal or\n"
    "the log could not be opened, 2 wrong command line. With --device it\n"
    "speaks on that tty (the far end of a real serial line) instead, and\n"
    "prints its path.\n";

// Every long option takes the option's own name as its value to getopt_long;
// applyOption then finds what to do by that name, as before.
const option longOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"family", required_argument, nullptr, 0},
    {"delay", required_argument, nullptr, 0},
    {"chunks", required_argument, nullptr, 0},
    {"gap", required_argument, nullptr, 0},
    {"garbage", required_argument, nullptr, 0},
    {"bad-checksum", no_argument, nullptr, 0},
    {"wrong-code", no_argument, nullptr, 0},
    {"silent", no_argument, nullptr, 0},
    {"hangup-after", required_argument, nullptr, 0},
    {"log", required_argument, nullptr, 0},
    {"stamp", required_argument, nullptr, 0},
    {"delay-jitter", required_argument, nullptr, 0},
    {"eager", no_argument, nullptr, 0},
    {"device", required_argument, nullptr, 0},
    {"chaos", required_argument, nullptr, 0},
    {"chaos-rate", required_argument, nullptr, 0},
    {"chaos-delay", required_argument, nullptr, 0},
    {"chaos-loss", required_argument, nullptr, 0},
    {"chaos-outage", required_argument, nullptr, 0},
    {"chaos-max-ms", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

const char* programName() { return program_invocation_short_name; }

std::optional<Family> familyNamed(const char* name) {
    if (strcasecmp(name, "QTVv1") == 0) return Family::QTVv1;
    if (strcasecmp(name, "QTVv2") == 0) return Family::QTVv2;
    if (strcasecmp(name, "KELT3B") == 0) return Family::KELT3B;
    if (strcasecmp(name, "VX9") == 0) return Family::VX9;
    return std::nullopt;
}

std::optional<int> nonNegative(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

// "instrument-sim: <reason>", then where to find the usage.
bool fail(const std::string& reason) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", programName(), reason.c_str(), programName());
    return false;
}

bool badValue(std::string_view name, const char* what, const char* value) {
    return fail(std::string(name) + ": " + what + ": " + value);
}

// Options that take a number, and where the number goes.
int* numberTarget(SimOptions& options, std::string_view name) {
    if (name == "--delay") return &options.delayMs;
    if (name == "--chunks") return &options.chunks;
    if (name == "--gap") return &options.gapMs;
    if (name == "--garbage") return &options.garbage;
    if (name == "--hangup-after") return &options.hangupAfter;
    if (name == "--delay-jitter") return &options.delayJitterUs;
    return nullptr;
}

bool* flagTarget(SimOptions& options, std::string_view name) {
    if (name == "--bad-checksum") return &options.badChecksum;
    if (name == "--wrong-code") return &options.wrongCode;
    if (name == "--silent") return &options.silent;
    if (name == "--eager") return &options.eager;
    return nullptr;
}

bool applyOption(SimOptions& options, std::string_view name, const char* value) {
    if (bool* flag = flagTarget(options, name)) {
        *flag = true;
        return true;
    }
    if (int* number = numberTarget(options, name)) {
        auto parsed = nonNegative(value);
        if (!parsed) return badValue(name, "not a number", value);
        *number = *parsed;
        return true;
    }
    if (name == "--family") {
        auto family = familyNamed(value);
        if (!family) return badValue(name, "unknown family (QTVv1, QTVv2, KELT3B, VX9)", value);
        options.family = *family;
        return true;
    }
    if (name == "--log" || name == "--stamp") {
        (name == "--log" ? options.logPath : options.stampPath) = value;
        return true;
    }
    if (name == "--device") {
        options.devicePath = value;
        return true;
    }
    if (applyChaosOption(options.chaos, name, value) == ChaosOptionResult::Applied) return true;
    return badValue(name, "not a number", value);
}

// getopt_long's refusal, in the program's words: a short option by its
// letter, a long one by the word it stopped at.
bool refuse(int answer, char** argv) {
    const std::string argument =
        optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1]);
    if (answer == ':') return fail("option '" + argument + "' needs a value");
    return fail("unknown option '" + argument + "'");
}

}  // namespace

ParseOutcome parseOptions(int argc, char** argv, SimOptions& options) {
    options = SimOptions{};
    optind = 0;  // a fresh scan, also on a second call
    opterr = 0;  // the refusals are ours
    for (;;) {
        int index = -1;
        const int answer = getopt_long(argc, argv, ":h", longOptions, &index);
        if (answer == -1) break;
        if (answer == 'h') {
            std::printf(usage, programName());
            return ParseOutcome::Help;
        }
        if (answer == '?' || answer == ':') {
            refuse(answer, argv);
            return ParseOutcome::Error;
        }
        const std::string name = std::string("--") + longOptions[index].name;
        if (!applyOption(options, name, optarg)) return ParseOutcome::Error;
    }
    if (optind < argc) {
        fail(std::string("unexpected argument '") + argv[optind] + "'");
        return ParseOutcome::Error;
    }
    if (options.chunks < 1) options.chunks = 1;
    return ParseOutcome::Run;
}

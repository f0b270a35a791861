#include "options.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

const char usage[] =
    "usage: instrument-sim [--family QTVv1|QTVv2|KELT3B|VX9] [--delay MS]\n"
    "                      [--chunks N] [--gap MS] [--garbage N] [--bad-checksum]\n"
    "                      [--wrong-code] [--silent] [--hangup-after N] [--log FILE]\n"
    "                      [--stamp FILE] [--delay-jitter US] [--eager] [--device TTY]\n"
    "                      [--chaos SEED [--chaos-rate %] [--chaos-delay %]\n"
    "                       [--chaos-loss PERMILLE] [--chaos-outage PERMILLE]\n"
    "                       [--chaos-max-ms MS]]\n"
    "Opens a pseudo-terminal, prints its slave device on the first line and\n"
    "answers commands as an instrument of the family. Ends on SIGTERM or when\n"
    "stdin closes. With --device it speaks on that tty (the far end of a real\n"
    "serial line) instead, and prints its path.\n";

std::optional<Family> familyNamed(std::string_view name) {
    if (name == "QTVv1") return Family::QTVv1;
    if (name == "QTVv2") return Family::QTVv2;
    if (name == "KELT3B") return Family::KELT3B;
    if (name == "VX9") return Family::VX9;
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

bool fail(const char* reason, std::string_view option) {
    std::fprintf(stderr, "instrument-sim: %s: %.*s\n%s", reason, int(option.size()),
                 option.data(), usage);
    return false;
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
    if (value == nullptr) return fail("missing value", name);
    if (int* number = numberTarget(options, name)) {
        auto parsed = nonNegative(value);
        if (!parsed) return fail("not a number", value);
        *number = *parsed;
        return true;
    }
    if (name == "--family") {
        auto family = familyNamed(value);
        if (!family) return fail("unknown family", value);
        options.family = *family;
        return true;
    }
    if (name == "--log") {
        options.logPath = value;
        return true;
    }
    if (name == "--device") {
        options.devicePath = value;
        return true;
    }
    if (name == "--stamp") {
        options.stampPath = value;
        return true;
    }
    switch (applyChaosOption(options.chaos, name, value)) {
    case ChaosOptionResult::Applied: return true;
    case ChaosOptionResult::Invalid: return fail("not a number", value);
    case ChaosOptionResult::NotChaos: break;
    }
    return fail("unknown option", name);
}

bool takesValue(SimOptions& options, std::string_view name) {
    return flagTarget(options, name) == nullptr;
}

}  // namespace

std::optional<SimOptions> parseOptions(int argc, char** argv) {
    SimOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(usage, stdout);
            return std::nullopt;
        }
        const char* value = takesValue(options, name) && i + 1 < argc ? argv[i + 1] : nullptr;
        if (!applyOption(options, name, value)) return std::nullopt;
        if (value != nullptr) ++i;
    }
    if (options.chunks < 1) options.chunks = 1;
    return options;
}

// bench-recognizers: the cost of one recogniser call, on the worst window
// for each family (the backward scan visits every position and finds no
// complete frame) and on a typical one (one frame after some garbage), over
// window sizes up to the largest the worker hands over, so that the cost's
// growth with the window shows.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "recognizers.h"

namespace {

constexpr int kLargestWindow = 2046;  // rxStart + rxCount when the worker calls
constexpr int kTypicalGarbage = 20;

using Bytes = std::vector<uint8_t>;

struct Case {
    const char* family;
    FrameRecognizer recognizer;
    Bytes command;
    // The window of `size` bytes for this case.
    std::function<Bytes(int size)> window;
};

// `filler` repeated, then `tail` repeated over the last `tailBytes` bytes.
Bytes repeated(int size, const Bytes& filler, const Bytes& tail = {}, int tailBytes = 0) {
    Bytes bytes(static_cast<size_t>(size));
    const int tailStart = size - std::min(size, tailBytes);
    for (int i = 0; i < tailStart; ++i) bytes[size_t(i)] = filler[size_t(i) % filler.size()];
    for (int i = tailStart; i < size; ++i) bytes[size_t(i)] = tail[size_t(i - tailStart) % tail.size()];
    return bytes;
}

uint8_t checksum(const Bytes& bytes) {
    unsigned sum = 0;
    for (uint8_t byte : bytes) sum += byte;
    return uint8_t(sum);
}

// Garbage that starts no frame, then the frame.
Bytes afterGarbage(const Bytes& frame) {
    Bytes bytes;
    bytes.reserve(kTypicalGarbage + frame.size());
    for (int i = 0; i < kTypicalGarbage; ++i) bytes.push_back(0x33);
    for (uint8_t byte : frame) bytes.push_back(byte);
    return bytes;
}

Bytes qtv2Frame() {
    Bytes frame{0x80, 0xF0, 0x10, 0x02, 0xE0, 0x55};
    frame.push_back(checksum(frame));
    return frame;
}

// Worst windows. A whole header can only stand where its frame cannot be
// complete (near the window's end); everywhere else each position starts
// like a header and fails on a later byte, so every position costs the most
// it can without ending the scan.
std::vector<Case> worstCases() {
    return {
        {"KELT3B",
         recognizeKELT3B,
         {0x01},
         [](int n) {
             return repeated(n, {0x5A}, {0x5A, 0xA5}, 11);
         }},
        {"VX9",
         recognizeVX9,
         {0x01},
         [](int n) {
             return repeated(n, {0x00, 0x01}, {0x00, 0x01, 0x02}, 12);
         }},
        // 0x78: a reply of c3 + 3 = 258 bytes starting 12 34.
        {"QTVv1-prefixed",
         recognizeQTVv1,
         {0x78, 0x12, 0x34, 0xFF},
         [](int n) {
             return repeated(n, {0x12}, {0x12, 0x34}, 257);
         }},
        // 0xAA: exactly 12 34 56; every other position is 12 34 and fails on its third byte.
        {"QTVv1-echo",
         recognizeQTVv1,
         {0xAA, 0x12, 0x34, 0x56},
         [](int n) {
             return repeated(n, {0x12, 0x34});
         }},
        // Headers announcing 255 data bytes over the last 259 bytes, partial headers before.
        {"QTVv2",
         recognizeQTVv2,
         {0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21},
         [](int n) {
             return repeated(n, {0x80, 0xF0}, {0x80, 0xF0, 0x10, 0xFF}, 259);
         }},
    };
}

std::vector<Case> typicalCases() {
    const Bytes kelt3b{0x5A, 0xA5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes vx9{0x00, 0x01, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const Bytes qtv1{0x12, 0x34, 0x01, 0x01, 0x02};
    return {
        {"KELT3B", recognizeKELT3B, {0x01}, [=](int) { return afterGarbage(kelt3b); }},
        {"VX9", recognizeVX9, {0x01}, [=](int) { return afterGarbage(vx9); }},
        {"QTVv1-prefixed", recognizeQTVv1, {0x78, 0x12, 0x34, 0x02}, [=](int) { return afterGarbage(qtv1); }},
        {"QTVv1-echo",
         recognizeQTVv1,
         {0xAA, 0x12, 0x34, 0x56},
         [](int) {
             return afterGarbage({0x12, 0x34, 0x56});
         }},
        {"QTVv2",
         recognizeQTVv2,
         {0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21},
         [](int) { return afterGarbage(qtv2Frame()); }},
    };
}

PortSlot slot;
uint8_t reply[300];
int32_t replyLength;

void prepareSlot(const Case& c, const Bytes& window) {
    std::memcpy(slot.txBuffer, c.command.data(), c.command.size());
    slot.txLength = int32_t(c.command.size());
    std::memcpy(slot.rxBuffer, window.data(), window.size());
    slot.replyDest = reply;
    slot.replyLengthOut = &replyLength;
    slot.replyCapacity = sizeof reply;
}

// The window ends where the worker's largest window ends, whatever its size.
void runCase(benchmark::State& state, const Case& c, bool expectFrame) {
    const Bytes window = c.window(int(state.range(0)));
    prepareSlot(c, window);
    const int32_t count = int32_t(window.size());
    bool found = false;
    for (auto _ : state) {
        slot.rxStart = 0;
        slot.rxCount = count;
        found = c.recognizer(slot);
        benchmark::DoNotOptimize(found);
    }
    if (found != expectFrame) state.SkipWithError(expectFrame ? "no frame found" : "a frame was found");
    state.SetComplexityN(state.range(0));
}

void registerCases() {
    for (const Case& c : worstCases()) {
        benchmark::RegisterBenchmark((std::string("worst/") + c.family).c_str(),
                                     [c](benchmark::State& s) { runCase(s, c, false); })
            ->RangeMultiplier(2)
            ->Range(64, 1024)
            ->Arg(kLargestWindow)
            ->Complexity();
    }
    for (const Case& c : typicalCases()) {
        benchmark::RegisterBenchmark((std::string("typical/") + c.family).c_str(), [c](benchmark::State& s) {
            runCase(s, c, true);
        })->Arg(0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerCases();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

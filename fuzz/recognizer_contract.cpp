#include "recognizer_contract.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"

namespace {

constexpr uint8_t kRawWindow = 1;
constexpr uint8_t kNoDestination = 2;
constexpr uint8_t kNoLengthCell = 4;
constexpr uint8_t kRawTxLength = 8;

constexpr size_t kMaxPattern = 16;
constexpr size_t kGuardBytes = 32;
constexpr uint8_t kUntouched = 0xCC;
constexpr int32_t kUntouchedCell = 0x7A7A7A7A;
constexpr int32_t kAmpleCapacity = kRxBufferSize;  // more than any frame
// Headers of every family, for an input that names no pattern of its own.
constexpr std::array<uint8_t, 8> HEADER_PATTERN{0x5A, 0xA5, 0x00, 0x01, 0x02, 0x80, 0xF0, 0x10};
constexpr std::array<uint8_t, 1> ZERO_PATTERN{0};

struct Case {
    uint8_t flags;
    int32_t start;
    int32_t count;
    int32_t txLength;
    int32_t capacity;
    std::span<const uint8_t> command;
    std::span<const uint8_t> pattern;
    std::span<const uint8_t> window;
};

Case readCase(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    Case c{};
    c.flags = input.byte();
    c.start = input.int32();
    c.count = input.int32();
    c.txLength = input.int32();
    c.capacity = input.int32();
    c.command = input.bytes(input.byte());
    c.pattern = input.bytes(std::min<size_t>(input.byte(), kMaxPattern));
    c.window = input.rest();
    if (!(c.flags & kRawTxLength)) c.txLength = static_cast<int32_t>(c.command.size());
    if (!(c.flags & kRawWindow)) {
        // As the worker keeps it: the window ends at or before kRxWindowLimit.
        c.window = c.window.first(std::min<size_t>(c.window.size(), kRxWindowLimit));
        c.count = static_cast<int32_t>(c.window.size());
        c.start = static_cast<int32_t>(static_cast<uint32_t>(c.start) %
                                       static_cast<uint32_t>(kRxWindowLimit - c.count + 1));
    }
    if (c.pattern.empty()) c.pattern = HEADER_PATTERN;
    return c;
}

bool windowInBuffer(const Case& c) {
    return c.count > 0 && c.start >= 0 && c.count <= kRxBufferSize - c.start;
}

int64_t windowEnd(const Case& c) { return int64_t{c.start} + c.count; }

// The caller's reply array (of which at most kAmpleCapacity bytes are real)
// and its length cell, each between guards.
struct Destination {
    explicit Destination(int32_t capacity)
        : bytes(2 * kGuardBytes + static_cast<size_t>(std::clamp(capacity, 0, kAmpleCapacity)), kUntouched) {
        cells.fill(kUntouchedCell);
    }
    uint8_t* reply() { return bytes.data() + kGuardBytes; }
    int32_t& lengthCell() { return cells[1]; }
    bool untouchedFrom(size_t offset) const {
        return std::all_of(bytes.begin() + static_cast<ptrdiff_t>(offset), bytes.end(),
                           [](uint8_t b) { return b == kUntouched; });
    }
    bool untouched() const {
        return untouchedFrom(0) &&
               std::all_of(cells.begin(), cells.end(), [](int32_t cell) { return cell == kUntouchedCell; });
    }

    std::vector<uint8_t> bytes;
    std::array<int32_t, 3> cells;
};

struct Outcome {
    bool answer;
    int32_t start;
    int32_t count;
    uint32_t overflow;
    bool operator==(const Outcome&) const = default;
};

// rxBuffer holds `outside` repeated, with the window over it as far as it
// falls inside the buffer: its bytes, then zeros where a raw window is
// longer than the bytes given.
std::unique_ptr<PortSlot> makeSlot(const Case& c, std::span<const uint8_t> outside) {
    auto slot = std::make_unique<PortSlot>();
    for (int32_t i = 0; i < kRxBufferSize; ++i) {
        const int64_t offset = i - int64_t{c.start};
        if (offset < 0 || offset >= c.count) {
            slot->rxBuffer[i] = outside[static_cast<size_t>(i) % outside.size()];
        } else {
            slot->rxBuffer[i] =
                offset < static_cast<int64_t>(c.window.size()) ? c.window[static_cast<size_t>(offset)] : 0;
        }
    }
    if (!c.command.empty()) std::memcpy(slot->txBuffer, c.command.data(), c.command.size());
    slot->txLength = c.txLength;
    slot->rxStart = c.start;
    slot->rxCount = c.count;
    return slot;
}

Outcome run(FrameRecognizer recognizer, PortSlot& slot, Destination& destination, bool withReply,
            bool withCell, int32_t capacity) {
    slot.replyDest = withReply ? destination.reply() : nullptr;
    slot.replyLengthOut = withCell ? &destination.lengthCell() : nullptr;
    slot.replyCapacity = capacity;
    slot.replyOverflow = 0;  // as the worker leaves it before each call
    const bool answer = recognizer(slot);
    return {answer, slot.rxStart, slot.rxCount, slot.replyOverflow};
}

void requireOnlyRead(const PortSlot& slot, const Case& c, const std::vector<uint8_t>& rxBefore) {
    FUZZ_REQUIRE(std::equal(rxBefore.begin(), rxBefore.end(), slot.rxBuffer), "rxBuffer written");
    FUZZ_REQUIRE(std::equal(c.command.begin(), c.command.end(), slot.txBuffer) &&
                     std::all_of(slot.txBuffer + c.command.size(), slot.txBuffer + kTxBufferSize,
                                 [](uint8_t b) { return b == 0; }),
                 "txBuffer written");
    FUZZ_REQUIRE(slot.txLength == c.txLength, "txLength written");
}

void requireWindowKept(const Case& c, const Outcome& outcome) {
    if (!windowInBuffer(c)) {
        FUZZ_REQUIRE(!outcome.answer, "a window outside rxBuffer or empty gave a frame");
        FUZZ_REQUIRE(outcome.start == c.start && outcome.count == c.count,
                     "a window outside rxBuffer or empty was moved");
        return;
    }
    FUZZ_REQUIRE(int64_t{outcome.start} + outcome.count == windowEnd(c), "the window's end moved");
    FUZZ_REQUIRE(outcome.start >= c.start && outcome.start <= windowEnd(c),
                 "the window's start left the window or moved back");
}

// The frame delivered into an ample destination: the old window's bytes
// just before the new start. Empty when the answer was false.
std::span<const uint8_t> requireDelivery(const Case& c, const Outcome& outcome, Destination& destination,
                                         const std::vector<uint8_t>& rxBefore) {
    if (!outcome.answer) {
        FUZZ_REQUIRE(destination.untouched(), "false wrote to the destination or length cell");
        FUZZ_REQUIRE(outcome.overflow == 0, "false reported an overflow");
        return {};
    }
    FUZZ_REQUIRE(outcome.overflow == 0, "a frame did not fit an ample destination");
    FUZZ_REQUIRE(destination.cells[0] == kUntouchedCell && destination.cells[2] == kUntouchedCell,
                 "written beside the length cell");
    const int32_t length = destination.lengthCell();
    FUZZ_REQUIRE(length > 0 && length <= outcome.start - c.start,
                 "the frame does not lie in the old window before the new start");
    std::span<const uint8_t> frame(rxBefore.data() + (outcome.start - length), static_cast<size_t>(length));
    FUZZ_REQUIRE(destination.untouchedFrom(kGuardBytes + frame.size()) &&
                     std::all_of(destination.bytes.begin(), destination.bytes.begin() + kGuardBytes,
                                 [](uint8_t b) { return b == kUntouched; }),
                 "written outside the delivered frame");
    FUZZ_REQUIRE(std::equal(frame.begin(), frame.end(), destination.reply()),
                 "the delivered bytes are not the frame consumed");
    return frame;
}

// The input's own destination: the frame written whole when it fits,
// otherwise nothing written and the overflow reported.
void requireGivenDestination(const Case& c, const Outcome& reference, std::span<const uint8_t> frame,
                             FrameRecognizer recognizer) {
    const bool withReply = !(c.flags & kNoDestination);
    const bool withCell = !(c.flags & kNoLengthCell);
    auto slot = makeSlot(c, ZERO_PATTERN);
    Destination given(c.capacity);
    const Outcome outcome = run(recognizer, *slot, given, withReply, withCell, c.capacity);
    FUZZ_REQUIRE(outcome.answer == reference.answer && outcome.start == reference.start &&
                     outcome.count == reference.count,
                 "the destination changed what was recognised or consumed");
    const bool fits =
        reference.answer && withReply && withCell && static_cast<int64_t>(frame.size()) <= c.capacity;
    if (!fits) {
        FUZZ_REQUIRE(given.untouched(), "written although the frame did not fit");
        FUZZ_REQUIRE(outcome.overflow == (reference.answer ? ERROR_INSUFFICIENT_BUFFER : 0u),
                     "a frame that did not fit was not reported as such");
        return;
    }
    FUZZ_REQUIRE(outcome.overflow == 0, "a frame that fits was reported too large");
    FUZZ_REQUIRE(given.lengthCell() == static_cast<int32_t>(frame.size()) &&
                     given.cells[0] == kUntouchedCell && given.cells[2] == kUntouchedCell,
                 "wrong length cell");
    FUZZ_REQUIRE(std::equal(frame.begin(), frame.end(), given.reply()) &&
                     given.untouchedFrom(kGuardBytes + frame.size()),
                 "the frame was not written whole into its room");
}

}  // namespace

void checkRecognizerContract(FrameRecognizer recognizer, FrameShape shape, const uint8_t* data, size_t size) {
    const Case c = readCase(data, size);

    auto slot = makeSlot(c, ZERO_PATTERN);
    const std::vector<uint8_t> rxBefore(slot->rxBuffer, slot->rxBuffer + kRxBufferSize);
    Destination ample(kAmpleCapacity);
    const Outcome reference = run(recognizer, *slot, ample, true, true, kAmpleCapacity);
    requireOnlyRead(*slot, c, rxBefore);
    requireWindowKept(c, reference);
    const std::span<const uint8_t> frame = requireDelivery(c, reference, ample, rxBefore);
    if (reference.answer) FUZZ_REQUIRE(shape(*slot, frame), "the frame lacks the family's shape");

    auto patterned = makeSlot(c, c.pattern);
    Destination second(kAmpleCapacity);
    const Outcome other = run(recognizer, *patterned, second, true, true, kAmpleCapacity);
    FUZZ_REQUIRE(other == reference && second.bytes == ample.bytes && second.cells == ample.cells,
                 "bytes outside the window changed the outcome");

    requireGivenDestination(c, reference, frame, recognizer);
}

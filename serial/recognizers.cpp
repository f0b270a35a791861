#include "recognizers.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

namespace {

// The receive window as positions of rxBuffer: [start, end).
struct Window {
    int32_t start;
    int32_t end;
    int32_t available(int32_t s) const { return end - s; }
};

// A frame found in the window; length 0 means none.
struct FrameSpan {
    int32_t start;
    int32_t length;
};
constexpr FrameSpan kNoFrame{0, 0};

// The window the slot describes, or none when it is empty or does not lie
// inside rxBuffer: nothing outside the buffer is ever read or written.
std::optional<Window> windowOf(const PortSlot& slot) {
    const int32_t start = slot.rxStart;
    const int32_t count = slot.rxCount;
    if (count <= 0 || start < 0 || count > kRxBufferSize - start) {
        return std::nullopt;
    }
    return Window{start, start + count};
}

// The one backward scan of every family: s runs from the last position at
// which the whole header fits down to the window's start, so the newest frame
// wins. frameLengthAt(s) answers the frame's length when a complete frame of
// the family starts at s, else 0; a header whose frame is still incomplete
// does not stop the scan. Each position is examined once.
template <typename FrameLengthAt>
FrameSpan findNewestFrame(const Window& window, int32_t headerLength, FrameLengthAt frameLengthAt) {
    for (int32_t s = window.end - headerLength; s >= window.start; --s) {
        if (const int32_t length = frameLengthAt(s); length > 0) {
            return {s, length};
        }
    }
    return kNoFrame;
}

// Only called where the scan guarantees that the header fits in the window.
template <size_t N>
bool headerAt(const PortSlot& slot, int32_t s, const std::array<uint8_t, N>& header) {
    return std::equal(header.begin(), header.end(), slot.rxBuffer + s);
}

// Drops every window byte before p; the window's end stays where it is.
void consumeUpTo(PortSlot& slot, int32_t p) {
    const int32_t end = slot.rxStart + slot.rxCount;
    slot.rxStart = p;
    slot.rxCount = end - p;
}

bool replyFits(const PortSlot& slot, int32_t length) {
    return slot.replyDest != nullptr && slot.replyLengthOut != nullptr && length <= slot.replyCapacity;
}

// Hands the frame to the waiting caller, or, when the caller's array is too
// small, only consumes it and leaves the reason in replyOverflow.
bool deliverFrame(PortSlot& slot, FrameSpan frame) {
    if (replyFits(slot, frame.length)) {
        std::memcpy(slot.replyDest, slot.rxBuffer + frame.start, static_cast<size_t>(frame.length));
        *slot.replyLengthOut = frame.length;
        slot.replyOverflow = 0;
    } else {
        slot.replyOverflow = ERROR_INSUFFICIENT_BUFFER;
    }
    consumeUpTo(slot, frame.start + frame.length);
    return true;
}

// KELT3B and VX9: a fixed header and a fixed length, the command not consulted.
template <size_t N>
bool recognizeFixedFrame(PortSlot& slot, const std::array<uint8_t, N>& header, int32_t frameLength) {
    const std::optional<Window> window = windowOf(slot);
    if (!window) {
        return false;
    }
    const FrameSpan frame = findNewestFrame(*window, static_cast<int32_t>(N), [&](int32_t s) {
        return headerAt(slot, s, header) && window->available(s) >= frameLength ? frameLength : 0;
    });
    return frame.length > 0 && deliverFrame(slot, frame);
}

constexpr std::array<uint8_t, 2> kKELT3BHeader{0x5A, 0xA5};
constexpr int32_t kKELT3BFrameLength = 12;

constexpr std::array<uint8_t, 3> kVX9Header{0x00, 0x01, 0x02};
constexpr int32_t kVX9FrameLength = 13;

// QTVv1: the command's first byte says what reply to look for.
constexpr uint8_t kQTVv1PrefixedReply = 0x78;  // reply begins c1 c2 and is c3 + 3 long
constexpr uint8_t kQTVv1EchoReply = 0xAA;      // reply is exactly c1 c2 c3
constexpr std::array<uint8_t, 4> QTVV1_UNCHECKED_REPLY_COMMAND{0x00, 0x80, 0x00, 0x00};
constexpr int32_t kQTVv1ShortReplyLength = 3;
constexpr int32_t kQTVv1PrefixLength = 2;
constexpr int32_t kQTVv1PrefixedLengthBase = 3;  // L = c3 + 3: 3 to 258

FrameSpan findQTVv1PrefixedReply(const PortSlot& slot, const Window& window) {
    const std::array<uint8_t, kQTVv1PrefixLength> prefix{slot.txBuffer[1], slot.txBuffer[2]};
    const int32_t length = slot.txBuffer[3] + kQTVv1PrefixedLengthBase;
    return findNewestFrame(window, kQTVv1PrefixLength, [&](int32_t s) {
        return headerAt(slot, s, prefix) && window.available(s) >= length ? length : 0;
    });
}

FrameSpan findQTVv1EchoReply(const PortSlot& slot, const Window& window) {
    const std::array<uint8_t, kQTVv1PrefixLength> prefix{slot.txBuffer[1], slot.txBuffer[2]};
    const uint8_t last = slot.txBuffer[3];
    return findNewestFrame(window, kQTVv1PrefixLength, [&](int32_t s) {
        const bool matches = headerAt(slot, s, prefix) && window.available(s) >= kQTVv1ShortReplyLength &&
                             slot.rxBuffer[s + 2] == last;
        return matches ? kQTVv1ShortReplyLength : 0;
    });
}

bool isQTVv1UncheckedReplyCommand(const PortSlot& slot) {
    return std::equal(QTVV1_UNCHECKED_REPLY_COMMAND.begin(), QTVV1_UNCHECKED_REPLY_COMMAND.end(),
                      slot.txBuffer);
}

// QTVv2: 0x80 0xF0 0x10 N, reply code, data, additive checksum; L = N + 5.
constexpr std::array<uint8_t, 3> QTVV2_HEADER{0x80, 0xF0, 0x10};
constexpr int32_t kQTVv2LengthByte = 3;       // offset of N in the frame
constexpr int32_t kQTVv2ReplyCodeByte = 4;    // offset of the reply code in the frame
constexpr int32_t kQTVv2CommandCodeByte = 4;  // offset of the command code in txBuffer
constexpr int32_t kQTVv2FrameOverhead = 5;    // header, N and checksum around the N bytes
constexpr int32_t kQTVv2BytesBeforeLengthRead = 6;
constexpr int32_t kQTVv2BytesBesideData = 6;  // header, N, reply code and checksum

// What some commands require of their reply. A command that asks for D data
// bytes is commandBytesPerDataByte * D + commandOverhead bytes long; 0 in
// commandBytesPerDataByte means no length requirement.
struct QTVv2ReplyRule {
    uint8_t commandCode;
    uint8_t replyCode;
    int32_t commandBytesPerDataByte;
    int32_t commandOverhead;
};
constexpr std::array<QTVv2ReplyRule, 5> QTVV2_REPLY_RULES{{
    {0xBF, 0xFF, 0, 0},
    {0xA8, 0xE8, 3, 7},
    {0xB8, 0xF8, 4, 6},
    {0xA0, 0xE0, 0, 0},
    {0xB0, 0xF0, 0, 0},
}};

FrameSpan findQTVv2Frame(const PortSlot& slot, const Window& window) {
    return findNewestFrame(window, static_cast<int32_t>(QTVV2_HEADER.size()), [&](int32_t s) {
        if (!headerAt(slot, s, QTVV2_HEADER) || window.available(s) < kQTVv2BytesBeforeLengthRead) {
            return 0;
        }
        const int32_t length = slot.rxBuffer[s + kQTVv2LengthByte] + kQTVv2FrameOverhead;
        return window.available(s) >= length ? length : 0;
    });
}

bool checksumMatches(const PortSlot& slot, FrameSpan frame) {
    const uint8_t* first = slot.rxBuffer + frame.start;
    const uint8_t* checksum = first + frame.length - 1;
    uint8_t sum = 0;
    for (const uint8_t* p = first; p != checksum; ++p) {
        sum = static_cast<uint8_t>(sum + *p);
    }
    return sum == *checksum;
}

bool replyMatchesCommand(const PortSlot& slot, FrameSpan frame) {
    const uint8_t commandCode = slot.txBuffer[kQTVv2CommandCodeByte];
    const auto rule = std::find_if(QTVV2_REPLY_RULES.begin(), QTVV2_REPLY_RULES.end(),
                                   [&](const QTVv2ReplyRule& r) { return r.commandCode == commandCode; });
    if (rule == QTVV2_REPLY_RULES.end()) {
        return true;
    }
    if (slot.rxBuffer[frame.start + kQTVv2ReplyCodeByte] != rule->replyCode) {
        return false;
    }
    if (rule->commandBytesPerDataByte == 0) {
        return true;
    }
    // 64-bit so that no txLength can overflow the comparison.
    const int64_t dataBytes = frame.length - kQTVv2BytesBesideData;
    return rule->commandBytesPerDataByte * dataBytes == int64_t{slot.txLength} - rule->commandOverhead;
}

}  // namespace

bool recognizeKELT3B(PortSlot& slot) { return recognizeFixedFrame(slot, kKELT3BHeader, kKELT3BFrameLength); }

bool recognizeVX9(PortSlot& slot) { return recognizeFixedFrame(slot, kVX9Header, kVX9FrameLength); }

bool recognizeQTVv1(PortSlot& slot) {
    const std::optional<Window> window = windowOf(slot);
    if (!window || slot.rxCount < kQTVv1ShortReplyLength) {
        return false;
    }
    FrameSpan frame = kNoFrame;
    if (slot.txBuffer[0] == kQTVv1PrefixedReply) {
        frame = findQTVv1PrefixedReply(slot, *window);
    } else if (slot.txBuffer[0] == kQTVv1EchoReply) {
        frame = findQTVv1EchoReply(slot, *window);
    } else if (isQTVv1UncheckedReplyCommand(slot)) {
        // Any three bytes answer this command: the oldest three of the window.
        frame = {window->start, kQTVv1ShortReplyLength};
    }
    return frame.length > 0 && deliverFrame(slot, frame);
}

bool recognizeQTVv2(PortSlot& slot) {
    const std::optional<Window> window = windowOf(slot);
    if (!window) {
        return false;
    }
    const FrameSpan frame = findQTVv2Frame(slot, *window);
    if (frame.length == 0) {
        return false;
    }
    if (!checksumMatches(slot, frame)) {
        // A corrupted frame is dropped so that it is not examined again.
        consumeUpTo(slot, frame.start + frame.length);
        return false;
    }
    // A reply to another command stays: a newer frame may still come.
    if (!replyMatchesCommand(slot, frame)) {
        return false;
    }
    return deliverFrame(slot, frame);
}

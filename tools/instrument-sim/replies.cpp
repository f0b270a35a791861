#include "replies.h"

#include <algorithm>

namespace {

constexpr uint8_t kQTVv2Header[] = {0x80, 0xF0, 0x10};
constexpr uint8_t kKELT3BHeader[] = {0x5A, 0xA5};
constexpr uint8_t kVX9Header[] = {0x00, 0x01, 0x02};
constexpr int kFixedPayload = 10;  // KELT3B and VX9 frames
constexpr uint8_t kPadding = 0x20;
constexpr uint8_t kStandIn = 0x3F;  // replaces a payload byte that looks like a header

// The byte no payload or garbage byte may take: the first byte of the
// frame the family's recogniser looks for.
uint8_t headerStart(Family family, const Bytes& command) {
    switch (family) {
        case Family::QTVv1: return command.size() > 1 ? command[1] : 0x00;
        case Family::QTVv2: return kQTVv2Header[0];
        case Family::KELT3B: return kKELT3BHeader[0];
        case Family::VX9: return kVX9Header[0];
    }
    return 0x00;
}

uint8_t tagged(uint8_t byte, uint8_t forbidden) {
    if (byte != forbidden) return byte;
    return forbidden == kStandIn ? kStandIn - 1 : kStandIn;
}

uint8_t sequenceByte(int replyNumber, uint8_t forbidden) {
    return tagged(uint8_t(replyNumber % 127 + 1), forbidden);
}

// Sequence number, then the bytes of `echo`, then padding: `size` bytes in all.
Bytes payload(int replyNumber, const Bytes& echo, size_t size, uint8_t forbidden) {
    Bytes bytes;
    if (size == 0) return bytes;
    bytes.push_back(sequenceByte(replyNumber, forbidden));
    for (size_t i = 0; i < echo.size() && bytes.size() < size; ++i) {
        bytes.push_back(tagged(echo[i], forbidden));
    }
    bytes.resize(size, tagged(kPadding, forbidden));
    return bytes;
}

std::optional<Bytes> replyQTVv1(const Bytes& command, int replyNumber) {
    if (command.size() < 4) return std::nullopt;
    const uint8_t c0 = command[0], c1 = command[1], c2 = command[2], c3 = command[3];
    const uint8_t forbidden = c1;
    if (c0 == 0x78) {
        Bytes frame{c1, c2};
        // Sequence number, then 1, 2, 3 ... : c3 + 1 bytes after c1 c2.
        frame.push_back(sequenceByte(replyNumber, forbidden));
        for (int i = 1; i <= c3; ++i) frame.push_back(tagged(uint8_t(i), forbidden));
        return frame;
    }
    if (c0 == 0xAA) return Bytes{c1, c2, c3};
    if (c0 == 0x00 && c1 == 0x80 && c2 == 0x00 && c3 == 0x00) {
        return Bytes{sequenceByte(replyNumber, 0x00), 'O', 'K'};
    }
    return std::nullopt;
}

bool isQTVv2Frame(const Bytes& command) {
    if (command.size() < 5 ||
        !std::equal(std::begin(kQTVv2Header), std::end(kQTVv2Header), command.begin())) {
        return false;
    }
    const size_t length = size_t(command[3]) + 5;
    return command.size() == length && additiveChecksum(command.data(), length - 1) == command[length - 1];
}

// Data bytes of the reply. For the two command codes whose reply length the
// library checks against the command length, the reply is given that length
// when the command length allows one.
size_t qtv2DataCount(const Bytes& command) {
    const size_t length = command.size();
    const uint8_t code = command[4];
    if (code == 0xA8 && length >= 7 && (length - 7) % 3 == 0) return (length - 7) / 3;
    if (code == 0xB8 && length >= 6 && (length - 6) % 4 == 0) return (length - 6) / 4;
    return command[3];  // sequence number and the command's data bytes
}

std::optional<Bytes> replyQTVv2(const SimOptions& options, const Bytes& command, int replyNumber) {
    if (!isQTVv2Frame(command)) return std::nullopt;
    const size_t dataCount = qtv2DataCount(command);
    const uint8_t code = uint8_t(command[4] + 0x40 + (options.wrongCode ? 1 : 0));
    Bytes frame(std::begin(kQTVv2Header), std::end(kQTVv2Header));
    frame.push_back(uint8_t(dataCount + 1));
    frame.push_back(code);
    const Bytes commandData(command.begin() + 5, command.end() - 1);
    Bytes data = payload(replyNumber, commandData, dataCount, kQTVv2Header[0]);
    frame.insert(frame.end(), data.begin(), data.end());
    uint8_t checksum = additiveChecksum(frame.data(), frame.size());
    frame.push_back(uint8_t(checksum + (options.badChecksum ? 1 : 0)));
    return frame;
}

// KELT3B and VX9: the header, then the sequence number, the command's length
// and the command's first bytes.
Bytes fixedFrame(const uint8_t* header, size_t headerSize, const Bytes& command, int replyNumber) {
    Bytes echo{uint8_t(command.size())};
    echo.insert(echo.end(), command.begin(), command.end());
    Bytes frame(header, header + headerSize);
    Bytes data = payload(replyNumber, echo, kFixedPayload, header[0]);
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

}  // namespace

uint8_t additiveChecksum(const uint8_t* bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    return uint8_t(sum);
}

std::optional<Bytes> replyTo(const SimOptions& options, const Bytes& command, int replyNumber) {
    if (options.silent) return std::nullopt;
    switch (options.family) {
        case Family::QTVv1: return replyQTVv1(command, replyNumber);
        case Family::QTVv2: return replyQTVv2(options, command, replyNumber);
        case Family::KELT3B: return fixedFrame(kKELT3BHeader, sizeof kKELT3BHeader, command, replyNumber);
        case Family::VX9: return fixedFrame(kVX9Header, sizeof kVX9Header, command, replyNumber);
    }
    return std::nullopt;
}

Bytes garbageFor(Family family, const Bytes& command, int count) {
    const uint8_t forbidden = headerStart(family, command);
    Bytes bytes;
    uint32_t state = 0x2545F491u;
    while (int(bytes.size()) < count) {
        state = state * 1664525u + 1013904223u;
        const uint8_t byte = uint8_t(state >> 24);
        if (byte != forbidden) bytes.push_back(byte);
    }
    return bytes;
}

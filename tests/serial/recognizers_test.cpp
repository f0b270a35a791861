#include "recognizers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGuard = 0xEE;
constexpr int32_t kUntouchedLength = -7;
constexpr int32_t kReplyRoom = 260;  // the largest frame of any family

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes keltFrame(uint8_t fill) { return join({{0x5A, 0xA5}, Bytes(10, fill)}); }

Bytes vx9Frame(uint8_t fill) { return join({{0x00, 0x01, 0x02}, Bytes(10, fill)}); }

// 0x80 0xF0 0x10 N, the N bytes of the body (reply code and data), checksum.
Bytes qtv2Frame(const Bytes& body) {
    Bytes frame = join({{0x80, 0xF0, 0x10, static_cast<uint8_t>(body.size())}, body});
    uint8_t sum = 0;
    for (uint8_t b : frame) {
        sum = static_cast<uint8_t>(sum + b);
    }
    frame.push_back(sum);
    return frame;
}

// A command of the given length whose byte 4 is the command code.
Bytes qtv2Command(uint8_t commandCode, size_t length) {
    Bytes command(length, 0x11);
    command[4] = commandCode;
    return command;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        char cell[4];
        std::snprintf(cell, sizeof cell, "%02X ", b);
        text += cell;
    }
    return text;
}

class RecognizerTest : public ::testing::Test {
protected:
    std::unique_ptr<PortSlot> slot{new PortSlot{}};
    std::array<uint8_t, kReplyRoom + 8> reply{};  // the bytes past the room are guards
    int32_t replyLength = kUntouchedLength;

    void SetUp() override {
        resetReply();
        slot->replyDest = reply.data();
        slot->replyLengthOut = &replyLength;
        slot->replyCapacity = kReplyRoom;
    }

    void resetReply() {
        reply.fill(kGuard);
        replyLength = kUntouchedLength;
    }

    void command(const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), slot->txBuffer);
        slot->txLength = static_cast<int32_t>(bytes.size());
    }

    // The bytes become the whole window, starting at buffer position start.
    void receive(int32_t start, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), slot->rxBuffer + start);
        slot->rxStart = start;
        slot->rxCount = static_cast<int32_t>(bytes.size());
    }

    void append(const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), slot->rxBuffer + windowEnd());
        slot->rxCount += static_cast<int32_t>(bytes.size());
    }

    int32_t windowEnd() const { return slot->rxStart + slot->rxCount; }

    Bytes window() const { return Bytes(slot->rxBuffer + slot->rxStart, slot->rxBuffer + windowEnd()); }

    bool replyUntouchedFrom(size_t first) const {
        return std::all_of(reply.begin() + static_cast<std::ptrdiff_t>(first), reply.end(),
                           [](uint8_t b) { return b == kGuard; });
    }

    ::testing::AssertionResult windowIs(int32_t end, const Bytes& left) const {
        if (windowEnd() != end) {
            return ::testing::AssertionFailure() << "window end moved from " << end << " to " << windowEnd();
        }
        if (window() != left) {
            return ::testing::AssertionFailure()
                   << "window holds " << hex(window()) << ", expected " << hex(left);
        }
        return ::testing::AssertionSuccess();
    }

    // The frame reached the caller's array, nothing beyond it was written, and
    // the window keeps exactly `left`.
    ::testing::AssertionResult delivers(FrameRecognizer recognize, const Bytes& frame, const Bytes& left) {
        const int32_t end = windowEnd();
        resetReply();
        if (!recognize(*slot)) {
            return ::testing::AssertionFailure() << "no frame recognised in " << hex(window());
        }
        const Bytes got(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(frame.size()));
        if (replyLength != static_cast<int32_t>(frame.size()) || got != frame) {
            return ::testing::AssertionFailure() << "delivered " << replyLength << " bytes: " << hex(got);
        }
        if (!replyUntouchedFrom(frame.size()) || slot->replyOverflow != 0) {
            return ::testing::AssertionFailure() << "wrote past the frame or reported an overflow";
        }
        return windowIs(end, left);
    }

    // No frame: the caller's array and length are untouched; the window keeps `left`.
    ::testing::AssertionResult waits(FrameRecognizer recognize, const Bytes& left) {
        const int32_t end = windowEnd();
        resetReply();
        if (recognize(*slot)) {
            return ::testing::AssertionFailure() << "recognised a frame in " << hex(left);
        }
        if (!replyUntouchedFrom(0) || replyLength != kUntouchedLength) {
            return ::testing::AssertionFailure() << "wrote to the caller without a frame";
        }
        return windowIs(end, left);
    }

    ::testing::AssertionResult waits(FrameRecognizer recognize) { return waits(recognize, window()); }
};

TEST_F(RecognizerTest, Kelt3bTakesTheNewestCompleteFrameAndKeepsWhatFollows) {
    receive(0, keltFrame(1));
    EXPECT_TRUE(delivers(recognizeKELT3B, keltFrame(1), {}));
    EXPECT_EQ(slot->rxStart, 12);

    receive(0, join({{0x33, 0x5A}, keltFrame(1), keltFrame(2)}));
    EXPECT_TRUE(delivers(recognizeKELT3B, keltFrame(2), {}));

    const Bytes newerBeginning{0x5A, 0xA5, 1, 2, 3, 4, 5};
    receive(0, join({keltFrame(1), newerBeginning}));
    EXPECT_TRUE(delivers(recognizeKELT3B, keltFrame(1), newerBeginning));
}

TEST_F(RecognizerTest, FixedLengthFramesWaitUntilComplete) {
    // Headers everywhere, the newest byte a 0x5A: eleven bytes are never a frame.
    Bytes headers;
    for (int i = 0; i < 6; ++i) {
        headers.insert(headers.end(), {0x5A, 0xA5});
    }
    receive(0, Bytes(headers.begin(), headers.end() - 1));
    EXPECT_TRUE(waits(recognizeKELT3B));
    append({0xA5});
    EXPECT_TRUE(delivers(recognizeKELT3B, headers, {}));

    const Bytes vx9 = vx9Frame(7);
    receive(0, Bytes(vx9.begin(), vx9.end() - 1));
    EXPECT_TRUE(waits(recognizeVX9));
    append({7, 0x00});
    EXPECT_TRUE(delivers(recognizeVX9, vx9, {0x00}));
}

TEST_F(RecognizerTest, OnlyTheWindowIsScannedWhereverItStarts) {
    // A header that begins one byte before the window is not a frame.
    slot->rxBuffer[499] = 0x5A;
    receive(500, join({{0xA5}, Bytes(11, 0x5A)}));
    EXPECT_TRUE(waits(recognizeKELT3B));

    receive(500, join({{0x10, 0x20}, keltFrame(4), {0x5A}}));
    EXPECT_TRUE(delivers(recognizeKELT3B, keltFrame(4), {0x5A}));
    EXPECT_EQ(slot->rxStart, 514);

    // The newest byte at the last position the worker may fill.
    receive(kRxWindowLimit - 20, join({Bytes(7, 0x99), vx9Frame(5)}));
    EXPECT_TRUE(delivers(recognizeVX9, vx9Frame(5), {}));
    EXPECT_EQ(slot->rxStart, kRxWindowLimit);
}

TEST_F(RecognizerTest, FrameLargerThanTheReplyRoomIsConsumedAndReportedWithoutWriting) {
    slot->replyCapacity = 11;
    receive(100, join({keltFrame(1), {0x5A, 0xA5}}));
    EXPECT_TRUE(recognizeKELT3B(*slot));
    EXPECT_EQ(slot->replyOverflow, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(replyUntouchedFrom(0));
    EXPECT_EQ(replyLength, kUntouchedLength);
    EXPECT_TRUE(windowIs(114, {0x5A, 0xA5}));

    // A frame that fits exactly is delivered and clears the report.
    slot->replyCapacity = 12;
    append(Bytes(10, 3));
    EXPECT_TRUE(delivers(recognizeKELT3B, keltFrame(3), {}));

    // Without a destination nothing is written either.
    resetReply();
    slot->replyDest = nullptr;
    slot->replyCapacity = kReplyRoom;
    receive(0, vx9Frame(1));
    EXPECT_TRUE(recognizeVX9(*slot));
    EXPECT_EQ(slot->replyOverflow, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(replyLength, kUntouchedLength);
}

TEST_F(RecognizerTest, Qtvv1PrefixedReplyHasTheLengthTheCommandAsksFor) {
    command({0x78, 0x12, 0x34, 0x05});
    receive(0, {0x99, 0x12, 0x34, 1, 2, 3, 4, 5});
    EXPECT_TRUE(waits(recognizeQTVv1));
    append({6});
    EXPECT_TRUE(delivers(recognizeQTVv1, {0x12, 0x34, 1, 2, 3, 4, 5, 6}, {}));

    command({0x78, 0xAB, 0xCD, 0x00});
    receive(0, {0xAB, 0xCD, 0x77, 0xAB, 0xCD});
    EXPECT_TRUE(delivers(recognizeQTVv1, {0xAB, 0xCD, 0x77}, {0xAB, 0xCD}));
}

TEST_F(RecognizerTest, Qtvv1EchoReplyMustMatchAllThreeBytes) {
    command({0xAA, 0x01, 0x02, 0x03});
    receive(0, {0x01, 0x02, 0x04, 0x01, 0x02});
    EXPECT_TRUE(waits(recognizeQTVv1));
    append({0x03, 0x09});
    EXPECT_TRUE(delivers(recognizeQTVv1, {0x01, 0x02, 0x03}, {0x09}));
}

TEST_F(RecognizerTest, Qtvv1UncheckedCommandTakesTheOldestThreeBytesOfTheWindow) {
    command({0x00, 0x80, 0x00, 0x00});
    receive(0, {0x09, 0x08});
    EXPECT_TRUE(waits(recognizeQTVv1));
    append({0x07, 0x06});
    EXPECT_TRUE(delivers(recognizeQTVv1, {0x09, 0x08, 0x07}, {0x06}));
    EXPECT_EQ(slot->rxStart, 3);

    receive(40, {0x05, 0x04, 0x03, 0x02, 0x01});
    EXPECT_TRUE(delivers(recognizeQTVv1, {0x05, 0x04, 0x03}, {0x02, 0x01}));
    EXPECT_EQ(slot->rxStart, 43);
}

TEST_F(RecognizerTest, Qtvv1OtherCommandsNeverYieldAReply) {
    receive(0, join({Bytes(20, 0x00), {0x80, 0x00, 0x00, 0x01, 0x02, 0x03}}));
    for (const Bytes& other :
         {Bytes{0x01, 0x80, 0x00, 0x00}, Bytes{0x00, 0x81, 0x00, 0x00}, Bytes{0x00, 0x80, 0x00, 0x01}}) {
        command(other);
        EXPECT_TRUE(waits(recognizeQTVv1)) << hex(other);
    }
}

TEST_F(RecognizerTest, Qtvv2ChecksumFailureDropsTheFrame) {
    const Bytes good{0x80, 0xF0, 0x10, 0x02, 0xE0, 0x55, 0xB7};
    ASSERT_EQ(qtv2Frame({0xE0, 0x55}), good);
    command(qtv2Command(0xA0, 5));
    receive(0, good);
    EXPECT_TRUE(delivers(recognizeQTVv2, good, {}));

    Bytes bad = good;
    bad.back() = 0xB8;
    receive(30, join({{0x01}, bad, {0x80, 0xF0}}));
    EXPECT_TRUE(waits(recognizeQTVv2, {0x80, 0xF0}));
    EXPECT_EQ(slot->rxStart, 38);
}

TEST_F(RecognizerTest, Qtvv2ReplyThatDoesNotFitTheCommandStaysInTheWindow) {
    const Bytes otherCode = qtv2Frame({0xE1, 0x55});
    receive(0, otherCode);
    command(qtv2Command(0xA0, 5));
    EXPECT_TRUE(waits(recognizeQTVv2));
    command(qtv2Command(0x21, 5));
    EXPECT_TRUE(delivers(recognizeQTVv2, otherCode, {}));

    // 0xA8 asks for 3 command bytes per data byte beyond 7.
    const Bytes twoData = qtv2Frame({0xE8, 1, 2});
    const Bytes threeData = qtv2Frame({0xE8, 1, 2, 3});
    command(qtv2Command(0xA8, 13));
    receive(0, threeData);
    EXPECT_TRUE(waits(recognizeQTVv2));
    receive(0, twoData);
    EXPECT_TRUE(delivers(recognizeQTVv2, twoData, {}));

    // 0xB8 asks for 4 command bytes per data byte beyond 6.
    const Bytes b8Reply = qtv2Frame({0xF8, 1, 2});
    receive(0, b8Reply);
    command(qtv2Command(0xB8, 13));
    EXPECT_TRUE(waits(recognizeQTVv2));
    command(qtv2Command(0xB8, 14));
    EXPECT_TRUE(delivers(recognizeQTVv2, b8Reply, {}));
}

TEST_F(RecognizerTest, Qtvv2DecidesOnlyOnceTheWholeFrameIsIn) {
    command(qtv2Command(0x21, 5));
    const Bytes empty = qtv2Frame({});
    ASSERT_EQ(empty.size(), 5u);
    receive(0, empty);
    EXPECT_TRUE(waits(recognizeQTVv2));
    append({0x42});
    EXPECT_TRUE(delivers(recognizeQTVv2, empty, {0x42}));

    const Bytes largest = qtv2Frame(Bytes(255, 0x3C));
    ASSERT_EQ(largest.size(), 260u);
    receive(1000, Bytes(largest.begin(), largest.end() - 1));
    EXPECT_TRUE(waits(recognizeQTVv2));
    append({largest.back()});
    EXPECT_TRUE(delivers(recognizeQTVv2, largest, {}));
}

TEST_F(RecognizerTest, WindowsOutsideTheBufferOrEmptyAreLeftAlone) {
    for (int32_t i = 0; i < kRxBufferSize; ++i) {
        slot->rxBuffer[i] = (i % 2 == 0) ? 0x5A : 0xA5;
    }
    command({0x00, 0x80, 0x00, 0x00});  // QTVv1 would take any three bytes
    const std::array<std::pair<int32_t, int32_t>, 5> oddWindows{{
        {0, 0},
        {100, -4},
        {-2, 20},
        {2040, 20},
        {kRxBufferSize, 12},
    }};
    for (FrameRecognizer recognize : {recognizeKELT3B, recognizeVX9, recognizeQTVv1, recognizeQTVv2}) {
        for (const auto& [start, count] : oddWindows) {
            slot->rxStart = start;
            slot->rxCount = count;
            EXPECT_FALSE(recognize(*slot)) << start << "," << count;
            EXPECT_EQ(slot->rxStart, start);
            EXPECT_EQ(slot->rxCount, count);
        }
    }
    EXPECT_TRUE(replyUntouchedFrom(0));
    EXPECT_EQ(replyLength, kUntouchedLength);
}

}  // namespace

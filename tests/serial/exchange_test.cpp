// Message exchange through the port worker: sending, receiving, retries,
// resends, and the hand-over rules that keep late completions out.
#include "port_fixture.h"

#include <algorithm>
#include <cstring>

#include "port_worker.h"
#include "recognizers.h"

using namespace wince::sim;

namespace {

class Exchange : public PortFixture {
protected:
    std::shared_ptr<SimLine> line;
    int32_t port = -1;

    void openKelt3b() {
        line = addLine(u"COM1:");
        ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, port));
    }

    ResultCode send(Bytes message) {
        return sendMessage(port, message.data(), static_cast<int32_t>(message.size()));
    }

    static size_t countOf(const std::vector<DWORD>& calls, DWORD size) {
        size_t n = 0;
        for (DWORD c : calls) n += c == size;
        return n;
    }
};

TEST_F(Exchange, ReplyIsDeliveredAndBytesBeyondTheFrameAreUntouched) {
    openKelt3b();
    answerWith(*line, {0x11, 0x22, 0x5A, 0xA5, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    ASSERT_EQ(0, send({0x01, 0x02, 0x03}));
    EXPECT_EQ((Bytes{0x01, 0x02, 0x03}), line->takeWritten());

    uint8_t reply[16];
    std::memset(reply, 0xEE, sizeof reply);
    int32_t length = -7;
    ASSERT_EQ(0, receiveReply(port, reply, sizeof reply, &length));
    // The reply was sent before RecRS; it is found after the resend.
    ASSERT_EQ(12, length);
    EXPECT_EQ(0, std::memcmp(reply, kelt3bFrame(7).data(), 12));
    EXPECT_EQ(0xEE, reply[12]);
    EXPECT_EQ(0xEE, reply[15]);
}

// A write request ends the worker's 1 ms idle pause: it is taken up at
// once, not at the next poll. Taken up at the poll, half the sends would
// wait 0.5 ms or more beyond the write's own cost; the median tells the two
// apart with room to spare (a sanitizer's runtime adds about 0.2 ms there).
TEST_F(Exchange, WriteRequestIsTakenUpWithoutWaitingForTheNextPoll) {
    openKelt3b();
    std::vector<long> sendMicros;
    for (int i = 0; i < 41; ++i) {
        // Past the worker's 20 ms pause after the previous write, at a new
        // phase of its idle polling each time.
        std::this_thread::sleep_for(std::chrono::microseconds(22000 + 97 * i));
        auto start = Clock::now();
        ASSERT_EQ(0, send({0x01}));
        sendMicros.push_back(static_cast<long>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
    }
    std::nth_element(sendMicros.begin(), sendMicros.begin() + 20, sendMicros.end());
    EXPECT_LT(sendMicros[20], line_checks::kUnderSanitizer ? 450 : 250);
}

TEST_F(Exchange, ReplyArrivingDuringTheWaitEndsItAtOnce) {
    openKelt3b();
    ASSERT_EQ(0, send({0x01}));
    std::thread instrument([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        line->deliver(kelt3bFrame(3));
    });
    uint8_t reply[12];
    int32_t length = 0;
    auto start = Clock::now();
    EXPECT_EQ(0, receiveReply(port, reply, sizeof reply, &length));
    EXPECT_LT(msSince(start), 900);  // well inside the first 1000 ms wait
    instrument.join();
    EXPECT_EQ(12, length);
    EXPECT_EQ(3, reply[2]);
    EXPECT_EQ(1u, line->writeCalls().size());  // no resend was needed
}

TEST_F(Exchange, SilentInstrumentGetsTheMessageFourTimesThenTimeout) {
    openKelt3b();
    ASSERT_EQ(0, send({0x42, 0x43}));
    uint8_t reply[12];
    int32_t length = 5;
    auto start = Clock::now();
    EXPECT_EQ(ERR_RS_TIMEOUT, receiveReply(port, reply, sizeof reply, &length));
    EXPECT_GE(msSince(start), 3900);
    EXPECT_EQ(5, length);  // the caller's value is kept
    EXPECT_EQ(4u, countOf(line->writeCalls(), 2));
    EXPECT_EQ(0, receiveRetries[port]);
}

TEST_F(Exchange, EmptyMessageIsOneEmptyWriteAndIsNeverResent) {
    openKelt3b();
    EXPECT_EQ(0, sendMessage(port, nullptr, 0));
    ASSERT_EQ(std::vector<DWORD>{0}, line->writeCalls());
    uint8_t reply[12];
    int32_t length = 0;
    EXPECT_EQ(ERR_RS_TIMEOUT, receiveReply(port, reply, sizeof reply, &length));
    EXPECT_EQ(1u, line->writeCalls().size());
}

TEST_F(Exchange, FiveFailedWritesGiveUpWithTheErrorAfterThreeAttempts) {
    openKelt3b();
    failCall("WriteFile", ERROR_GEN_FAILURE, 15);
    EXPECT_EQ(static_cast<ResultCode>(ERROR_GEN_FAILURE), send({1, 2, 3}));
    EXPECT_EQ(15, callCount("WriteFile"));
    EXPECT_EQ(0, sendRetries[port]);
    // The port is still usable afterwards.
    EXPECT_EQ(0, send({1, 2, 3}));
}

TEST_F(Exchange, WritesThatMakeNoProgressEndTheWriteLoop) {
    openKelt3b();
    line->stallWrites(1000);
    auto start = Clock::now();
    EXPECT_EQ(static_cast<ResultCode>(ERROR_WRITE_FAULT), send({1, 2, 3}));
    EXPECT_LT(msSince(start), 2000);
    EXPECT_EQ(15u, line->writeCalls().size());
}

TEST_F(Exchange, OneFailedWriteIsRetriedWithinTheSameAttempt) {
    openKelt3b();
    failCall("WriteFile", ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(0, send({9, 8, 7}));
    EXPECT_EQ((Bytes{9, 8, 7}), line->takeWritten());
}

TEST_F(Exchange, AWriteThatFinishesLateIsNotTakenForALaterAttempt) {
    openKelt3b();
    line->delayWrites(1300);  // longer than the port's 1000 ms handshake
    auto start = Clock::now();
    EXPECT_EQ(ERR_RS_TIMEOUT, send({5, 5}));
    EXPECT_GE(msSince(start), 2900);
    // The late writes all reached the device, one after the other, whole.
    line->delayWrites(0);
    ASSERT_EQ(0, send({6, 6, 6}));
    Bytes written = line->takeWritten();
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ((Bytes{6, 6, 6}), Bytes(written.end() - 3, written.end()));
    for (size_t i = 0; i + 3 < written.size(); ++i) EXPECT_EQ(5, written[i]);
}

// A device whose every write outlasts the handshake: waiting out the
// abandoned write belongs to the attempt's own timeout, so each native keeps
// its bound (EnvRS 3 waits, RecRS 4 waits and 3 resends).
TEST_F(Exchange, WritesThatStallKeepEachCallWithinItsBound) {
    openKelt3b();
    line->delayWrites(1300);  // the port's handshakes last 1000 ms
    auto start = Clock::now();
    EXPECT_EQ(ERR_RS_TIMEOUT, send({5, 5}));
    EXPECT_LE(msSince(start), 3 * 1000 + 150);

    uint8_t reply[12];
    int32_t length = 0;
    start = Clock::now();
    EXPECT_EQ(ERR_RS_TIMEOUT, receiveReply(port, reply, sizeof reply, &length));
    EXPECT_LE(msSince(start), 7 * 1000 + 250);
}

TEST_F(Exchange, FrameLongerThanTheCallersArrayIsRefusedUnwritten) {
    openKelt3b();
    ASSERT_EQ(0, send({1}));
    line->deliver(kelt3bFrame(1));
    uint8_t reply[12];
    std::memset(reply, 0xEE, sizeof reply);
    int32_t length = 3;
    std::thread instrument([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        line->deliver(kelt3bFrame(2));
    });
    auto start = Clock::now();
    EXPECT_EQ(static_cast<ResultCode>(ERROR_INSUFFICIENT_BUFFER), receiveReply(port, reply, 11, &length));
    instrument.join();
    EXPECT_LT(msSince(start), 900);
    EXPECT_EQ(3, length);
    for (uint8_t b : reply) EXPECT_EQ(0xEE, b);
}

TEST_F(Exchange, NeverOpenedPortFailsEveryWaitWithInvalidHandle) {
    uint8_t message[1] = {0};
    EXPECT_EQ(static_cast<ResultCode>(ERROR_INVALID_HANDLE), sendMessage(3, message, 1));
    uint8_t reply[12];
    int32_t length = 0;
    EXPECT_EQ(static_cast<ResultCode>(ERROR_INVALID_HANDLE), receiveReply(3, reply, sizeof reply, &length));
    EXPECT_EQ(0, sendRetries[3]);
    EXPECT_EQ(0, receiveRetries[3]);
}

// The hand-over seen from the Java side alone, with the test playing the
// worker: a completion signalled for an earlier request must not end a
// later one.
TEST(HandOver, StaleSignalDoesNotCompleteTheNextRequest) {
    PortSlot& slot = portTable[0];
    slot.timeoutMs = 300;
    slot.hWriteDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread staleWorker([&slot] {
        while (slot.writeRequested.load() != kHandoverRaised) std::this_thread::yield();
        SetEvent(slot.hWriteDone);  // as if an earlier write had just finished
    });
    auto start = Clock::now();
    EXPECT_EQ(ERR_RS_TIMEOUT, requestWrite(slot));
    EXPECT_GE(msSince(start), 290);
    staleWorker.join();
    EXPECT_EQ(kHandoverIdle, slot.writeRequested.load());
    CloseHandle(slot.hWriteDone);
}

// A signal that comes while the worker holds the write (one left set by a
// failed ResetEvent) abandons that write; the next attempt is raised only
// once the worker has let it go, or the end of the old write would clear it.
TEST(HandOver, NoWriteIsRaisedOverOneTheWorkerStillHolds) {
    PortSlot& slot = portTable[0];
    slot.timeoutMs = 300;
    slot.hWriteDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&slot] {
        auto take = [&slot] {
            const auto giveUp = Clock::now() + std::chrono::seconds(1);
            uint8_t raised = kHandoverRaised;
            while (!slot.writeRequested.compare_exchange_weak(raised, kHandoverTaken)) {
                if (Clock::now() > giveUp) return false;
                raised = kHandoverRaised;
            }
            return true;
        };
        ASSERT_TRUE(take());
        SetEvent(slot.hWriteDone);  // the stale signal, while this write is held
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint8_t taken = kHandoverTaken;  // the old write ends as the worker ends it
        if (!slot.writeRequested.compare_exchange_strong(taken, kHandoverDone))
            slot.writeRequested.store(kHandoverIdle);
        if (!take()) return;  // the next attempt, which completes
        slot.writeRequested.store(kHandoverDone);
        SetEvent(slot.hWriteDone);
    });
    EXPECT_EQ(0, requestWrite(slot));
    worker.join();
    EXPECT_EQ(kHandoverIdle, slot.writeRequested.load());
    CloseHandle(slot.hWriteDone);
}

TEST(HandOver, ReplyHeldByTheWorkerIsWaitedForNotAbandoned) {
    PortSlot& slot = portTable[0];
    slot.timeoutMs = 100;
    slot.replyOverflow = 0;  // an earlier test in this process may have left one
    slot.hReplyReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&slot] {
        uint8_t raised = kHandoverRaised;
        while (!slot.replyWanted.compare_exchange_weak(raised, kHandoverTaken)) raised = kHandoverRaised;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));  // a recogniser past the timeout
        *slot.replyLengthOut = 12;
        slot.replyWanted.store(kHandoverDone);
        SetEvent(slot.hReplyReady);
    });
    int32_t length = 0;
    slot.replyLengthOut = &length;
    EXPECT_EQ(0, awaitReply(slot));  // the frame was delivered: it counts
    EXPECT_EQ(12, length);
    worker.join();
    CloseHandle(slot.hReplyReady);
}

TEST(Window, ReachingTheLastIndexMovesASmallWindowAndDropsALargeOne) {
    static PortSlot slot;
    for (int i = 0; i < kRxBufferSize; ++i) slot.rxBuffer[i] = static_cast<uint8_t>(i);
    slot.rxStart = 1950;
    slot.rxCount = 90;
    growWindow(slot, 7);  // end reaches 2047 with 97 bytes: moved, nothing lost
    EXPECT_EQ(0, slot.rxStart);
    EXPECT_EQ(97, slot.rxCount);
    EXPECT_EQ(static_cast<uint8_t>(1950), slot.rxBuffer[0]);
    EXPECT_EQ(static_cast<uint8_t>(2046), slot.rxBuffer[96]);

    slot.rxStart = 1947;
    slot.rxCount = 93;
    growWindow(slot, 7);  // 100 bytes: everything goes, the new bytes too
    EXPECT_EQ(0, slot.rxStart);
    EXPECT_EQ(0, slot.rxCount);

    slot.rxStart = 10;
    slot.rxCount = 2000;
    growWindow(slot, 36);  // end 2046: still inside
    EXPECT_EQ(10, slot.rxStart);
    EXPECT_EQ(2036, slot.rxCount);
}

}  // namespace

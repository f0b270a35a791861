// The simulated line's far end, as tests script it: what it records of the
// near end, its scripted replies and misbehaviour. What the line does behind
// the comm calls is the device contract (device_contract_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "line_checks.h"
#include "sim.h"
#include "wince.h"

namespace {

using namespace std::chrono_literals;
using wince::sim::Bytes;
using Clock = std::chrono::steady_clock;
using line_checks::readBytes;

constexpr char16_t kLineName[] = u"SIMA:";

HANDLE openDevice(const char16_t* name = kLineName) { return line_checks::openPort(name); }

class SimLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        wince::sim::reset();
        line = wince::sim::addLine(kLineName);
        port = openDevice();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        wince::sim::reset();
    }
    void closePort() {
        ASSERT_TRUE(CloseHandle(port));
        port = INVALID_HANDLE_VALUE;
    }

    std::shared_ptr<wince::sim::SimLine> line;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(SimLineTest, FarEndSeesOpeningsAndAHungUpLineRefusesThem) {
    EXPECT_TRUE(line->isOpen());
    closePort();
    EXPECT_FALSE(line->isOpen());
    line->deliver({1, 2});  // lost: nobody has the line open
    port = openDevice();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(line->isOpen());
    EXPECT_EQ(line->inputQueued(), 0u);

    line->hangUp();
    closePort();
    EXPECT_EQ(openDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SimLineTest, FarEndSeesWhatTheNearEndConfigured) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_NE(dcb.fDummy2, 0u);

    dcb.BaudRate = 12345;
    dcb.Parity = EVENPARITY;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(line->dcb().BaudRate, 12345u);
    EXPECT_EQ(line->dcb().Parity, EVENPARITY);

    COMMTIMEOUTS timeouts{0, 0, 150, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    EXPECT_EQ(line->timeouts().ReadTotalTimeoutConstant, 150u);

    ASSERT_TRUE(SetupComm(port, 2048, 1024));
    EXPECT_EQ(line->setupInQueue(), 2048u);
    EXPECT_EQ(line->setupOutQueue(), 1024u);

    line->deliver({1, 2, 3});
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(line->inputQueued(), 3u);
    ASSERT_TRUE(PurgeComm(port, 15));
    EXPECT_EQ(line->inputQueued(), 0u);
    EXPECT_EQ(line->purgeCalls(), (std::vector<DWORD>{5, 15}));
}

TEST_F(SimLineTest, RefusedRateLeavesTheLineAsItWas) {
    DCB dcb = line_checks::currentDcb(port);
    dcb.BaudRate = 12345;
    ASSERT_TRUE(SetCommState(port, &dcb));
    line->refuseBaudRate(4800);
    dcb.BaudRate = 4800;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(line->dcb().BaudRate, 12345u);
}

TEST_F(SimLineTest, EscapeCallsAreRecordedAndCloseLeavesTheLines) {
    EXPECT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_TRUE(EscapeCommFunction(port, CLRRTS));
    EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(line->escapeCalls(), (std::vector<DWORD>{CLRDTR, CLRRTS, SETDTR}));

    // Closing leaves the lines as they were last driven.
    closePort();
    EXPECT_TRUE(line->dtr());
    EXPECT_FALSE(line->rts());
}

// A slow driver's read still ends at once on a close, a hang-up or an abort.
TEST_F(SimLineTest, DelayedReadEndsOnAbort) {
    line->delayReads(5000);
    line->deliver({1});
    auto read = line_checks::BackgroundRead::start(port, 1);
    line_checks::sleepMs(50);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    ASSERT_TRUE(read->finishesWithin(line_checks::kPromptMs));
    EXPECT_FALSE(read->result().ok);
    EXPECT_EQ(read->result().error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(line->inputQueued(), 1u);
}

TEST_F(SimLineTest, ResponderSeesEachWriteAndItsAnswerArrives) {
    std::vector<Bytes> seen;
    line->setResponder([&](wince::sim::SimLine& far, const Bytes& written) {
        seen.push_back(written);
        far.deliver({0x06});
    });
    DWORD written = 0;
    const uint8_t command[] = {0x10, 0x20, 0x30};
    ASSERT_TRUE(WriteFile(port, command, 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    ASSERT_TRUE(WriteFile(port, command, 0, &written, nullptr));

    EXPECT_EQ(seen, (std::vector<Bytes>{{0x10, 0x20, 0x30}}));
    EXPECT_EQ(line->writeCalls(), (std::vector<DWORD>{3, 0}));
    EXPECT_EQ(line->takeWritten(), (Bytes{0x10, 0x20, 0x30}));
    EXPECT_TRUE(line->takeWritten().empty());
    ASSERT_TRUE(line_checks::setTimeouts(port, MAXDWORD, MAXDWORD, 1));
    EXPECT_EQ(readBytes(port, 4).bytes, (Bytes{0x06}));
}

TEST_F(SimLineTest, StalledAndDelayedWrites) {
    int answers = 0;
    line->setResponder([&](wince::sim::SimLine&, const Bytes&) { ++answers; });
    line->stallWrites(2);
    DWORD written = 99;
    for (int call = 0; call < 2; ++call) {
        ASSERT_TRUE(WriteFile(port, "abcd", 4, &written, nullptr));
        EXPECT_EQ(written, 0u);
    }
    line->delayWrites(100);
    auto start = Clock::now();
    ASSERT_TRUE(WriteFile(port, "abcd", 4, &written, nullptr));
    EXPECT_GE(Clock::now() - start, 95ms);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(line->writeCalls(), (std::vector<DWORD>{4, 4, 4}));
    EXPECT_EQ(line->takeWritten(), (Bytes{'a', 'b', 'c', 'd'}));
}

}  // namespace

// The simulated serial line as the serial library meets it: through
// CreateFileW and the comm calls of the platform layer.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "device.h"
#include "sim.h"
#include "wince.h"

namespace {

using namespace std::chrono_literals;
using wince::sim::Bytes;
using Clock = std::chrono::steady_clock;

constexpr char16_t kLineName[] = u"SIMA:";

HANDLE openDevice(const char16_t* name = kLineName) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Returns queued bytes at once, or waits up to `constantMs` for a first one.
void pollingTimeouts(HANDLE port, DWORD constantMs) {
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, constantMs, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
}

struct ReadResult {
    BOOL ok;
    DWORD error;
    Bytes bytes;
    Clock::duration took;
};

ReadResult readBytes(HANDLE port, DWORD count) {
    Bytes buffer(count);
    DWORD done = 0;
    auto start = Clock::now();
    BOOL ok = ReadFile(port, buffer.data(), count, &done, nullptr);
    ReadResult result{ok, ok ? 0 : GetLastError(), {}, Clock::now() - start};
    result.bytes.assign(buffer.begin(), buffer.begin() + done);
    return result;
}

DWORD queued(HANDLE port) {
    COMSTAT status{};
    DWORD errors = 99;
    EXPECT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, 0u);
    return status.cbInQue;
}

class SimLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        wince::sim::reset();
        line = wince::sim::addLine(kLineName);
        port = openDevice();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        wince::sim::reset();
    }
    void closePort() {
        ASSERT_TRUE(CloseHandle(port));
        port = INVALID_HANDLE_VALUE;
    }

    std::shared_ptr<wince::sim::SimLine> line;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(SimLineTest, OpensExclusivelyAndAgainAfterClose) {
    EXPECT_TRUE(line->isOpen());
    EXPECT_EQ(openDevice(u"sima:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    closePort();
    EXPECT_FALSE(line->isOpen());
    port = openDevice();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(line->isOpen());

    EXPECT_EQ(openDevice(u"NOLINE9:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimLineTest, ReadReturnsQueuedBytesAtOnceOrWaitsForAFirstByte) {
    pollingTimeouts(port, 100);
    ReadResult empty = readBytes(port, 10);
    EXPECT_TRUE(empty.ok);
    EXPECT_TRUE(empty.bytes.empty());
    EXPECT_GE(empty.took, 90ms);

    // Queued bytes come back without waiting out the long constant.
    pollingTimeouts(port, 5000);
    line->deliver({1, 2, 3, 4, 5});
    EXPECT_EQ(queued(port), 5u);
    ReadResult some = readBytes(port, 3);
    EXPECT_EQ(some.bytes, (Bytes{1, 2, 3}));
    EXPECT_EQ(queued(port), 2u);
    ReadResult rest = readBytes(port, 10);
    EXPECT_EQ(rest.bytes, (Bytes{4, 5}));
    EXPECT_LT(some.took + rest.took, 2000ms);

    std::thread farEnd([&] {
        std::this_thread::sleep_for(50ms);
        line->deliver({7, 8});
    });
    ReadResult waited = readBytes(port, 10);
    farEnd.join();
    EXPECT_EQ(waited.bytes, (Bytes{7, 8}));
    EXPECT_LT(waited.took, 2000ms);
}

TEST_F(SimLineTest, ReadWithoutIntervalTimeoutWaitsForTheCount) {
    COMMTIMEOUTS timeouts{0, 0, 150, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    line->deliver({1});
    ReadResult partial = readBytes(port, 4);
    EXPECT_TRUE(partial.ok);
    EXPECT_EQ(partial.bytes, (Bytes{1}));
    EXPECT_GE(partial.took, 140ms);
    EXPECT_EQ(line->timeouts().ReadTotalTimeoutConstant, 150u);
}

TEST_F(SimLineTest, PurgeEmptiesTheInputOnlyForRxClear) {
    line->deliver({1, 2, 3});
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(queued(port), 3u);
    ASSERT_TRUE(PurgeComm(port, 15));
    EXPECT_EQ(queued(port), 0u);
    EXPECT_EQ(line->inputQueued(), 0u);
    EXPECT_EQ(line->purgeCalls(), (std::vector<DWORD>{5, 15}));
}

TEST_F(SimLineTest, CloseEndsABlockedReadAndStaleObjectsFail) {
    auto device = wince::lookup<wince::CommDevice>(port);
    ASSERT_TRUE(device);
    pollingTimeouts(port, 5000);
    ReadResult blocked{};
    std::thread reader([&] { blocked = readBytes(port, 10); });
    std::this_thread::sleep_for(50ms);
    closePort();
    reader.join();
    EXPECT_FALSE(blocked.ok);
    EXPECT_EQ(blocked.error, ERROR_INVALID_HANDLE);
    EXPECT_LT(blocked.took, 2000ms);

    // A new opening must not revive the old device object.
    port = openDevice();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(device->purge(PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
}

TEST_F(SimLineTest, HangUpFailsEveryLaterCallAndOpen) {
    pollingTimeouts(port, 5000);
    ReadResult blocked{};
    std::thread reader([&] { blocked = readBytes(port, 10); });
    std::this_thread::sleep_for(50ms);
    line->hangUp();
    reader.join();
    EXPECT_FALSE(blocked.ok);
    EXPECT_EQ(blocked.error, ERROR_DEVICE_NOT_CONNECTED);

    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    COMSTAT status{};
    EXPECT_FALSE(ClearCommError(port, nullptr, &status));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    closePort();
    EXPECT_EQ(openDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
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
    pollingTimeouts(port, 1);
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

TEST_F(SimLineTest, CommStateKeepsWhatWasSetAndRefusesARate) {
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

    line->refuseBaudRate(4800);
    dcb.BaudRate = 4800;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(line->dcb().BaudRate, 12345u);

    ASSERT_TRUE(SetupComm(port, 2048, 1024));
    EXPECT_EQ(line->setupInQueue(), 2048u);
    EXPECT_EQ(line->setupOutQueue(), 1024u);
}

TEST_F(SimLineTest, EscapeDrivesTheModemLines) {
    EXPECT_TRUE(line->dtr());
    EXPECT_TRUE(line->rts());
    EXPECT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_TRUE(EscapeCommFunction(port, CLRRTS));
    EXPECT_FALSE(line->dtr());
    EXPECT_FALSE(line->rts());
    EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
    EXPECT_TRUE(line->dtr());
    EXPECT_FALSE(line->rts());
    EXPECT_EQ(line->escapeCalls(), (std::vector<DWORD>{CLRDTR, CLRRTS, SETDTR}));

    // Closing leaves the lines as they were last driven.
    closePort();
    EXPECT_TRUE(line->dtr());
}

}  // namespace

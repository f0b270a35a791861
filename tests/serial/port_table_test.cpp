// Opening and closing ports: slot choice, line settings per family, the
// failure table and what each failure leaves behind.
#include "port_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

#include "kernel_object.h"

using namespace wince::sim;

namespace {

class PortTable : public PortFixture {};

TEST_F(PortTable, SlotsAreTakenInOrderAndAFreedSlotIsReused) {
    for (int n = 1; n <= 5; ++n) addLine(comName(n));
    for (int32_t expected = 0; expected < kPortCount; ++expected) {
        int32_t index = -1;
        ASSERT_EQ(0, open(comName(expected + 1), InstrumentFamily::KELT3B, index));
        EXPECT_EQ(expected, index);
    }
    int32_t index = -1;
    EXPECT_EQ(ERR_RS_OPEN, open(comName(5), InstrumentFamily::KELT3B, index));
    EXPECT_EQ(kPortCount, index);
    EXPECT_TRUE(messageBoxes().empty());

    EXPECT_NE(0, closePort(1));
    EXPECT_EQ(0, open(comName(5), InstrumentFamily::VX9, index));
    EXPECT_EQ(1, index);
    EXPECT_EQ(u"COM5:", slotName(1));
}

TEST_F(PortTable, DeviceAlreadyHeldOrUnknownFailsWithoutABoxAndLeavesTheSlotFree) {
    addLine(u"COM1:");
    int32_t first = -1, second = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::QTVv2, first));
    EXPECT_EQ(static_cast<ResultCode>(ERROR_ACCESS_DENIED), open(u"COM1:", InstrumentFamily::QTVv2, second));
    EXPECT_EQ(1, second);
    EXPECT_EQ(nullptr, portTable[1].hPort.load());
    EXPECT_EQ(static_cast<ResultCode>(ERROR_FILE_NOT_FOUND), open(u"COM9:", InstrumentFamily::QTVv2, second));
    EXPECT_EQ(1, second);
    EXPECT_TRUE(messageBoxes().empty());
    EXPECT_EQ(u"", slotName(1));
}

TEST_F(PortTable, EachFamilyConfiguresItsLineAndModemLines) {
    struct Case {
        InstrumentFamily family;
        DWORD baud;
        BYTE parity;
        bool dtr;
    };
    const Case cases[] = {{InstrumentFamily::QTVv1, 1200, EVENPARITY, false},
                          {InstrumentFamily::QTVv2, 4800, NOPARITY, true},
                          {InstrumentFamily::KELT3B, 19200, NOPARITY, false},
                          {InstrumentFamily::VX9, 9600, NOPARITY, false}};
    int number = 1;
    for (const Case& c : cases) {
        auto line = addLine(comName(number));
        DCB before = line->dcb();
        int32_t index = -1;
        ASSERT_EQ(0, open(comName(number++), c.family, index, 1200));
        DCB dcb = line->dcb();
        EXPECT_EQ(c.baud, dcb.BaudRate);
        EXPECT_EQ(c.parity, dcb.Parity);
        EXPECT_EQ(8, dcb.ByteSize);
        EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
        EXPECT_EQ(1u, dcb.fBinary);
        EXPECT_EQ(1u, dcb.fParity);
        EXPECT_EQ(0u, dcb.fOutX | dcb.fInX | dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fAbortOnError);
        EXPECT_EQ(c.dtr ? 1u : 0u, dcb.fDtrControl);
        EXPECT_EQ(0u, dcb.fRtsControl);
        // What the configuration does not set keeps the device's values.
        EXPECT_EQ(before.fDummy2, dcb.fDummy2);
        EXPECT_EQ(before.XonLim, dcb.XonLim);
        EXPECT_EQ(before.XoffChar, dcb.XoffChar);
        EXPECT_EQ(c.dtr, line->dtr());
        EXPECT_FALSE(line->rts());
        COMMTIMEOUTS t = line->timeouts();
        EXPECT_EQ(MAXDWORD, t.ReadIntervalTimeout);
        EXPECT_EQ(MAXDWORD, t.ReadTotalTimeoutMultiplier);
        EXPECT_EQ(1u, t.ReadTotalTimeoutConstant);
        EXPECT_EQ(100u, t.WriteTotalTimeoutMultiplier);
        EXPECT_EQ(2000u, t.WriteTotalTimeoutConstant);
        EXPECT_EQ(2048u, line->setupInQueue());
        EXPECT_EQ(1024u, line->setupOutQueue());
    }
}

struct FailingStep {
    const char* call;
    int skip;
    const char16_t* boxText;  // null: no box
    int liveEvents;           // events made before the failure: write done, reply ready, worker wake-up
};

void PrintTo(const FailingStep& step, std::ostream* out) { *out << step.call << " after " << step.skip; }

class OpenFailure : public PortFixture, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(OpenFailure, ReturnsTheCodeShowsTheBoxAndHoldsTheSlot) {
    const FailingStep step = GetParam();
    addLine(u"COM1:");
    addLine(u"COM2:");
    int32_t index = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::VX9, index));
    ASSERT_NE(0, closePort(0));
    ASSERT_TRUE(workerEnds(0));  // its last calls must not meet the armed fault
    const size_t handlesBefore = wince::liveHandleCount();

    failCall(step.call, 1234, 1, step.skip);
    EXPECT_EQ(1234, open(u"COM2:", InstrumentFamily::KELT3B, index));
    EXPECT_EQ(0, index);
    auto boxes = messageBoxes();
    if (step.boxText) {
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(u"InitialiserRS232", boxes[0].caption);
        EXPECT_EQ(step.boxText, boxes[0].text);
        EXPECT_EQ(MB_OK | MB_ICONHAND, boxes[0].style);
    } else {
        EXPECT_TRUE(boxes.empty());
    }
    // Held: the device stays open, the name is the previous opening's.
    EXPECT_NE(nullptr, portTable[0].hPort.load());
    EXPECT_EQ(u"COM1:", slotName(0));
    EXPECT_EQ(1u + static_cast<size_t>(step.liveEvents), wince::liveHandleCount() - handlesBefore);
    EXPECT_FALSE(portTable[0].workerRunning.load());

    // Only closing frees it, and closing releases exactly what was opened.
    EXPECT_EQ(step.liveEvents >= 2 ? 1 : 0, closePort(0) != 0);
    EXPECT_EQ(handlesBefore, wince::liveHandleCount());
    EXPECT_EQ(0, open(u"COM2:", InstrumentFamily::KELT3B, index));
    EXPECT_EQ(0, index);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, OpenFailure,
                         ::testing::Values(FailingStep{"SetupComm", 0, nullptr, 0},
                                           FailingStep{"PurgeComm", 0, nullptr, 0},
                                           FailingStep{"GetCommState", 0, u"Erreur GetCommState", 0},
                                           FailingStep{"SetCommState", 0, u"Erreur SetCommState", 0},
                                           FailingStep{"SetCommTimeouts", 0, u"Erreur SetCommTimeouts", 0},
                                           FailingStep{"CreateEventW", 0, u"Erreur Create WriteEvent", 0},
                                           FailingStep{"CreateEventW", 1, u"Erreur Create ReadEvent", 1},
                                           FailingStep{"CreateThread", 0, u"Erreur CreateThread", 3}),
                         [](const ::testing::TestParamInfo<FailingStep>& info) {
                             return std::string(info.param.call) + (info.param.skip ? "Second" : "");
                         });

TEST_F(PortTable, RefusedRateFailsAtSetCommState) {
    addLine(u"COM1:")->refuseBaudRate(12345);
    int32_t index = -1;
    EXPECT_EQ(static_cast<ResultCode>(ERROR_INVALID_PARAMETER),
              open(u"COM1:", InstrumentFamily::QTVv1, index, 12345));
    ASSERT_EQ(1u, messageBoxes().size());
    EXPECT_EQ(u"Erreur SetCommState", messageBoxes()[0].text);
}

TEST_F(PortTable, ClosingLowersTheLinesEndsTheWorkerAndReleasesEveryHandle) {
    auto line = addLine(u"COM1:");
    const size_t handlesBefore = wince::liveHandleCount();
    int32_t index = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::QTVv2, index));
    ASSERT_TRUE(line->dtr());
    EXPECT_NE(0, closePort(index));
    EXPECT_FALSE(line->dtr());
    EXPECT_FALSE(line->rts());
    EXPECT_FALSE(line->isOpen());
    EXPECT_TRUE(workerEnds(index, 200));
    EXPECT_EQ(handlesBefore, wince::liveHandleCount());
    EXPECT_EQ(u"COM1:", slotName(index));  // the name outlives the opening
    // The lines were lowered before the device was closed.
    auto escapes = line->escapeCalls();
    ASSERT_GE(escapes.size(), 2u);
    EXPECT_EQ(CLRDTR, escapes[escapes.size() - 2]);
    EXPECT_EQ(CLRRTS, escapes.back());
}

TEST_F(PortTable, ClosingAFreeSlotClosesNothing) {
    EXPECT_EQ(0, closePort(2));
    EXPECT_EQ(nullptr, portTable[2].hPort.load());
    EXPECT_EQ(u"", slotName(2));
    EXPECT_EQ(0, callCount("CloseHandle"));
}

TEST_F(PortTable, ReopeningManyTimesLeaksNoHandleAndNeverSharesAWorker) {
    auto line = addLine(u"COM1:");
    const size_t handlesBefore = wince::liveHandleCount();
    for (int round = 0; round < 20; ++round) {
        int32_t index = -1;
        ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, index));
        ASSERT_EQ(0, index);
        ASSERT_NE(0, closePort(index));
    }
    EXPECT_TRUE(workerEnds(0));
    EXPECT_EQ(handlesBefore, wince::liveHandleCount());
}

TEST_F(PortTable, ASlotIsReopenedOnlyAfterItsPreviousWorkerHasEnded) {
    auto oldLine = addLine(u"COM1:");
    addLine(u"COM2:");
    int32_t index = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, index));
    // The worker is left inside a slow write that the caller gave up on.
    oldLine->delayWrites(700);
    portTable[0].timeoutMs = 50;
    uint8_t message[2] = {7, 7};
    ASSERT_EQ(ERR_RS_TIMEOUT, sendMessage(0, message, 2));
    ASSERT_TRUE(portTable[0].workerRunning.load());
    ASSERT_NE(0, closePort(0));

    auto start = Clock::now();
    ASSERT_EQ(0, open(u"COM2:", InstrumentFamily::KELT3B, index));
    EXPECT_EQ(0, index);
    // The open waited for the old worker, then made its own 100 ms pause.
    EXPECT_GE(msSince(start), 400);
}

TEST_F(PortTable, AReopenGivesUpOnAWorkerStuckInTheDriverAndTheSlotStaysUsable) {
    auto stuckLine = addLine(u"COM1:");
    addLine(u"COM2:");
    int32_t index = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, index));
    stuckLine->delayWrites(4000);
    uint8_t message[2] = {7, 7};
    std::thread sender([&] { sendMessage(0, message, 2); });
    while (stuckLine->writeCalls().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(0, closePort(0));

    auto start = Clock::now();
    EXPECT_EQ(static_cast<ResultCode>(ERROR_BUSY), open(u"COM2:", InstrumentFamily::KELT3B, index));
    EXPECT_LE(msSince(start), 2500);
    EXPECT_EQ(0, index);
    EXPECT_EQ(nullptr, portTable[0].hPort.load());
    EXPECT_TRUE(messageBoxes().empty());
    sender.join();

    ASSERT_TRUE(workerEnds(0, 4000));
    EXPECT_EQ(0, open(u"COM2:", InstrumentFamily::KELT3B, index));
    EXPECT_EQ(0, index);
}

// One thread per instrument, each opening and closing its own device over
// and over: no two live openings ever share a slot, and no open fails.
TEST_F(PortTable, OpensAndClosesFromFourThreadsNeverShareASlot) {
    shortenSleeps(100, 1);
    for (int n = 1; n <= kPortCount; ++n) addLine(comName(n));
    std::atomic<int> owner[kPortCount];
    for (auto& cell : owner) cell = 0;
    std::atomic<int> shared{0}, failed{0};
    auto run = [&](int number) {
        for (int round = 0; round < 300; ++round) {
            int32_t index = -1;
            if (open(comName(number), InstrumentFamily::VX9, index) != 0 || !isPortIndex(index)) {
                ++failed;
                continue;
            }
            if (owner[index].exchange(number) != 0) ++shared;
            std::this_thread::yield();
            if (owner[index].exchange(0) != number) ++shared;
            closePort(index);
        }
    };
    std::vector<std::thread> threads;
    for (int n = 1; n <= kPortCount; ++n) threads.emplace_back(run, n);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, shared.load());
    EXPECT_EQ(0, failed.load());
    for (int n = 1; n <= kPortCount; ++n) {
        int32_t index = -1;
        EXPECT_EQ(0, open(comName(n), InstrumentFamily::VX9, index)) << "COM" << n;
    }
}

}  // namespace

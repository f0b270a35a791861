// Thousands of opens and closes of all four slots leave the process's open
// descriptors, threads and handles where they were, on simulated lines and
// on real pseudo-terminals; a close that races a waiting receive on another
// thread (which callers must not do) neither crashes nor deadlocks.
//
// SERIAL_SIM_CYCLES, SERIAL_PTY_CYCLES and SERIAL_CLOSE_RACES change the
// number of rounds (for longer runs than CI's). Under a sanitizer every
// round costs several times as much: the defaults are a tenth there.
#include <jni.h>

#include <future>
#include <random>

#include "fake_jni.h"
#include "kernel_object.h"
#include "port_fixture.h"
#include "resource_probe.h"

#include "serial_natives.h"

using namespace wince::sim;

namespace {

const InstrumentFamily kSlotFamilies[kPortCount] = {InstrumentFamily::QTVv1, InstrumentFamily::QTVv2,
                                                    InstrumentFamily::KELT3B, InstrumentFamily::VX9};

constexpr int kDefaultRoundsDivisor = line_checks::kUnderSanitizer ? 10 : 1;

int roundsFromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback / kDefaultRoundsDivisor;
}

struct Snapshot {
    int descriptors;
    int threads;
    size_t handles;
};

// ThreadSanitizer's runtime starts a thread of its own when the process
// starts its first one; running a thread before counting keeps it out of
// the comparison.
Snapshot takeSnapshot() {
    std::thread([] {}).join();
    return {openDescriptors(), threadCount(), wince::liveHandleCount()};
}

class Resources : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        // Each open ends with a fixed 100 ms pause; 40,000 of them would take
        // over an hour, so the test build lets this test cut that one pause
        // length short. Nothing else about the open changes.
        shortenSleeps(kSettleAfterOpenMs, 0);
    }

    // Opens the four slots, one family each, then closes them all.
    static void cycleAllSlots(const std::u16string (&names)[kPortCount]) {
        for (int32_t expected = 0; expected < kPortCount; ++expected) {
            int32_t index = -1;
            ASSERT_EQ(0, open(names[expected], kSlotFamilies[expected], index));
            ASSERT_EQ(expected, index);
        }
        for (int32_t index = 0; index < kPortCount; ++index) ASSERT_NE(0, closePort(index));
    }

    // Runs the cycles after one to warm up, and compares what the process
    // holds before and after, once the last workers have ended.
    void expectCyclesLeaveNothing(const char* label, const std::u16string (&names)[kPortCount], int cycles) {
        cycleAllSlots(names);
        ASSERT_FALSE(HasFatalFailure());
        for (int32_t i = 0; i < kPortCount; ++i) ASSERT_TRUE(workerEnds(i));
        const Snapshot before = takeSnapshot();
        const auto start = Clock::now();
        for (int cycle = 0; cycle < cycles && !HasFatalFailure(); ++cycle) cycleAllSlots(names);
        ASSERT_FALSE(HasFatalFailure());
        const long elapsed = msSince(start);
        for (int32_t i = 0; i < kPortCount; ++i) ASSERT_TRUE(workerEnds(i));
        const Snapshot after = {settledValue(before.descriptors, openDescriptors),
                                settledValue(before.threads, threadCount), wince::liveHandleCount()};
        EXPECT_EQ(before.descriptors, after.descriptors);
        EXPECT_EQ(before.threads, after.threads);
        EXPECT_EQ(before.handles, after.handles);
        std::printf(
            "%s: %d cycles (%d opens) in %ld ms; descriptors %d -> %d, threads %d -> %d, handles %zu -> "
            "%zu\n",
            label, cycles, cycles * kPortCount, elapsed, before.descriptors, after.descriptors,
            before.threads, after.threads, before.handles, after.handles);
        RecordProperty("cycles", cycles);
        RecordProperty("elapsed_ms", static_cast<int>(elapsed));
    }
};

TEST_F(Resources, TenThousandCyclesOnSimulatedLinesLeaveNothingBehind) {
    const std::u16string names[kPortCount] = {comName(1), comName(2), comName(3), comName(4)};
    for (const auto& name : names) addLine(name);
    expectCyclesLeaveNothing("simulated lines", names, roundsFromEnvironment("SERIAL_SIM_CYCLES", 10000));
}

TEST_F(Resources, CyclesOnPseudoTerminalsLeaveNothingBehind) {
    Pty terminals[kPortCount] = {Pty(21), Pty(22), Pty(23), Pty(24)};
    for (const Pty& pty : terminals) ASSERT_TRUE(pty.ready());
    const std::u16string names[kPortCount] = {ptyPortName(21), ptyPortName(22), ptyPortName(23),
                                              ptyPortName(24)};
    int32_t index = -1;
    ASSERT_EQ(0, open(names[0], InstrumentFamily::VX9, index));
    ASSERT_NE(0, closePort(index));
    expectCyclesLeaveNothing("pseudo-terminals", names, roundsFromEnvironment("SERIAL_PTY_CYCLES", 10000));
}

// A pseudo-terminal holds its settings between openings but never takes
// parity: an even-parity port opened again on it changes nothing else, and
// must still open.
TEST_F(Resources, EvenParityPortReopensOnTheSamePseudoTerminal) {
    Pty pty(22);
    ASSERT_TRUE(pty.ready());
    for (InstrumentFamily family :
         {InstrumentFamily::QTVv1, InstrumentFamily::QTVv1, InstrumentFamily::VX9, InstrumentFamily::QTVv1}) {
        int32_t index = -1;
        ASSERT_EQ(0, open(ptyPortName(22), family, index));
        ASSERT_NE(0, closePort(index));
        ASSERT_TRUE(workerEnds(index));
    }
    EXPECT_TRUE(messageBoxes().empty());
}

// A buggy caller closes the port from one thread while another waits in
// RecRS. Whatever the moment, the receive ends with a frame, a timeout or
// the invalid-handle code of the closed events, its arrays are released,
// and nothing of the port remains.
TEST_F(Resources, CloseDuringAWaitingReceiveNeitherCrashesNorDeadlocks) {
    FakeJni jni;
    JNIEnv* env = jni.env();
    auto line = addLine(u"COM1:");
    // The instrument answers every other command, so closes also meet
    // frames being recognised.
    auto commands = std::make_shared<std::atomic<int>>(0);
    line->setResponder([commands](SimLine& far, const Bytes&) {
        if (++*commands % 2 == 0) far.deliver(kelt3bFrame(5));
    });
    const Snapshot before = takeSnapshot();
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> closeDelayMs(0, 150);
    const int rounds = roundsFromEnvironment("SERIAL_CLOSE_RACES", 150);
    int frames = 0, timeouts = 0, invalidHandles = 0;

    for (int round = 0; round < rounds; ++round) {
        jintArray index = jni.ints({-1});
        ASSERT_EQ(0, Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(env, nullptr, jni.string(u"COM1:"),
                                                                         index));
        portTable[0].timeoutMs = 30;  // rounds of a few waits, not seconds
        ASSERT_EQ(0, Java_com_tavrix_tools_comm_SerialQTV_EnvRS(env, nullptr, 0, jni.bytes({1, 2}), 2));
        jbyteArray reply = jni.bytes(std::vector<jbyte>(12, 0));
        jintArray length = jni.ints({5});
        auto receiving = std::async(std::launch::async, [&] {
            return Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, 0, reply, length);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(closeDelayMs(random)));
        Java_com_tavrix_tools_comm_SerialQTV_FermRS(env, nullptr, 0);
        if (receiving.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "RecRS still waiting 10 s after the close, round " << round;
            std::abort();  // the future would block the test for ever
        }
        const jint result = receiving.get();
        if (result == 0) {
            ++frames;
            EXPECT_EQ(std::vector<jint>{12}, jni.ints(length));
        } else if (result == ERR_RS_TIMEOUT) {
            ++timeouts;
        } else {
            EXPECT_EQ(static_cast<jint>(ERROR_INVALID_HANDLE), result) << "round " << round;
            ++invalidHandles;
        }
        if (result != 0) {
            EXPECT_EQ(std::vector<jint>{5}, jni.ints(length));
        }
        ASSERT_TRUE(workerEnds(0));
        EXPECT_EQ(0, jni.outstandingPins());
    }
    EXPECT_EQ(before.handles, wince::liveHandleCount());
    EXPECT_EQ(before.threads, settledValue(before.threads, threadCount));
    EXPECT_EQ(before.descriptors, openDescriptors());
    std::printf("%d closes during RecRS: %d frames, %d timeouts, %d invalid handles\n", rounds, frames,
                timeouts, invalidHandles);
    line->setResponder(nullptr);
}

}  // namespace

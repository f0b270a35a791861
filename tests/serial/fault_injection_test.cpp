// Every platform call of the port natives fails once, in turn, at every
// point of an open, a send, a receive and a close: the natives give the
// result that step's failure calls for, leak no handle or thread, and the
// slot closes, reopens and exchanges afterwards. Then the device vanishing
// mid-exchange (simulated and on a real pseudo-terminal), a close while the
// worker is inside a read, failed event signals and failed writes in a row.
#include <jni.h>

#include <array>
#include <atomic>
#include <map>
#include <optional>

#include "fake_jni.h"
#include "kernel_object.h"
#include "port_fixture.h"
#include "resource_probe.h"

#include "serial_natives.h"

using namespace wince::sim;

namespace {

constexpr DWORD kInjected = 1234;
const Bytes kCommand = {0x4B, 0x01, 0x02};
const Bytes kFrame = kelt3bFrame(0x33);

// Every platform call the port natives make.
const char* const kPlatformCalls[] = {
    "CreateFileW",  "SetupComm",           "PurgeComm",       "GetCommState",
    "SetCommState", "EscapeCommFunction",  "SetCommTimeouts", "ClearCommError",
    "ReadFile",     "WriteFile",           "CreateEventW",    "SetEvent",
    "ResetEvent",   "WaitForSingleObject", "CloseHandle",     "CreateThread"};

enum class Phase { Open, Send, Receive, Close };

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::Open: return "Open";
        case Phase::Send: return "Send";
        case Phase::Receive: return "Receive";
        case Phase::Close: return "Close";
    }
    return "?";
}

using CallCounts = std::map<std::string, int>;

CallCounts countCalls() {
    CallCounts counts;
    for (const char* call : kPlatformCalls) counts[call] = callCount(call);
    return counts;
}

CallCounts callsSince(const CallCounts& before) {
    CallCounts made;
    for (const auto& [call, count] : countCalls()) {
        if (count != before.at(call)) made[call] = count - before.at(call);
    }
    return made;
}

// The far end: answers each command with kFrame once the caller waits for
// the reply, so an answer never arrives before RecRS asked for it (bytes
// already in the window are only looked at when more arrive).
class Instrument {
public:
    Instrument(std::shared_ptr<SimLine> line, int32_t slot) : line_(std::move(line)), slot_(slot) {
        // The worker may still be inside the responder when the instrument
        // goes: the flag outlives it.
        line_->setResponder([arrived = commandArrived_](SimLine&, const Bytes&) { *arrived = true; });
        thread_ = std::thread([this] { run(); });
    }
    ~Instrument() {
        line_->setResponder(nullptr);
        stop_ = true;
        thread_.join();
    }
    void silence(bool silent) { silent_ = silent; }

private:
    void run() {
        while (!stop_) {
            if (!silent_ && portTable[slot_].replyWanted.load() == kHandoverRaised &&
                commandArrived_->exchange(false)) {
                line_->deliver(kFrame);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::shared_ptr<SimLine> line_;
    int32_t slot_;
    std::shared_ptr<std::atomic<bool>> commandArrived_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> silent_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Fault {
    Phase phase;
    std::string call;
    int skip;  // the fault hits the call's occurrence `skip` (from 0) in the phase
};

// What one run of open, send, receive and close gave.
struct ExchangeRun {
    jint open = -1, send = -1, receive = -1, close = -1;
    int32_t slot = -1;
    Bytes written;
    std::vector<jint> replyLength;
    Bytes reply;
    bool fired = false;           // the armed fault was reached
    std::vector<HANDLE> refused;  // handles still open after the close
    std::array<CallCounts, 4> calls;
};

class FaultInjection : public PortFixture {
protected:
    FakeJni jni;
    JNIEnv* env = jni.env();
    std::shared_ptr<SimLine> line;
    std::unique_ptr<Instrument> instrument;
    size_t handlesAtStart = 0;
    int threadsAtStart = 0;

    void SetUp() override {
        PortFixture::SetUp();
        // The open's 100 ms settle pause costs every case real time and
        // changes nothing here.
        shortenSleeps(kSettleAfterOpenMs, 0);
        line = addLine(u"COM1:");
        instrument = std::make_unique<Instrument>(line, 0);
        handlesAtStart = wince::liveHandleCount();
        threadsAtStart = threadCount();
    }

    void TearDown() override {
        instrument.reset();
        EXPECT_EQ(0, jni.outstandingPins());
        EXPECT_FALSE(jni.pendingException().has_value());
        PortFixture::TearDown();
    }

    jint openNative(jintArray index) {
        return Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(env, nullptr, jni.string(u"COM1:"), index);
    }
    jint sendNative(int32_t slot) {
        return Java_com_tavrix_tools_comm_SerialQTV_EnvRS(env, nullptr, slot, jni.bytes(kCommand),
                                                          static_cast<jint>(kCommand.size()));
    }
    jint closeNative(int32_t slot) { return Java_com_tavrix_tools_comm_SerialQTV_FermRS(env, nullptr, slot); }

    // Runs `step` with the fault armed if it belongs to `phase`; notes the
    // calls the phase made and whether the fault was reached.
    template <class Step>
    void inPhase(Phase phase, const std::optional<Fault>& fault, ExchangeRun& run, Step step) {
        const bool armed = fault && fault->phase == phase;
        const CallCounts before = countCalls();
        if (armed) failCall(fault->call, kInjected, 1, fault->skip);
        step();
        if (armed) {
            failCall(fault->call, 0, 0);
            run.fired = callCount(fault->call) - before.at(fault->call) > fault->skip;
        }
        run.calls[static_cast<int>(phase)] = callsSince(before);
    }

    static void awaitPoll(int pollsBefore) {
        for (int waited = 0; callCount("ClearCommError") == pollsBefore && waited < 1000; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    ExchangeRun runExchange(const std::optional<Fault>& fault) {
        ExchangeRun run;
        line->takeWritten();  // what an earlier run left
        jintArray index = jni.ints({-1});
        inPhase(Phase::Open, fault, run, [&] {
            const int pollsBefore = callCount("ClearCommError");
            run.open = openNative(index);
            // In place of the settle pause: the open ends once the new worker
            // has started (its first purge) and polled the device.
            if (run.open == 0) awaitPoll(pollsBefore);
        });
        run.slot = jni.ints(index)[0];
        if (run.open != 0) return run;

        inPhase(Phase::Send, fault, run, [&] { run.send = sendNative(run.slot); });
        run.written = line->takeWritten();

        jbyteArray reply = jni.bytes(std::vector<jbyte>(16, 0x77));
        jintArray length = jni.ints({-3});
        inPhase(Phase::Receive, fault, run, [&] {
            run.receive = Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, run.slot, reply, length);
        });
        run.replyLength = jni.ints(length);
        Bytes got = jni.unsignedBytes(reply);
        run.reply.assign(got.begin(), got.begin() + 12);

        const PortSlot& slot = portTable[run.slot];
        const HANDLE owned[] = {slot.hWorker, slot.hPort.load(), slot.hWorkerWake.load(), slot.hWriteDone,
                                slot.hReplyReady};
        inPhase(Phase::Close, fault, run, [&] {
            run.close = closeNative(run.slot);
            EXPECT_TRUE(workerEnds(run.slot));
        });
        for (HANDLE handle : owned) {
            if (wince::lookupObject(handle)) run.refused.push_back(handle);
        }
        return run;
    }

    // Nothing of the run may remain: no handle, no worker, no thread.
    void expectNothingLeft(int32_t slot) {
        EXPECT_FALSE(portTable[slot].workerRunning.load());
        EXPECT_EQ(nullptr, portTable[slot].hPort.load());
        EXPECT_EQ(handlesAtStart, wince::liveHandleCount());
        EXPECT_EQ(threadsAtStart, settledValue(threadsAtStart, threadCount));
        EXPECT_EQ(0, jni.outstandingPins());
    }

    // FermRS succeeds, the worker ends and nothing of the opening remains.
    void closeLeavingNothing(int32_t slot) {
        EXPECT_NE(0, closeNative(slot));
        ASSERT_TRUE(workerEnds(slot));
        expectNothingLeft(slot);
    }

    void expectCleanExchange() {
        ExchangeRun run = runExchange(std::nullopt);
        EXPECT_EQ(0, run.open);
        EXPECT_EQ(0, run.send);
        EXPECT_EQ(kCommand, run.written);
        EXPECT_EQ(0, run.receive);
        EXPECT_EQ(std::vector<jint>{12}, run.replyLength);
        EXPECT_EQ(kFrame, run.reply);
        EXPECT_NE(0, run.close);
        expectNothingLeft(0);
    }
};

// The steps whose failure the open reports, by call and occurrence; every
// other call of the open phase (the modem lines, the worker's wake-up event,
// the new worker's polling) is ignored and the open succeeds.
struct OpenStep {
    const char* call;
    int occurrence;
    const char16_t* boxText;  // null: reported without a box
};
const OpenStep kReportedOpenSteps[] = {
    {"CreateFileW", 0, nullptr},
    {"SetupComm", 0, nullptr},
    {"PurgeComm", 0, nullptr},
    {"GetCommState", 0, u"Erreur GetCommState"},
    {"SetCommState", 0, u"Erreur SetCommState"},
    {"SetCommTimeouts", 0, u"Erreur SetCommTimeouts"},
    {"CreateEventW", 0, u"Erreur Create WriteEvent"},
    {"CreateEventW", 1, u"Erreur Create ReadEvent"},
    {"CreateThread", 0, u"Erreur CreateThread"},
};

const OpenStep* reportedOpenStep(const Fault& fault) {
    for (const OpenStep& step : kReportedOpenSteps) {
        if (fault.call == step.call && fault.skip == step.occurrence) return &step;
    }
    return nullptr;
}

// CloseHandle calls of a close, in order: thread, device, wake-up event,
// write event, reply event. The last one's flag is what FermRS returns.
constexpr int kReplyEventClose = 4;

struct PhaseCall {
    Phase phase;
    const char* call;
};

void PrintTo(const PhaseCall& point, std::ostream* out) {
    *out << phaseName(point.phase) << " " << point.call;
}

// Every call each phase of a clean run makes; ClearCommError, ReadFile,
// the worker's PurgeComm and its pauses (WaitForSingleObject) come from its
// polling and vary in number.
const PhaseCall kPhaseCalls[] = {
    {Phase::Open, "CreateFileW"},
    {Phase::Open, "SetupComm"},
    {Phase::Open, "PurgeComm"},
    {Phase::Open, "GetCommState"},
    {Phase::Open, "SetCommState"},
    {Phase::Open, "EscapeCommFunction"},
    {Phase::Open, "SetCommTimeouts"},
    {Phase::Open, "CreateEventW"},
    {Phase::Open, "CreateThread"},
    {Phase::Open, "ClearCommError"},
    {Phase::Open, "WaitForSingleObject"},
    {Phase::Send, "ResetEvent"},
    {Phase::Send, "WaitForSingleObject"},
    {Phase::Send, "PurgeComm"},
    {Phase::Send, "ClearCommError"},
    {Phase::Send, "WriteFile"},
    {Phase::Send, "SetEvent"},
    {Phase::Receive, "ResetEvent"},
    {Phase::Receive, "WaitForSingleObject"},
    {Phase::Receive, "ClearCommError"},
    {Phase::Receive, "ReadFile"},
    {Phase::Receive, "SetEvent"},
    {Phase::Close, "EscapeCommFunction"},
    {Phase::Close, "CloseHandle"},
    {Phase::Close, "PurgeComm"},
    {Phase::Close, "ClearCommError"},
    {Phase::Close, "WaitForSingleObject"},
};

bool isListed(Phase phase, const std::string& call) {
    for (const PhaseCall& point : kPhaseCalls) {
        if (point.phase == phase && call == point.call) return true;
    }
    return false;
}

TEST_F(FaultInjection, CleanRunMakesTheListedCallsOnly) {
    ExchangeRun run = runExchange(std::nullopt);
    ASSERT_EQ(0, run.open);
    EXPECT_EQ(0, run.send);
    EXPECT_EQ(0, run.receive);
    EXPECT_NE(0, run.close);
    for (Phase phase : {Phase::Open, Phase::Send, Phase::Receive, Phase::Close}) {
        for (const auto& [call, count] : run.calls[static_cast<int>(phase)]) {
            EXPECT_TRUE(isListed(phase, call)) << phaseName(phase) << " made " << count << " " << call;
        }
    }
    const CallCounts& open = run.calls[0];
    EXPECT_EQ(3, open.at("CreateEventW"));
    EXPECT_EQ(2, open.at("EscapeCommFunction"));
    EXPECT_EQ(1, open.at("CreateThread"));
    EXPECT_EQ(2, open.at("PurgeComm"));  // the open's, then the new worker's
    const CallCounts& send = run.calls[1];
    EXPECT_EQ(1, send.at("WriteFile"));
    EXPECT_EQ(2, send.at("SetEvent"));  // the worker's wake-up, then write done
    EXPECT_EQ(1, run.calls[2].at("SetEvent"));
    EXPECT_EQ(5, run.calls[3].at("CloseHandle"));
    expectNothingLeft(0);
}

class EveryCallFailsOnce : public FaultInjection, public ::testing::WithParamInterface<PhaseCall> {
protected:
    void expectPhaseResult(const Fault& fault, const ExchangeRun& run) {
        switch (fault.phase) {
            case Phase::Open: return expectOpenResult(fault, run);
            case Phase::Send:
                // A failed write is retried; a lost signal or a failed wait costs
                // one more attempt, which writes the command once more.
                EXPECT_EQ(0, run.send);
                EXPECT_TRUE(run.written == kCommand || run.written == (Bytes{0x4B, 1, 2, 0x4B, 1, 2}))
                    << ::testing::PrintToString(run.written);
                break;
            case Phase::Receive:
                // A lost read or signal costs one wait and a resend.
                EXPECT_EQ(0, run.receive);
                EXPECT_EQ(std::vector<jint>{12}, run.replyLength);
                EXPECT_EQ(kFrame, run.reply);
                break;
            case Phase::Close: {
                const bool refusedClose = fault.call == "CloseHandle" && run.fired;
                EXPECT_EQ(!(refusedClose && fault.skip == kReplyEventClose), run.close != 0);
                // A close the platform refused leaves exactly that handle open.
                EXPECT_EQ(refusedClose ? 1u : 0u, run.refused.size());
                break;
            }
        }
        if (fault.phase != Phase::Open) {
            EXPECT_EQ(0, run.open);
            EXPECT_TRUE(messageBoxes().empty());
        }
    }

    void expectOpenResult(const Fault& fault, const ExchangeRun& run) {
        EXPECT_EQ(0, run.slot);
        const OpenStep* step = run.fired ? reportedOpenStep(fault) : nullptr;
        if (!step) {
            // The port works, if need be without the worker's wake-up.
            EXPECT_EQ(0, run.open);
            EXPECT_EQ(0, run.send);
            EXPECT_EQ(0, run.receive);
            EXPECT_EQ(kFrame, run.reply);
            EXPECT_TRUE(messageBoxes().empty());
            return;
        }
        EXPECT_EQ(static_cast<jint>(kInjected), run.open);
        auto boxes = messageBoxes();
        EXPECT_EQ(step->boxText ? 1u : 0u, boxes.size());
        if (step->boxText && !boxes.empty()) {
            EXPECT_EQ(step->boxText, boxes[0].text);
        }
        // The device is held unless it never opened; FermRS frees the slot.
        EXPECT_EQ(fault.call != "CreateFileW", portTable[0].hPort.load() != nullptr);
        closeNative(0);
    }

    // Closes what the platform refused to close, so the next case starts clean.
    static void closeRefused(const ExchangeRun& run) {
        for (HANDLE handle : run.refused) EXPECT_TRUE(CloseHandle(handle));
    }
};

TEST_P(EveryCallFailsOnce, ResultLeaksAndRecovery) {
    const PhaseCall point = GetParam();
    ExchangeRun clean = runExchange(std::nullopt);
    ASSERT_EQ(0, clean.open);
    ASSERT_EQ(0, clean.receive);
    auto made = clean.calls[static_cast<int>(point.phase)];
    const int occurrences = made.count(point.call) ? made.at(point.call) : 0;

    int fired = 0;
    for (int k = 0; k < occurrences; ++k) {
        const Fault fault{point.phase, point.call, k};
        SCOPED_TRACE(std::string(phaseName(point.phase)) + " " + point.call + " #" + std::to_string(k));
        wince::sim::reset();
        shortenSleeps(kSettleAfterOpenMs, 0);
        line = addLine(u"COM1:");
        instrument = std::make_unique<Instrument>(line, 0);

        ExchangeRun run = runExchange(fault);
        fired += run.fired;
        expectPhaseResult(fault, run);
        closeRefused(run);
        expectNothingLeft(0);
        expectCleanExchange();
    }
    RecordProperty("cases", occurrences);
    RecordProperty("fired", fired);
    std::printf("%s %s: %d cases, %d reached the fault\n", phaseName(point.phase), point.call, occurrences,
                fired);
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, EveryCallFailsOnce, ::testing::ValuesIn(kPhaseCalls),
                         [](const ::testing::TestParamInfo<PhaseCall>& info) {
                             return std::string(phaseName(info.param.phase)) + info.param.call;
                         });

TEST_F(FaultInjection, FourFailedWritesAreRetriedInTheSameAttemptFiveGiveItUp) {
    for (int failures : {4, 5}) {
        SCOPED_TRACE(failures);
        int32_t slot = -1;
        ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, slot));
        line->takeWritten();
        const int writesBefore = callCount("WriteFile");
        const int handshakesBefore = callCount("ResetEvent");
        failCall("WriteFile", kInjected, failures);
        EXPECT_EQ(0, sendNative(slot));
        // Failed calls wrote nothing: the command went out once, whole.
        EXPECT_EQ(kCommand, line->takeWritten());
        EXPECT_EQ(failures + 1, callCount("WriteFile") - writesBefore);
        // Four are retried within the attempt; the fifth gives the attempt
        // up with the write's code, and the next attempt sends it.
        EXPECT_EQ(failures < 5 ? 1 : 2, callCount("ResetEvent") - handshakesBefore);
        EXPECT_EQ(0, sendRetries[slot]);
        auto purges = line->purgeCalls();
        EXPECT_EQ(static_cast<long>(failures),
                  std::count(purges.begin(), purges.end(), DWORD{PURGE_TXABORT | PURGE_TXCLEAR}));
        ASSERT_NO_FATAL_FAILURE(closeLeavingNothing(slot));
        line = addLine(u"COM1:");  // a fresh purge record
        instrument = std::make_unique<Instrument>(line, 0);
    }
    expectCleanExchange();
}

TEST_F(FaultInjection, LostWriteSignalsAreReportedWithTheirCode) {
    int32_t slot = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, slot));
    portTable[slot].timeoutMs = 200;
    line->takeWritten();
    failCall("SetEvent", kInjected, -1);
    // The worker wrote each attempt but could not say so: each wait ran out.
    auto start = Clock::now();
    EXPECT_EQ(static_cast<jint>(kInjected), sendNative(slot));
    EXPECT_GE(msSince(start), 3 * 200 - 10);
    EXPECT_EQ((Bytes{0x4B, 1, 2, 0x4B, 1, 2, 0x4B, 1, 2}), line->takeWritten());
    failCall("SetEvent", 0, 0);
    ASSERT_NO_FATAL_FAILURE(closeLeavingNothing(slot));
    expectCleanExchange();
}

TEST_F(FaultInjection, LostReplySignalsAreReportedWithTheirCode) {
    int32_t slot = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, slot));
    portTable[slot].timeoutMs = 200;
    ASSERT_EQ(0, sendNative(slot));
    line->takeWritten();
    jbyteArray reply = jni.bytes(std::vector<jbyte>(12, 0));
    jintArray length = jni.ints({0});
    failCall("SetEvent", kInjected, -1);
    // Each wait: the frame was found but could not be signalled; the
    // command went out again three times.
    EXPECT_EQ(static_cast<jint>(kInjected),
              Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, slot, reply, length));
    EXPECT_EQ(0, receiveRetries[slot]);
    EXPECT_EQ((Bytes{0x4B, 1, 2, 0x4B, 1, 2, 0x4B, 1, 2}), line->takeWritten());
    failCall("SetEvent", 0, 0);
    ASSERT_NO_FATAL_FAILURE(closeLeavingNothing(slot));
    expectCleanExchange();
}

TEST_F(FaultInjection, DeviceVanishingMidExchangeEndsTheReplyWaitAtOnceAndTheSlotRecovers) {
    int32_t slot = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, slot));
    portTable[slot].timeoutMs = 1000;
    ASSERT_EQ(0, sendNative(slot));
    instrument->silence(true);
    std::thread unplug([this] {
        while (portTable[0].replyWanted.load() != kHandoverRaised)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        line->hangUp();
    });
    jbyteArray reply = jni.bytes(std::vector<jbyte>(12, 0x55));
    jintArray length = jni.ints({4});
    auto start = Clock::now();
    EXPECT_EQ(static_cast<jint>(ERROR_DEVICE_NOT_CONNECTED),
              Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, slot, reply, length));
    // Well within the first wait: no wait is spent on the gone device.
    EXPECT_LT(msSince(start), 500);
    unplug.join();
    EXPECT_EQ(std::vector<jint>{4}, jni.ints(length));
    EXPECT_EQ(std::vector<jbyte>(12, 0x55), jni.bytes(reply));
    // Already gone when the wait begins: the same at once.
    start = Clock::now();
    EXPECT_EQ(static_cast<jint>(ERROR_DEVICE_NOT_CONNECTED),
              Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, slot, reply, length));
    EXPECT_LT(msSince(start), 500);
    // Every write of a send fails now: five in a row, three attempts.
    EXPECT_EQ(static_cast<jint>(ERROR_DEVICE_NOT_CONNECTED), sendNative(slot));
    ASSERT_NO_FATAL_FAILURE(closeLeavingNothing(slot));

    // The vanished device does not open again; the slot stays free.
    jintArray index = jni.ints({-1});
    EXPECT_EQ(static_cast<jint>(ERROR_DEVICE_NOT_CONNECTED), openNative(index));
    EXPECT_EQ(nullptr, portTable[0].hPort.load());
    // Plugged in again, it works.
    instrument.reset();
    line = addLine(u"COM1:");
    instrument = std::make_unique<Instrument>(line, 0);
    expectCleanExchange();
}

TEST_F(FaultInjection, CloseWhileTheWorkerIsInsideAReadEndsTheWorkerAtOnce) {
    int32_t slot = -1;
    ASSERT_EQ(0, open(u"COM1:", InstrumentFamily::KELT3B, slot));
    line->delayReads(5000);
    // The settle pause is cut short here: bytes must not come before the
    // new worker's first purge.
    const int pollsBefore = callCount("ClearCommError");
    while (callCount("ClearCommError") == pollsBefore)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int readsBefore = callCount("ReadFile");
    line->deliver({1, 2, 3});
    while (callCount("ReadFile") == readsBefore) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // inside the held read

    auto start = Clock::now();
    EXPECT_NE(0, closeNative(slot));
    EXPECT_TRUE(workerEnds(slot, 500));
    EXPECT_LT(msSince(start), 500);
    expectNothingLeft(slot);
    line->delayReads(0);
    expectCleanExchange();
}

// The same hang-up on a real pseudo-terminal through the host backend: the
// instrument's side closes while RecRS waits, and the wait ends at once.
TEST_F(FaultInjection, PseudoTerminalHangUpMidExchangeEndsTheReplyWaitWithDeviceNotConnected) {
    instrument.reset();
    wince::sim::reset();  // host devices only
    const int descriptorsAtStart = openDescriptors();
    const int threadsBefore = threadCount();
    auto pty = std::make_unique<Pty>(21);
    ASSERT_TRUE(pty->ready());
    int32_t slot = -1;
    ASSERT_EQ(0, open(ptyPortName(21), InstrumentFamily::KELT3B, slot));
    portTable[slot].timeoutMs = 200;

    // One good exchange first.
    ASSERT_EQ(0, sendNative(slot));
    EXPECT_EQ(kCommand, pty->read(kCommand.size()));
    jbyteArray reply = jni.bytes(std::vector<jbyte>(12, 0));
    jintArray length = jni.ints({0});
    std::thread answer([&] {
        while (portTable[0].replyWanted.load() != kHandoverRaised)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pty->write(kFrame);
    });
    EXPECT_EQ(0, Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, slot, reply, length));
    answer.join();
    EXPECT_EQ(kFrame, jni.unsignedBytes(reply));

    portTable[slot].timeoutMs = 1000;
    ASSERT_EQ(0, sendNative(slot));
    EXPECT_EQ(kCommand, pty->read(kCommand.size()));
    std::thread unplug([&] {
        while (portTable[0].replyWanted.load() != kHandoverRaised)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pty->write({0x5A, 0xA5, 1});  // half a frame, then the line drops
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty->hangUp();
    });
    const auto start = Clock::now();
    EXPECT_EQ(static_cast<jint>(ERROR_DEVICE_NOT_CONNECTED),
              Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, slot, reply, length));
    EXPECT_LT(msSince(start), 500);
    unplug.join();
    EXPECT_EQ(static_cast<jint>(ERROR_DEVICE_NOT_CONNECTED), sendNative(slot));
    EXPECT_NE(0, closeNative(slot));
    ASSERT_TRUE(workerEnds(slot));
    EXPECT_EQ(handlesAtStart, wince::liveHandleCount());
    EXPECT_EQ(threadsBefore, settledValue(threadsBefore, threadCount));
    pty.reset();
    EXPECT_EQ(descriptorsAtStart, openDescriptors());

    // A new terminal under the same name: the slot opens and exchanges.
    pty = std::make_unique<Pty>(21);
    ASSERT_EQ(0, open(ptyPortName(21), InstrumentFamily::KELT3B, slot));
    ASSERT_EQ(0, sendNative(slot));
    EXPECT_EQ(kCommand, pty->read(kCommand.size()));
    std::thread again([&] {
        while (portTable[0].replyWanted.load() != kHandoverRaised)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pty->write(kFrame);
    });
    EXPECT_EQ(0, Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, slot, reply, length));
    again.join();
    EXPECT_EQ(kFrame, jni.unsignedBytes(reply));
    EXPECT_NE(0, closeNative(slot));
    ASSERT_TRUE(workerEnds(slot));
}

}  // namespace

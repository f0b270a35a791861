// What every serial line backend does behind the Win32 comm calls, written
// once and run against each backend (the simulated line, a pseudo-terminal,
// a pair of real ports joined to each other).
//
// A backend is a class with:
//   static constexpr const char* kName;
//   std::string unavailable();   why it cannot run here, or empty
//   void start(); void stop();   around each test (start may fail assertions)
//   const char16_t* portName(); otherCaseName(); unknownName();
//   std::string lacks(Capability);  "<backend> has no ..." or empty
//   void farWrite(const Bytes&);  Bytes farRead(size_t count, int ms);
//   void hangUp();                 (HangUp)
//   bool farSeesDtr(); bool farSeesRts();   (ModemLines)
// Instantiate with INSTANTIATE_TYPED_TEST_SUITE_P(Name, DeviceContract, Backend).
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>

#include "device.h"
#include "kernel_object.h"
#include "line_checks.h"
#include "wince.h"

namespace device_contract {

using namespace line_checks;

enum class Capability {
    ModemLines,  // the far end sees DTR and RTS move
    Framing,     // the line keeps character size and parity
    HangUp,      // the far end can go away under the open port
};

template <class Backend>
class DeviceContract : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = backend.unavailable();
        if (!why.empty()) GTEST_SKIP() << Backend::kName << ": " << why;
        backend.start();
        if (HasFatalFailure()) return;
        port = openPort(backend.portName());
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        // Both ends 9600 8N1 without flow control, nothing left over from
        // an earlier test on the same port.
        original = currentDcb(port);
        DCB plain = original;
        plain.BaudRate = 9600;
        plain.ByteSize = 8;
        plain.Parity = NOPARITY;
        plain.StopBits = ONESTOPBIT;
        plain.fOutX = plain.fInX = plain.fOutxCtsFlow = plain.fOutxDsrFlow = 0;
        plain.fDtrControl = DTR_CONTROL_ENABLE;
        plain.fRtsControl = RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(port, &plain)) << GetLastError();
        ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR)) << GetLastError();
    }

    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            SetCommState(port, &original);  // a real port keeps its line for the next test
            CloseHandle(port);
        }
        backend.stop();
    }

    void closePort() {
        ASSERT_TRUE(CloseHandle(port));
        port = INVALID_HANDLE_VALUE;
    }

    // Every byte value, so that any translation on the way shows.
    static Bytes everyByte() {
        Bytes bytes(256);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
        return bytes;
    }

    Backend backend;
    HANDLE port = INVALID_HANDLE_VALUE;
    DCB original{};
};

// Test names after the backend's name ("simulated line": simulatedline).
struct BackendName {
    template <class Backend>
    static std::string GetName(int) {
        std::string name;
        for (const char* c = Backend::kName; *c; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        return name;
    }
};

// Ends the test as skipped, by the backend's own account, when it cannot
// show `capability`.
#define CONTRACT_NEEDS(capability)                                           \
    do {                                                                     \
        const std::string why = this->backend.lacks(Capability::capability); \
        if (!why.empty()) GTEST_SKIP() << why;                               \
    } while (0)

TYPED_TEST_SUITE_P(DeviceContract);

TYPED_TEST_P(DeviceContract, OpensExclusivelyAndAgainAfterClose) {
    // Names are matched without regard to case.
    EXPECT_EQ(openPort(this->backend.otherCaseName()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(openPort(this->backend.unknownName()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    this->closePort();
    this->port = openPort(this->backend.portName());
    ASSERT_NE(this->port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(openPort(this->backend.portName()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TYPED_TEST_P(DeviceContract, CommStateComesBackAsSet) {
    DCB dcb = currentDcb(this->port);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    dcb.BaudRate = 19200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fParity = 1;
    dcb.fOutX = 0;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.XonLim = 123;
    dcb.EvtChar = 'E';
    dcb.fDummy2 = 0x5A5A;  // reserved bits are kept, not cleared
    ASSERT_TRUE(SetCommState(this->port, &dcb)) << GetLastError();

    const DCB back = currentDcb(this->port);
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fParity, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.fOutX, 0u);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(back.XonLim, 123);
    EXPECT_EQ(back.EvtChar, 'E');
    EXPECT_EQ(back.fDummy2, 0x5A5Au);
}

// A line either takes a framing exactly or refuses it; it never reports
// success for a framing it does not keep.
TYPED_TEST_P(DeviceContract, FramingIsKeptOrRefused) {
    CONTRACT_NEEDS(Framing);
    const DCB before = currentDcb(this->port);
    struct Framing {
        BYTE byteSize, parity, stopBits;
    };
    const Framing framings[] = {{7, EVENPARITY, ONESTOPBIT},
                                {8, ODDPARITY, TWOSTOPBITS},
                                {5, NOPARITY, ONE5STOPBITS},
                                {6, MARKPARITY, ONESTOPBIT}};
    for (const Framing& framing : framings) {
        SCOPED_TRACE(testing::Message() << int(framing.byteSize) << " bits, parity " << int(framing.parity)
                                        << ", stop " << int(framing.stopBits));
        const DCB now = currentDcb(this->port);
        DCB dcb = before;
        dcb.ByteSize = framing.byteSize;
        dcb.Parity = framing.parity;
        dcb.StopBits = framing.stopBits;
        if (SetCommState(this->port, &dcb)) {
            const DCB back = currentDcb(this->port);
            EXPECT_EQ(back.ByteSize, framing.byteSize);
            EXPECT_EQ(back.Parity, framing.parity);
            EXPECT_EQ(back.StopBits, framing.stopBits);
        } else {
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
            const DCB back = currentDcb(this->port);
            EXPECT_EQ(back.ByteSize, now.ByteSize);
            EXPECT_EQ(back.Parity, now.Parity);
            EXPECT_EQ(back.StopBits, now.StopBits);
        }
    }
}

TYPED_TEST_P(DeviceContract, SettingsThePlatformRefusesChangeNothing) {
    DCB good = currentDcb(this->port);
    good.BaudRate = 4800;
    good.ByteSize = 8;
    good.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(this->port, &good)) << GetLastError();
    struct Refused {
        const char* what;
        void (*spoil)(DCB&);
    };
    const Refused refused[] = {
        {"rate 0", [](DCB& d) { d.BaudRate = 0; }},
        {"rate -1 from Java", [](DCB& d) { d.BaudRate = 0xFFFFFFFF; }},
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"parity 7", [](DCB& d) { d.Parity = 7; }},
        {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
        {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
        {"1.5 stop bits with 6 data bits",
         [](DCB& d) {
             d.StopBits = ONE5STOPBITS;
             d.ByteSize = 6;
         }},
        {"2 stop bits with 5 data bits",
         [](DCB& d) {
             d.StopBits = TWOSTOPBITS;
             d.ByteSize = 5;
         }},
        {"XON and XOFF alike",
         [](DCB& d) {
             d.fInX = 1;
             d.XonChar = d.XoffChar = 0x11;
         }},
    };
    for (const Refused& variant : refused) {
        DCB bad = good;
        bad.fDtrControl = DTR_CONTROL_DISABLE;  // acceptable, but must not be applied
        variant.spoil(bad);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(this->port, &bad)) << variant.what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << variant.what;
    }
    const DCB now = currentDcb(this->port);
    EXPECT_EQ(now.BaudRate, 4800u);
    EXPECT_EQ(now.ByteSize, 8);
    EXPECT_EQ(now.StopBits, ONESTOPBIT);
    EXPECT_EQ(now.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

TYPED_TEST_P(DeviceContract, TimeoutsComeBackAndAllMaxdwordIsRefused) {
    ASSERT_TRUE(setTimeouts(this->port, 20, 3, 150, 7, 900));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(this->port, &back));
    EXPECT_EQ(back.ReadIntervalTimeout, 20u);
    EXPECT_EQ(back.ReadTotalTimeoutMultiplier, 3u);
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 150u);
    EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 7u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 900u);

    COMMTIMEOUTS allMax{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(SetCommTimeouts(this->port, &allMax));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommTimeouts(this->port, &back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 150u);
}

// MAXDWORD, MAXDWORD, c: the queued bytes at once, else the first to come
// within c ms, else nothing and success after c ms.
TYPED_TEST_P(DeviceContract, ReadReturnsQueuedBytesAtOnceOrWaitsForAFirstByte) {
    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, MAXDWORD, 200));
    ReadResult empty = readBytes(this->port, 10);
    EXPECT_TRUE(empty.ok) << empty.error;
    EXPECT_TRUE(empty.bytes.empty());
    EXPECT_GE(empty.ms, 200 - kEarlyMs);
    EXPECT_LT(empty.ms, 200 + kPromptMs);

    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, MAXDWORD, 5000));
    this->backend.farWrite({1, 2, 3, 4, 5});
    ASSERT_EQ(waitForQueued(this->port, 5), 5u);
    ReadResult some = readBytes(this->port, 3);
    EXPECT_EQ(some.bytes, (Bytes{1, 2, 3}));
    EXPECT_EQ(waitForQueued(this->port, 2), 2u);
    ReadResult rest = readBytes(this->port, 10);
    EXPECT_EQ(rest.bytes, (Bytes{4, 5}));
    EXPECT_LT(some.ms + rest.ms, kPromptMs);

    std::thread farEnd([this] {
        sleepMs(100);
        this->backend.farWrite({7});
    });
    ReadResult waited = readBytes(this->port, 10);
    farEnd.join();
    EXPECT_EQ(waited.bytes, (Bytes{7}));
    EXPECT_LT(waited.ms, 100 + kPromptMs);
}

// MAXDWORD, 0, 0: only what is queued, at once.
TYPED_TEST_P(DeviceContract, MaxdwordIntervalAloneReturnsAtOnce) {
    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, 0, 0));
    ReadResult empty = readBytes(this->port, 10);
    EXPECT_TRUE(empty.ok) << empty.error;
    EXPECT_TRUE(empty.bytes.empty());
    EXPECT_LT(empty.ms, kPromptMs);

    this->backend.farWrite({9, 8});
    ASSERT_EQ(waitForQueued(this->port, 2), 2u);
    ReadResult queued = readBytes(this->port, 10);
    EXPECT_EQ(queued.bytes, (Bytes{9, 8}));
    EXPECT_LT(queued.ms, kPromptMs);
}

// MAXDWORD with total timeouts: queued bytes at once; with none queued the
// read waits for the count within the total, taking bytes as they come.
TYPED_TEST_P(DeviceContract, MaxdwordIntervalWithTotalsReturnsQueuedBytesAtOnce) {
    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, 0, 3000));
    this->backend.farWrite({1});
    ASSERT_EQ(waitForQueued(this->port, 1), 1u);
    ReadResult queued = readBytes(this->port, 4);
    EXPECT_EQ(queued.bytes, (Bytes{1}));
    EXPECT_LT(queued.ms, kPromptMs);

    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, 0, 400));
    std::thread farEnd([this] {
        sleepMs(50);
        this->backend.farWrite({2});
    });
    ReadResult waited = readBytes(this->port, 4);
    farEnd.join();
    EXPECT_TRUE(waited.ok) << waited.error;
    EXPECT_EQ(waited.bytes, (Bytes{2}));
    EXPECT_GE(waited.ms, 400 - kEarlyMs);
}

// Total timeouts bound a read that gets fewer bytes than it asked for.
TYPED_TEST_P(DeviceContract, TotalTimeoutBoundsARead) {
    ASSERT_TRUE(setTimeouts(this->port, 0, 0, 150));
    this->backend.farWrite({1});
    ASSERT_EQ(waitForQueued(this->port, 1), 1u);
    ReadResult partial = readBytes(this->port, 4);
    EXPECT_TRUE(partial.ok) << partial.error;
    EXPECT_EQ(partial.bytes, (Bytes{1}));
    EXPECT_GE(partial.ms, 150 - kEarlyMs);
    EXPECT_LT(partial.ms, 150 + kPromptMs);

    ASSERT_TRUE(setTimeouts(this->port, 0, 50, 100));  // 100 + 4 * 50 ms
    ReadResult none = readBytes(this->port, 4);
    EXPECT_TRUE(none.ok) << none.error;
    EXPECT_TRUE(none.bytes.empty());
    EXPECT_GE(none.ms, 300 - kEarlyMs);
    EXPECT_LT(none.ms, 300 + kPromptMs);
}

TYPED_TEST_P(DeviceContract, ReadWithoutTimeoutsWaitsForTheWholeCount) {
    ASSERT_TRUE(setTimeouts(this->port, 0, 0, 0));
    std::thread farEnd([this] {
        this->backend.farWrite({'a', 'b'});
        sleepMs(100);
        this->backend.farWrite({'c', 'd'});
    });
    ReadResult all = readBytes(this->port, 4);
    farEnd.join();
    EXPECT_TRUE(all.ok) << all.error;
    EXPECT_EQ(all.bytes, (Bytes{'a', 'b', 'c', 'd'}));
}

TYPED_TEST_P(DeviceContract, QueueCountsAndPurge) {
    const Bytes sent = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F', 'G'};
    this->backend.farWrite(sent);
    EXPECT_EQ(waitForQueued(this->port, 17), 17u);
    DWORD errors = 1;
    COMSTAT status{};
    ASSERT_TRUE(ClearCommError(this->port, &errors, &status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.cbInQue, 17u);

    // The output side's purge leaves the input alone; unknown flags are refused.
    ASSERT_TRUE(PurgeComm(this->port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(waitForQueued(this->port, 17), 17u);
    EXPECT_FALSE(PurgeComm(this->port, PURGE_RXCLEAR | 0x100));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(waitForQueued(this->port, 17), 17u);

    const DWORD everything = PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR;
    ASSERT_TRUE(PurgeComm(this->port, everything));
    ASSERT_TRUE(ClearCommError(this->port, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, 0, 0));
    ReadResult none = readBytes(this->port, 32);
    EXPECT_TRUE(none.ok);
    EXPECT_TRUE(none.bytes.empty());
}

TYPED_TEST_P(DeviceContract, BytesTravelBothWaysUnchanged) {
    const Bytes all = TestFixture::everyByte();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(this->port, all.data(), DWORD(all.size()), &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, all.size());
    EXPECT_EQ(this->backend.farRead(all.size(), kSettleMs), all);
    DWORD none = 99;
    EXPECT_TRUE(WriteFile(this->port, all.data(), 0, &none, nullptr));
    EXPECT_EQ(none, 0u);

    ASSERT_TRUE(setTimeouts(this->port, 0, 0, DWORD(kSettleMs)));
    this->backend.farWrite(all);
    ReadResult got = readBytes(this->port, DWORD(all.size()));
    EXPECT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.bytes, all);
}

TYPED_TEST_P(DeviceContract, CloseEndsAWaitingReadAndStaleObjectsFail) {
    auto device = wince::lookup<wince::CommDevice>(this->port);
    ASSERT_TRUE(device);
    ASSERT_TRUE(setTimeouts(this->port, 0, 0, 0));
    auto read = BackgroundRead::start(this->port, 10);
    sleepMs(100);
    EXPECT_FALSE(read->done());
    this->closePort();
    ASSERT_TRUE(read->finishesWithin(kPromptMs));
    EXPECT_FALSE(read->result().ok);
    EXPECT_EQ(read->result().error, ERROR_INVALID_HANDLE);

    // The port is free again at once, and the new opening does not revive
    // the old device object.
    this->port = openPort(this->backend.portName());
    ASSERT_NE(this->port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_FALSE(device->purge(PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(PurgeComm(this->port, PURGE_RXCLEAR));
}

TYPED_TEST_P(DeviceContract, ReadAbortEndsOnlyTheReadInProgress) {
    ASSERT_TRUE(setTimeouts(this->port, 0, 0, 0));
    auto read = BackgroundRead::start(this->port, 10);
    sleepMs(100);
    ASSERT_TRUE(PurgeComm(this->port, PURGE_RXABORT));
    ASSERT_TRUE(read->finishesWithin(kPromptMs));
    EXPECT_FALSE(read->result().ok);
    EXPECT_EQ(read->result().error, ERROR_OPERATION_ABORTED);

    // An abort with no read inside leaves later reads alone.
    ASSERT_TRUE(PurgeComm(this->port, PURGE_RXABORT));
    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, MAXDWORD, 2000));
    this->backend.farWrite({'z'});
    ReadResult later = readBytes(this->port, 4);
    EXPECT_TRUE(later.ok) << later.error;
    EXPECT_EQ(later.bytes, (Bytes{'z'}));
}

TYPED_TEST_P(DeviceContract, HangUpFailsTheFollowingCalls) {
    CONTRACT_NEEDS(HangUp);
    ASSERT_TRUE(setTimeouts(this->port, MAXDWORD, MAXDWORD, 100));
    this->backend.hangUp();
    COMSTAT status{};
    EXPECT_FALSE(ClearCommError(this->port, nullptr, &status));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    ReadResult read = readBytes(this->port, 8);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.error, ERROR_DEVICE_NOT_CONNECTED);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(this->port, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TYPED_TEST_P(DeviceContract, HangUpEndsAWaitingRead) {
    CONTRACT_NEEDS(HangUp);
    ASSERT_TRUE(setTimeouts(this->port, 0, 0, 0));
    auto read = BackgroundRead::start(this->port, 8);
    sleepMs(100);
    this->backend.hangUp();
    ASSERT_TRUE(read->finishesWithin(kPromptMs));
    EXPECT_FALSE(read->result().ok);
    EXPECT_EQ(read->result().error, ERROR_DEVICE_NOT_CONNECTED);
}

TYPED_TEST_P(DeviceContract, EscapeDrivesTheModemLines) {
    // Every line takes a break and is usable after it.
    EXPECT_TRUE(EscapeCommFunction(this->port, SETBREAK)) << GetLastError();
    EXPECT_TRUE(EscapeCommFunction(this->port, CLRBREAK)) << GetLastError();
    EXPECT_FALSE(EscapeCommFunction(this->port, 77));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    CONTRACT_NEEDS(ModemLines);
    EXPECT_TRUE(this->backend.farSeesDtr());
    EXPECT_TRUE(this->backend.farSeesRts());
    ASSERT_TRUE(EscapeCommFunction(this->port, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(this->port, CLRRTS));
    EXPECT_FALSE(this->backend.farSeesDtr());
    EXPECT_FALSE(this->backend.farSeesRts());
    ASSERT_TRUE(EscapeCommFunction(this->port, SETDTR));
    EXPECT_TRUE(this->backend.farSeesDtr());
    EXPECT_FALSE(this->backend.farSeesRts());
}

REGISTER_TYPED_TEST_SUITE_P(DeviceContract, OpensExclusivelyAndAgainAfterClose, CommStateComesBackAsSet,
                            FramingIsKeptOrRefused, SettingsThePlatformRefusesChangeNothing,
                            TimeoutsComeBackAndAllMaxdwordIsRefused,
                            ReadReturnsQueuedBytesAtOnceOrWaitsForAFirstByte,
                            MaxdwordIntervalAloneReturnsAtOnce,
                            MaxdwordIntervalWithTotalsReturnsQueuedBytesAtOnce, TotalTimeoutBoundsARead,
                            ReadWithoutTimeoutsWaitsForTheWholeCount, QueueCountsAndPurge,
                            BytesTravelBothWaysUnchanged, CloseEndsAWaitingReadAndStaleObjectsFail,
                            ReadAbortEndsOnlyTheReadInProgress, HangUpFailsTheFollowingCalls,
                            HangUpEndsAWaitingRead, EscapeDrivesTheModemLines);

}  // namespace device_contract

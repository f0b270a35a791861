// The serial natives of the Windows DLL's sources, run under Wine against
// instrument-sim on pseudo-terminals: COM1: to COM4: answer as QTVv1, QTVv2,
// KELT3B and VX9, COM5: is silent, COM6: answers in pieces after stray
// bytes, COM12: is a VX9 beyond COM9, COM8: leads nowhere. The harness
// (run.sh) starts the instruments, links the prefix's COM devices to their
// pseudo-terminals, and names the folder of their logs in SIM_LOG_DIR.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_jni.h"
#include "serial_natives.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr jint kTimeout = 100301;

enum class Family { QTVv1, QTVv2, KELT3B, VX9 };

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The lines of a simulator's log that start with `prefix`, without it.
std::vector<std::string> logLines(const std::string& port, const std::string& prefix) {
    const char* folder = std::getenv("SIM_LOG_DIR");
    std::vector<std::string> lines;
    if (folder == nullptr) return lines;
    // Not "COM5.log": Windows takes that name for the device COM5.
    std::ifstream log(std::string(folder) + "/instrument-" + port + ".log");
    for (std::string line; std::getline(log, line);) {
        if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    }
    return lines;
}

class PtySerial : public ::testing::Test {
protected:
    FakeJni jni;

    // A test that failed half-way leaves no port open for the next.
    void TearDown() override {
        for (jint index = 0; index < 4; ++index) close(index);
    }

    jint open(Family family, const std::u16string& name, jint& index) {
        jintArray cell = jni.ints({-1});
        jstring text = jni.string(name);
        jint result = 0;
        switch (family) {
            case Family::QTVv1:
                result =
                    Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv1(jni.env(), nullptr, 9600, text, cell);
                break;
            case Family::QTVv2:
                result = Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv2(jni.env(), nullptr, text, cell);
                break;
            case Family::KELT3B:
                result = Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(jni.env(), nullptr, text, cell);
                break;
            case Family::VX9:
                result = Java_com_tavrix_tools_comm_SerialQTV_InitRS_1VX9(jni.env(), nullptr, text, cell);
                break;
        }
        index = jni.ints(cell)[0];
        return result;
    }

    jint send(jint port, const Bytes& command) {
        return Java_com_tavrix_tools_comm_SerialQTV_EnvRS(jni.env(), nullptr, port, jni.bytes(command),
                                                          static_cast<jint>(command.size()));
    }

    jint receive(jint port, Bytes& frame) {
        jbyteArray reply = jni.bytes(std::vector<jbyte>(300, 0));
        jintArray length = jni.ints({0});
        const jint result =
            Java_com_tavrix_tools_comm_SerialQTV_RecRS(jni.env(), nullptr, port, reply, length);
        const std::vector<uint8_t> bytes = jni.unsignedBytes(reply);
        frame.assign(bytes.begin(), bytes.begin() + (result == 0 ? jni.ints(length)[0] : 0));
        return result;
    }

    jint close(jint port) { return Java_com_tavrix_tools_comm_SerialQTV_FermRS(jni.env(), nullptr, port); }
};

struct FamilyCase {
    Family family;
    const char16_t* port;
    const char* logName;
    Bytes command;
    // Rate and character size as the instrument reads them on the pty. A
    // pseudo-terminal keeps no parity (the kernel drops PARENB on it), so
    // QTVv1's even parity cannot be read back here.
    const char* lineSettings;
    Bytes frameStart;
    size_t frameLength;
};

TEST_F(PtySerial, EachFamilySetsItsLineAndExchangesAFrame) {
    const FamilyCase cases[] = {
        {Family::QTVv1, u"COM1:", "COM1", {0xAA, 0x01, 0x02, 0x03}, "9600 8", {0x01, 0x02, 0x03}, 3},
        {Family::QTVv2,
         u"COM2:",
         "COM2",
         {0x80, 0xF0, 0x10, 0x01, 0xA0, 0x21},
         "4800 8",
         {0x80, 0xF0, 0x10},
         0},
        {Family::KELT3B, u"COM3:", "COM3", {0x01, 0x02}, "19200 8", {0x5A, 0xA5}, 12},
        {Family::VX9, u"COM4:", "COM4", {0x03}, "9600 8", {0x00, 0x01, 0x02}, 13},
    };
    for (const FamilyCase& c : cases) {
        SCOPED_TRACE(c.logName);
        jint port = -1;
        ASSERT_EQ(0, open(c.family, c.port, port));
        ASSERT_EQ(0, send(port, c.command));
        Bytes frame;
        ASSERT_EQ(0, receive(port, frame));
        ASSERT_GE(frame.size(), c.frameStart.size());
        EXPECT_EQ(c.frameStart, Bytes(frame.begin(), frame.begin() + static_cast<long>(c.frameStart.size())));
        if (c.frameLength) {
            EXPECT_EQ(c.frameLength, frame.size());
        }
        EXPECT_NE(0, close(port));
        const std::vector<std::string> settings = logLines(c.logName, "line ");
        ASSERT_FALSE(settings.empty()) << "no command reached the instrument";
        EXPECT_EQ(c.lineSettings, settings.back().substr(0, settings.back().size() - 2));
    }
}

TEST_F(PtySerial, RepliesInPiecesAfterStrayBytesArriveWhole) {
    jint port = -1;
    ASSERT_EQ(0, open(Family::KELT3B, u"COM6:", port));
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(0, send(port, {0x01, static_cast<uint8_t>(i)}));
        Bytes frame;
        ASSERT_EQ(0, receive(port, frame)) << "exchange " << i;
        ASSERT_EQ(12u, frame.size());
        EXPECT_EQ(0x5A, frame[0]);
        EXPECT_EQ(0xA5, frame[1]);
    }
    EXPECT_NE(0, close(port));
}

TEST_F(PtySerial, ASilentInstrumentGetsTheCommandFourTimesThenTimeout) {
    const size_t before = logLines("COM5", "rx ").size();
    jint port = -1;
    ASSERT_EQ(0, open(Family::VX9, u"COM5:", port));
    ASSERT_EQ(0, send(port, {0x42, 0x43}));
    Bytes frame;
    const auto start = Clock::now();
    EXPECT_EQ(kTimeout, receive(port, frame));
    EXPECT_GE(msSince(start), 4 * 1000 - 50);
    EXPECT_LE(msSince(start), 7 * 1000 + 500);
    EXPECT_NE(0, close(port));
    EXPECT_EQ(before + 4, logLines("COM5", "rx ").size());
}

TEST_F(PtySerial, ClosingDuringAWaitingReceiveEndsItWithoutAHang) {
    jint port = -1;
    ASSERT_EQ(0, open(Family::VX9, u"COM5:", port));
    ASSERT_EQ(0, send(port, {0x07}));
    jint received = 0;
    // The receive runs on its own fake VM, as a second Java thread would.
    std::thread waiter([&] {
        FakeJni own;
        jbyteArray reply = own.bytes(std::vector<jbyte>(20, 0));
        jintArray length = own.ints({0});
        received = Java_com_tavrix_tools_comm_SerialQTV_RecRS(own.env(), nullptr, port, reply, length);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    close(port);
    waiter.join();
    EXPECT_LE(msSince(start), 7 * 1000 + 500);
    EXPECT_NE(0, received);
    // The slot is free again and the port opens anew.
    ASSERT_EQ(0, open(Family::VX9, u"COM5:", port));
    EXPECT_NE(0, close(port));
}

TEST_F(PtySerial, PortsBeyondCom9Open) {
    jint port = -1;
    ASSERT_EQ(0, open(Family::VX9, u"COM12:", port));
    ASSERT_EQ(0, send(port, {0x05}));
    Bytes frame;
    EXPECT_EQ(0, receive(port, frame));
    EXPECT_EQ(13u, frame.size());
    EXPECT_NE(0, close(port));
}

// Windows fails the open of a COM port without a device with
// ERROR_FILE_NOT_FOUND (2) and the slot stays free. Wine 8 opens a port
// whose device path leads nowhere and fails its first serial call
// (SetupComm) with ERROR_INVALID_FUNCTION (1): the slot is then held, as
// after any failed configuration, until FermRS frees it.
TEST_F(PtySerial, AMissingPortFailsAndItsSlotCanBeUsedAgain) {
    jint port = -1;
    const jint result = open(Family::VX9, u"COM8:", port);
    EXPECT_TRUE(result == 2 || result == 1) << result;
    EXPECT_EQ(0, port);
    // Its result is that of closing the reply event, which a slot held
    // before its events were made does not have.
    if (result == 1) close(port);
    ASSERT_EQ(0, open(Family::VX9, u"COM4:", port));
    EXPECT_EQ(0, port);
    EXPECT_NE(0, close(port));
}

TEST_F(PtySerial, BadNamesAndIndexesAreRefusedWithoutTouchingAPort) {
    jint port = -1;
    EXPECT_EQ(123, open(Family::VX9, u"COM123456789:", port));  // longer than a slot holds
    EXPECT_EQ(123, open(Family::VX9, std::u16string(u"COM4:\0X", 7), port));
    EXPECT_EQ(87, send(7, {0x01}));
    EXPECT_EQ(87, send(-1, {0x01}));
    Bytes frame;
    EXPECT_EQ(87, receive(4, frame));
    EXPECT_EQ(0, close(9));
    EXPECT_EQ(0, jni.outstandingPins());
}

// Wine lists the COM ports of its prefix under SERIALCOMM as the system
// devices \Device\Serial<n-1>; Windows names them after their drivers.
TEST_F(PtySerial, ThePortListShowsTheComPortsTheSystemKnowsInOrder) {
    jobjectArray list = Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(jni.env(), nullptr);
    ASSERT_NE(nullptr, list);
    std::vector<std::u16string> ports = jni.texts(list);
    const std::vector<std::u16string> expected = {u"COM1: <\\Device\\Serial0>", u"COM6: <\\Device\\Serial5>",
                                                  u"COM8: <\\Device\\Serial7>",
                                                  u"COM12: <\\Device\\Serial11>"};
    size_t next = 0;
    for (const std::u16string& element : ports) {
        if (next < expected.size() && element == expected[next]) ++next;
    }
    EXPECT_EQ(expected.size(), next) << ports.size() << " ports listed";
}

}  // namespace

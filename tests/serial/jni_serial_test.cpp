// The port natives as Java calls them: input checks, pins released on every
// path, copy-back rules.
#include <jni.h>

#include "fake_jni.h"
#include "port_fixture.h"

#include "serial_natives.h"

using namespace wince::sim;

namespace {

class SerialNatives : public PortFixture {
protected:
    FakeJni jni;
    JNIEnv* env = jni.env();

    jint openKelt3b(const std::u16string& name, jintArray index) {
        return Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(env, nullptr, jni.string(name), index);
    }
    jint send(jint port, jbyteArray message, jint length) {
        return Java_com_tavrix_tools_comm_SerialQTV_EnvRS(env, nullptr, port, message, length);
    }
    jint receive(jint port, jbyteArray reply, jintArray length) {
        return Java_com_tavrix_tools_comm_SerialQTV_RecRS(env, nullptr, port, reply, length);
    }
    std::u16string nameOf(jint port) {
        return jni.text(Java_com_tavrix_tools_comm_SerialQTV_DonneNomPortRS(env, nullptr, port));
    }
    void TearDown() override {
        EXPECT_EQ(0, jni.outstandingPins());
        EXPECT_FALSE(jni.pendingException().has_value());
        PortFixture::TearDown();
    }
};

TEST_F(SerialNatives, OpenExchangeAndCloseThroughJni) {
    auto line = addLine(u"COM2:");
    jintArray index = jni.ints({-9});
    ASSERT_EQ(0, openKelt3b(u"COM2:", index));
    EXPECT_EQ(std::vector<jint>{0}, jni.ints(index));
    EXPECT_EQ(u"COM2:", nameOf(0));

    ASSERT_EQ(0, send(0, jni.bytes({1, 2, 3, 4}), 3));
    EXPECT_EQ((Bytes{1, 2, 3}), line->takeWritten());

    jbyteArray reply = jni.bytes(std::vector<jbyte>(14, 0x77));
    jintArray length = jni.ints({0});
    std::thread instrument([&line] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        line->deliver(kelt3bFrame(9));
    });
    EXPECT_EQ(0, receive(0, reply, length));
    instrument.join();
    EXPECT_EQ(std::vector<jint>{12}, jni.ints(length));
    Bytes got = jni.unsignedBytes(reply);
    EXPECT_EQ(kelt3bFrame(9), Bytes(got.begin(), got.begin() + 12));
    EXPECT_EQ(0x77, got[12]);

    EXPECT_NE(0, Java_com_tavrix_tools_comm_SerialQTV_FermRS(env, nullptr, 0));
    EXPECT_EQ(u"COM2:", nameOf(0));
}

TEST_F(SerialNatives, PortIndexOutsideTheTableTouchesNothing) {
    for (jint bad : {-1, 4, 0x7FFFFFFF}) {
        EXPECT_EQ(87, send(bad, jni.bytes({1}), 1));
        EXPECT_EQ(87, receive(bad, jni.bytes({0, 0, 0}), jni.ints({0})));
        EXPECT_EQ(0, Java_com_tavrix_tools_comm_SerialQTV_FermRS(env, nullptr, bad));
        EXPECT_EQ(u"", nameOf(bad));
    }
    EXPECT_EQ(0, callCount("CloseHandle"));
}

TEST_F(SerialNatives, MessageLengthMustFitTheArrayAndTheBuffer) {
    auto line = addLine(u"COM1:");
    ASSERT_EQ(0, openKelt3b(u"COM1:", jni.ints({0})));
    EXPECT_EQ(87, send(0, jni.bytes({1, 2}), -1));
    EXPECT_EQ(87, send(0, jni.bytes({1, 2}), 3));
    EXPECT_EQ(87, send(0, jni.bytes(std::vector<jbyte>(300, 1)), 256));
    EXPECT_EQ(87, send(0, nullptr, 0));
    EXPECT_TRUE(line->writeCalls().empty());
    EXPECT_EQ(0, send(0, jni.bytes(std::vector<jbyte>(300, 1)), 255));
    EXPECT_EQ(255u, line->takeWritten().size());
}

TEST_F(SerialNatives, BadPortNamesAreRefusedBeforeAnySlotIsClaimed) {
    addLine(u"COM1:");
    ASSERT_EQ(0, openKelt3b(u"COM1:", jni.ints({0})));
    jintArray index = jni.ints({-3});
    EXPECT_EQ(123, openKelt3b(u"COM12345:X", index));  // 10 characters
    EXPECT_EQ(std::vector<jint>{1}, jni.ints(index));  // the slot it would have tried
    EXPECT_EQ(123, openKelt3b(std::u16string(300, u'A'), index));
    EXPECT_EQ(123, openKelt3b(std::u16string(u"COM1:\0x", 7), index));
    EXPECT_EQ(nullptr, portTable[1].hPort.load());
    EXPECT_EQ(1, callCount("CreateFileW"));

    jintArray untouched = jni.ints({-3});
    EXPECT_EQ(87, Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(env, nullptr, nullptr, untouched));
    EXPECT_EQ(std::vector<jint>{-3}, jni.ints(untouched));
    EXPECT_EQ(87, openKelt3b(u"COM1:", nullptr));
    EXPECT_EQ(87, openKelt3b(u"COM1:", jni.ints(std::vector<jint>{})));
    EXPECT_EQ(1, callCount("CreateFileW"));
}

TEST_F(SerialNatives, QTVv1TakesItsRateFromJava) {
    auto line = addLine(u"COM1:");
    ASSERT_EQ(0, Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv1(env, nullptr, 1200, jni.string(u"COM1:"),
                                                                    jni.ints({0})));
    EXPECT_EQ(1200u, line->dcb().BaudRate);
    EXPECT_EQ(EVENPARITY, line->dcb().Parity);
}

TEST_F(SerialNatives, RefusedPinsGiveTheirCodesAndLeaveNothingPinned) {
    addLine(u"COM1:");
    ASSERT_EQ(0, openKelt3b(u"COM1:", jni.ints({0})));
    auto refusedCall = [&](const char* call, auto native) {
        jni.refuse(call);
        jint result = native();
        env->ExceptionClear();
        return result;
    };
    EXPECT_EQ(-1, refusedCall("GetByteArrayElements", [&] { return send(0, jni.bytes({1}), 1); }));
    EXPECT_EQ(-1,
              refusedCall("GetIntArrayElements", [&] { return receive(0, jni.bytes({0}), jni.ints({0})); }));
    EXPECT_EQ(-1,
              refusedCall("GetByteArrayElements", [&] { return receive(0, jni.bytes({0}), jni.ints({0})); }));
    EXPECT_EQ(87, refusedCall("GetStringChars", [&] { return openKelt3b(u"COM1:", jni.ints({0})); }));
    EXPECT_EQ(87, refusedCall("GetIntArrayElements", [&] { return openKelt3b(u"COM1:", jni.ints({0})); }));
    EXPECT_EQ(1, callCount("CreateFileW"));
}

TEST_F(SerialNatives, FailedReceiveCopiesBackAtMostTheArray) {
    addLine(u"COM1:");
    ASSERT_EQ(0, openKelt3b(u"COM1:", jni.ints({0})));
    for (jint cell : {-5, 1000}) {
        jbyteArray reply = jni.bytes({1, 2, 3});
        jintArray length = jni.ints({cell});
        EXPECT_EQ(ERR_RS_TIMEOUT, receive(0, reply, length));
        EXPECT_EQ(std::vector<jint>{cell}, jni.ints(length));
        EXPECT_EQ((std::vector<jbyte>{1, 2, 3}), jni.bytes(reply));
    }
}

}  // namespace

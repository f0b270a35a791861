// The device services and the load hook against the simulated services:
// the hook's four reasons, the clock arithmetic, the sound flags and the
// volume results as Java sees them.
#include <gtest/gtest.h>

#include "device_services.h"
#include "fake_jni.h"
#include "load_hook.h"
#include "sim.h"
#include "sys_sim.h"

using wince::sim::SimSystem;

extern "C" {
JNIEXPORT jint JNICALL Java_com_tavrix_tools_SystemTool_SoftReset(JNIEnv*, jclass);
JNIEXPORT jboolean JNICALL Java_com_tavrix_tools_SystemTool_PlaySound(JNIEnv*, jclass, jstring, jboolean);
JNIEXPORT void JNICALL Java_com_tavrix_tools_SystemTool_SystemIdleTimerReset(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_SystemTool_GetVolume(JNIEnv*, jclass);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_SystemTool_SetVolume(JNIEnv*, jclass, jint);
JNIEXPORT jlong JNICALL Java_com_tavrix_tools_SystemTool_GetPreciseCurrentTimeMillis(JNIEnv*, jclass);
}

namespace wince::sim {
void PrintTo(const CreateFileRecord& call, std::ostream* out) {
    *out << "CreateFileW(" << std::string(call.name.begin(), call.name.end()) << ", 0x" << std::hex
         << call.access << ", " << call.shareMode << (call.securityGiven ? ", security" : ", null") << ", "
         << call.creation << ", 0x" << call.flags << (call.templateGiven ? ", template)" : ", null)")
         << std::dec;
}
}  // namespace wince::sim

namespace {

class DeviceServices : public ::testing::Test {
protected:
    void SetUp() override { wince::sim::reset(); }

    jlong clock() { return Java_com_tavrix_tools_SystemTool_GetPreciseCurrentTimeMillis(jni.env(), nullptr); }
    jboolean play(jstring name, jboolean synchronous) {
        return Java_com_tavrix_tools_SystemTool_PlaySound(jni.env(), nullptr, name, synchronous);
    }

    SimSystem sim;
    FakeJni jni;
};

// "OBX0:" opened for reading and writing, unshared, as an existing device,
// with nothing else, once per notification.
void expectDriverOpenedAsDesigned() {
    const wince::sim::CreateFileRecord designed{u"OBX0:", 0xC0000000, 0, false, OPEN_EXISTING, 0, false};
    EXPECT_EQ(wince::sim::createFileCalls(), std::vector<wince::sim::CreateFileRecord>{designed});
}

TEST_F(DeviceServices, ProcessAttachCalibratesThenSendsTheLoadCode) {
    sim.setCounterFrequency(2000);
    msPerTick = -1.0;
    double calibratedWhenSent = 0.0;
    sim.onDriverCode([&](DWORD) { calibratedWhenSent = msPerTick; });
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(calibratedWhenSent, 0.5);
    EXPECT_EQ(msPerTick, 0.5);
    EXPECT_EQ(sim.frequencyQueries(), 1);
    EXPECT_EQ(sim.driverCodes(), std::vector<DWORD>{0x01040008});
    EXPECT_FALSE(sim.driverGotBuffers());
    EXPECT_EQ(sim.driverOpens(), 1);
    EXPECT_EQ(sim.driverCloses(), 1);
    expectDriverOpenedAsDesigned();
}

// The library's code goes with the unload: an asynchronous sound is stopped
// (a null name) before the driver hears of it, and nothing else happens.
TEST_F(DeviceServices, ProcessDetachEndsTheSoundThenSendsTheUnloadCode) {
    std::vector<wince::sim::SoundCall> soundCallsWhenSent;
    sim.onDriverCode([&](DWORD) { soundCallsWhenSent = sim.soundCalls(); });
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), TRUE);
    ASSERT_EQ(soundCallsWhenSent.size(), 1u);
    EXPECT_EQ(soundCallsWhenSent[0].fileName, std::nullopt);
    EXPECT_EQ(sim.soundCalls().size(), 1u);
    EXPECT_EQ(sim.driverCodes(), std::vector<DWORD>{0x01040004});
    EXPECT_EQ(sim.frequencyQueries(), 0);
    EXPECT_EQ(sim.driverCloses(), 1);
    expectDriverOpenedAsDesigned();
}

TEST_F(DeviceServices, ThreadAttachAndDetachDoNothing) {
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_DETACH, nullptr), TRUE);
    EXPECT_EQ(sim.frequencyQueries(), 0);
    EXPECT_EQ(sim.driverOpens(), 0);
}

TEST_F(DeviceServices, NoDriverOrARefusingDriverNeverStopsTheLibrary) {
    sim.refuseDriverCodes();
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(sim.driverCloses(), 1);  // closed whatever the control call answered

    sim.removeDriver();
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), TRUE);
    EXPECT_EQ(sim.driverCodes().size(), 1u);
    EXPECT_EQ(sim.driverOpens(), 1);
}

TEST_F(DeviceServices, ClockArithmetic) {
    sim.setCounterFrequency(1000);
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    EXPECT_EQ(msPerTick, 1.0);
    sim.setCounter(123456789);
    EXPECT_EQ(clock(), 123456789);

    sim.setCounterFrequency(3686400);
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    EXPECT_EQ(clock(), 33489);             // 33489.797... truncated
    EXPECT_EQ(sim.frequencyQueries(), 2);  // once per attach, never per reading
}

TEST_F(DeviceServices, ZeroFrequencyLeavesTheClockAtZero) {
    sim.setCounterFrequency(0);
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    EXPECT_EQ(msPerTick, 0.0);
    sim.setCounter(123456789);
    EXPECT_EQ(clock(), 0);
}

TEST_F(DeviceServices, PlaySoundFlagsAndResult) {
    EXPECT_EQ(play(jni.string(u"\\Windows\\alarm1.wav"), JNI_TRUE), JNI_TRUE);
    sim.setPlaySoundResult(FALSE);
    EXPECT_EQ(play(jni.string(u"b.wav"), JNI_FALSE), JNI_FALSE);
    EXPECT_EQ(play(jni.string(u"c.wav"), 2), JNI_FALSE);  // only exactly 1 is synchronous

    const auto calls = sim.soundCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].fileName, u"\\Windows\\alarm1.wav");
    EXPECT_EQ(calls[0].flags, 0x00020000u);
    EXPECT_EQ(calls[0].module, nullptr);
    EXPECT_EQ(calls[1].flags, 0x00020001u);
    EXPECT_EQ(calls[2].flags, 0x00020001u);
    EXPECT_EQ(jni.outstandingPins(), 0);
}

TEST_F(DeviceServices, PlaySoundWithoutANameOrItsCharactersCallsNothing) {
    EXPECT_EQ(play(nullptr, JNI_TRUE), JNI_FALSE);
    jni.refuse("GetStringChars");
    EXPECT_EQ(play(jni.string(u"a.wav"), JNI_TRUE), JNI_FALSE);
    EXPECT_TRUE(sim.soundCalls().empty());
    EXPECT_TRUE(jni.pendingException());  // the VM's OutOfMemoryError goes to Java
}

TEST_F(DeviceServices, GetVolume) {
    sim.setGetVolumeReply(MMSYSERR_NODRIVER, std::nullopt);
    EXPECT_EQ(Java_com_tavrix_tools_SystemTool_GetVolume(jni.env(), nullptr), 0);
    sim.setGetVolumeReply(MMSYSERR_NOERROR, 0xFFFFFFFF);
    EXPECT_EQ(Java_com_tavrix_tools_SystemTool_GetVolume(jni.env(), nullptr), -1);
    sim.setGetVolumeReply(MMSYSERR_NOERROR, 0x80004000);
    EXPECT_EQ(Java_com_tavrix_tools_SystemTool_GetVolume(jni.env(), nullptr), static_cast<jint>(0x80004000));
}

TEST_F(DeviceServices, SetVolumeReturnsThePlatformResult) {
    EXPECT_EQ(Java_com_tavrix_tools_SystemTool_SetVolume(jni.env(), nullptr, -1), 0);
    sim.setSetVolumeResult(MMSYSERR_NODRIVER);
    EXPECT_EQ(Java_com_tavrix_tools_SystemTool_SetVolume(jni.env(), nullptr, 0x00FF00FF), 6);
    EXPECT_EQ(sim.setVolumeCalls(), (std::vector<DWORD>{0xFFFFFFFF, 0x00FF00FF}));
}

TEST_F(DeviceServices, SoftResetAndIdleTimer) {
    EXPECT_EQ(Java_com_tavrix_tools_SystemTool_SoftReset(jni.env(), nullptr), 0);
    sim.acceptReboot(true);
    EXPECT_EQ(Java_com_tavrix_tools_SystemTool_SoftReset(jni.env(), nullptr), 1);
    EXPECT_EQ(sim.rebootRequests(), 2);
    Java_com_tavrix_tools_SystemTool_SystemIdleTimerReset(jni.env(), nullptr);
    EXPECT_EQ(sim.idleTimerResets(), 1);
}

}  // namespace

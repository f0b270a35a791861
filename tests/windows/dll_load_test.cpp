// The two DLLs as the Java VM loads them on desktop Windows: by name from
// the program's folder, the natives found by their exported names.
#include <gtest/gtest.h>

#include <windows.h>

#include "fake_jni.h"

namespace {

template <typename Native>
Native native(HMODULE dll, const char* name) {
    return reinterpret_cast<Native>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

TEST(WindowsDlls, TheSerialLibraryLoadsAndItsNativesAnswer) {
    HMODULE dll = LoadLibraryW(L"serialQTV.dll");
    ASSERT_NE(nullptr, dll) << GetLastError();
    using Explain = jstring(JNICALL*)(JNIEnv*, jclass, jint);
    auto explain = native<Explain>(dll, "Java_com_tavrix_tools_comm_SerialQTV_ExpliciteLastError");
    ASSERT_NE(nullptr, explain);
    FakeJni jni;
    EXPECT_EQ(u" Communication timeout ", jni.text(explain(jni.env(), nullptr, 100301)));
    EXPECT_NE(nullptr, native<void*>(dll, "JNI_OnLoad"));
    FreeLibrary(dll);
}

// A desktop is never reset by a library, has neither handheld processor,
// and its clock runs in milliseconds.
TEST(WindowsDlls, TheSystemToolsLoadAndBehaveAsADesktopShould) {
    HMODULE dll = LoadLibraryW(L"Morvane.dll");
    ASSERT_NE(nullptr, dll) << GetLastError();
    using Clock = jlong(JNICALL*)(JNIEnv*, jclass);
    using Reset = jint(JNICALL*)(JNIEnv*, jclass);
    using Baud = jint(JNICALL*)(JNIEnv*, jclass, jint);
    auto clock = native<Clock>(dll, "Java_com_tavrix_tools_SystemTool_GetPreciseCurrentTimeMillis");
    auto reset = native<Reset>(dll, "Java_com_tavrix_tools_SystemTool_SoftReset");
    auto baud = native<Baud>(dll, "Java_com_tavrix_tools_SystemTool_SetNonStandardBaudRate");
    ASSERT_TRUE(clock && reset && baud);
    FakeJni jni;
    const jlong before = clock(jni.env(), nullptr);
    Sleep(100);
    const jlong elapsed = clock(jni.env(), nullptr) - before;
    EXPECT_GE(elapsed, 90);
    EXPECT_LE(elapsed, 1000);
    EXPECT_EQ(0, reset(jni.env(), nullptr));
    EXPECT_EQ(-1, baud(jni.env(), nullptr, 250000));
    EXPECT_FALSE(jni.pendingException().has_value());
    FreeLibrary(dll);
}

}  // namespace

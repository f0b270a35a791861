// The JNI entry points of com.tavrix.tools.SystemTool.
#include <new>
#include <string>

#include "device_services.h"
#include "uart_override.h"
#include "wince_jni.h"

namespace {

// GetStringChars gives no terminator: PlaySoundW gets a terminated copy.
bool playJavaString(JNIEnv* env, jstring fileName, bool synchronous) {
    const jsize length = env->GetStringLength(fileName);
    const jchar* chars = env->GetStringChars(fileName, nullptr);
    if (chars == nullptr) return false;
    bool played = false;
    try {
        const std::basic_string<WCHAR> name(asPlatformChars(chars), static_cast<size_t>(length));
        played = playSound(name.c_str(), synchronous);
    } catch (const std::bad_alloc&) {}
    env->ReleaseStringChars(fileName, chars);
    return played;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_tavrix_tools_SystemTool_SoftReset(JNIEnv*, jclass) { return softReset(); }

// A null name plays nothing. Only a boolean of exactly 1 plays synchronously.
JNIEXPORT jboolean JNICALL Java_com_tavrix_tools_SystemTool_PlaySound(JNIEnv* env, jclass, jstring fileName,
                                                                      jboolean synchronous) {
    if (fileName == nullptr) return JNI_FALSE;
    return playJavaString(env, fileName, synchronous == 1) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_com_tavrix_tools_SystemTool_SystemIdleTimerReset(JNIEnv*, jclass) {
    resetIdleTimer();
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_SystemTool_GetVolume(JNIEnv*, jclass) {
    return static_cast<jint>(getVolume());
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_SystemTool_SetVolume(JNIEnv*, jclass, jint volume) {
    return static_cast<jint>(setVolume(static_cast<DWORD>(volume)));
}

JNIEXPORT jlong JNICALL Java_com_tavrix_tools_SystemTool_GetPreciseCurrentTimeMillis(JNIEnv*, jclass) {
    return preciseCurrentTimeMillis();
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_SystemTool_SetNonStandardBaudRate(JNIEnv* env, jclass,
                                                                               jint baudRate) {
    return SetNonStandardBaudRate(env, baudRate);
}

}  // extern "C"

// JNI entry points of SerialQTV for the port list, the result texts and the
// account of a failed open.
#include <mutex>

#include "port_list.h"
#include "result_text.h"
#include "utf16_text.h"
#include "wince_jni.h"
#include "wince_open_failure.h"

namespace {

constexpr DWORD kOpenFailureTextUnits = 1024;

jstring newJavaString(JNIEnv* env, const WCHAR* text, jsize length) {
    return env->NewString(asJavaChars(text), length);
}

// Stores the formatted entries; false when the VM could not make a string
// (its exception is then pending).
bool fillPortArray(JNIEnv* env, jobjectArray ports, int count) {
    WCHAR element[kPortElementUnits];
    for (int i = 0; i < count; ++i) {
        jstring text = newJavaString(env, element, formatPortElement(portList[i], element));
        if (text == nullptr) return false;
        env->SetObjectArrayElement(ports, i, text);
        // A full list would pass the 16 local references a native may hold.
        env->DeleteLocalRef(text);
    }
    return true;
}

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_tavrix_tools_comm_SerialQTV_ExpliciteLastError(JNIEnv* env,
                                                                                             jclass,
                                                                                             jint code) {
    std::lock_guard<std::mutex> lock(lastErrorTextLock);
    const WCHAR* text = resultText(code);
    return newJavaString(env, text, utf16Length(text));
}

// Asked on the thread that opened: the account is the thread's own.
extern "C" JNIEXPORT jstring JNICALL Java_com_tavrix_tools_comm_SerialQTV_LastOpenFailure(JNIEnv* env,
                                                                                          jclass) {
    WCHAR text[kOpenFailureTextUnits];
    const DWORD length = HostOpenFailureText(text, kOpenFailureTextUnits);
    return newJavaString(env, text, static_cast<jsize>(length));
}

// A null result leaves the VM's exception (out of memory) for Java to see.
extern "C" JNIEXPORT jobjectArray JNICALL Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(JNIEnv* env,
                                                                                          jclass) {
    std::lock_guard<std::mutex> lock(portListLock);
    int count = listSerialPorts();
    static const WCHAR noText[1] = {0};
    jstring empty = newJavaString(env, noText, 0);
    if (empty == nullptr) return nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) return nullptr;
    jobjectArray ports = env->NewObjectArray(count, stringClass, empty);
    if (ports == nullptr || !fillPortArray(env, ports, count)) return nullptr;
    return ports;
}

// JNI entry points of com.tavrix.tools.comm.SerialQTV for the port natives:
// check the Java input, pin, call, copy back, release.
#include <algorithm>

#include "exchange.h"
#include "port_table.h"
#include "utf16_text.h"
#include "wince_jni.h"

namespace {

constexpr jint kResultNoAccess = -1;  // the VM could not give access to an array
constexpr jint kResultBadInput = ERROR_INVALID_PARAMETER;
constexpr jint kResultBadName = ERROR_INVALID_NAME;
constexpr jint kResultInvalidPort = ERROR_INVALID_PARAMETER;
constexpr jint kMaxPortNameChars = kPortNameUnits - 1;

bool hasFirstCell(JNIEnv* env, jintArray portIndex) {
    return portIndex != nullptr && env->GetArrayLength(portIndex) >= 1;
}

// A name longer than a slot holds, or with a zero inside it, would name
// another device than the caller meant.
bool isAcceptableName(const jchar* chars, jsize length) {
    if (length > kMaxPortNameChars) return false;
    return std::find(chars, chars + length, jchar{0}) == chars + length;
}

void copyName(LineSettings& settings, const jchar* chars, jsize length) {
    for (jsize i = 0; i < length; ++i) settings.portName[i] = static_cast<WCHAR>(chars[i]);
    settings.portName[length] = 0;
}

void storeIndex(JNIEnv* env, jintArray portIndex, jint* cells, int32_t index) {
    cells[0] = index;
    env->SetIntArrayRegion(portIndex, 0, 1, cells);
}

jint openNative(JNIEnv* env, jstring portName, jintArray portIndex, InstrumentFamily family,
                uint32_t baudRate) {
    if (portName == nullptr || !hasFirstCell(env, portIndex)) return kResultBadInput;
    const jsize nameLength = env->GetStringLength(portName);
    const jchar* chars = env->GetStringChars(portName, nullptr);
    if (chars == nullptr) return kResultBadInput;
    jint* cells = env->GetIntArrayElements(portIndex, nullptr);
    if (cells == nullptr) {
        env->ReleaseStringChars(portName, chars);
        return kResultBadInput;
    }
    jint result;
    if (!isAcceptableName(chars, nameLength)) {
        storeIndex(env, portIndex, cells, firstFreeSlot());
        result = kResultBadName;
    } else {
        LineSettings settings = familySettings(family, baudRate);
        copyName(settings, chars, nameLength);
        int32_t index = 0;
        result = openPort(settings, &index);
        storeIndex(env, portIndex, cells, index);
    }
    env->ReleaseIntArrayElements(portIndex, cells, 0);
    env->ReleaseStringChars(portName, chars);
    return result;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv1(JNIEnv* env, jclass, jint baudRate,
                                                                          jstring portName,
                                                                          jintArray portIndex) {
    return openNative(env, portName, portIndex, InstrumentFamily::QTVv1, static_cast<uint32_t>(baudRate));
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv2(JNIEnv* env, jclass,
                                                                          jstring portName,
                                                                          jintArray portIndex) {
    return openNative(env, portName, portIndex, InstrumentFamily::QTVv2, 0);
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(JNIEnv* env, jclass,
                                                                           jstring portName,
                                                                           jintArray portIndex) {
    return openNative(env, portName, portIndex, InstrumentFamily::KELT3B, 0);
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1VX9(JNIEnv* env, jclass, jstring portName,
                                                                        jintArray portIndex) {
    return openNative(env, portName, portIndex, InstrumentFamily::VX9, 0);
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_FermRS(JNIEnv*, jclass, jint port) {
    if (!isPortIndex(port)) return 0;
    return closePort(port);
}

JNIEXPORT jstring JNICALL Java_com_tavrix_tools_comm_SerialQTV_DonneNomPortRS(JNIEnv* env, jclass,
                                                                              jint port) {
    if (!isPortIndex(port)) return env->NewString(nullptr, 0);
    const WCHAR* name = portTable[port].portName;
    return env->NewString(asJavaChars(name), utf16Length(name, kPortNameUnits));
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_EnvRS(JNIEnv* env, jclass, jint port,
                                                                  jbyteArray message, jint length) {
    if (!isPortIndex(port) || message == nullptr) return kResultInvalidPort;
    if (length < 0 || length > kTxBufferSize || length > env->GetArrayLength(message)) return kResultBadInput;
    jbyte* bytes = env->GetByteArrayElements(message, nullptr);
    if (bytes == nullptr) return kResultNoAccess;
    ResultCode result = sendMessage(port, reinterpret_cast<const uint8_t*>(bytes), length);
    env->ReleaseByteArrayElements(message, bytes, 0);
    return result;
}

JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_RecRS(JNIEnv* env, jclass, jint port,
                                                                  jbyteArray reply, jintArray replyLength) {
    if (!isPortIndex(port) || reply == nullptr || !hasFirstCell(env, replyLength)) {
        return kResultBadInput;
    }
    jint* lengthCells = env->GetIntArrayElements(replyLength, nullptr);
    if (lengthCells == nullptr) return kResultNoAccess;
    jbyte* bytes = env->GetByteArrayElements(reply, nullptr);
    if (bytes == nullptr) {
        env->ReleaseIntArrayElements(replyLength, lengthCells, 0);
        return kResultNoAccess;
    }
    const jsize capacity = env->GetArrayLength(reply);
    // The worker writes the frame's length as a 32-bit int, which jint need
    // not be; the cell lives for the call, as the pinned one would.
    int32_t length = lengthCells[0];
    ResultCode result = receiveReply(port, reinterpret_cast<uint8_t*>(bytes), capacity, &length);
    lengthCells[0] = length;
    // The count comes from the caller's cell when no frame arrived.
    const jsize copyBack = std::clamp<jint>(lengthCells[0], 0, capacity);
    env->SetByteArrayRegion(reply, 0, copyBack, bytes);
    env->ReleaseByteArrayElements(reply, bytes, 0);
    env->SetIntArrayRegion(replyLength, 0, 1, lengthCells);
    env->ReleaseIntArrayElements(replyLength, lengthCells, 0);
    return result;
}

}  // extern "C"

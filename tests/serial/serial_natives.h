// The port natives as the tests call them, without a VM.
#pragma once

#include <jni.h>

extern "C" {
JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv1(JNIEnv*, jclass, jint, jstring,
                                                                          jintArray);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv2(JNIEnv*, jclass, jstring,
                                                                          jintArray);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(JNIEnv*, jclass, jstring,
                                                                           jintArray);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_InitRS_1VX9(JNIEnv*, jclass, jstring, jintArray);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_FermRS(JNIEnv*, jclass, jint);
JNIEXPORT jstring JNICALL Java_com_tavrix_tools_comm_SerialQTV_DonneNomPortRS(JNIEnv*, jclass, jint);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_EnvRS(JNIEnv*, jclass, jint, jbyteArray, jint);
JNIEXPORT jint JNICALL Java_com_tavrix_tools_comm_SerialQTV_RecRS(JNIEnv*, jclass, jint, jbyteArray,
                                                                  jintArray);
JNIEXPORT jobjectArray JNICALL Java_com_tavrix_tools_comm_SerialQTV_EnumPortRS(JNIEnv*, jclass);
}

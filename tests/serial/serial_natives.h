// The port natives as the tests call them, without a VM.
#pragma once

#include <jni.h>

extern "C" {
jint Java_com_tavrix_tools_comm_SerialQTV_InitRS_1QTVv1(JNIEnv*, jclass, jint, jstring, jintArray);
jint Java_com_tavrix_tools_comm_SerialQTV_InitRS_1KELT3B(JNIEnv*, jclass, jstring, jintArray);
jint Java_com_tavrix_tools_comm_SerialQTV_FermRS(JNIEnv*, jclass, jint);
jstring Java_com_tavrix_tools_comm_SerialQTV_DonneNomPortRS(JNIEnv*, jclass, jint);
jint Java_com_tavrix_tools_comm_SerialQTV_EnvRS(JNIEnv*, jclass, jint, jbyteArray, jint);
jint Java_com_tavrix_tools_comm_SerialQTV_RecRS(JNIEnv*, jclass, jint, jbyteArray, jintArray);
}

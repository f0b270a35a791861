/* The machine-dependent part of the JNI declarations for a Windows build,
   as the Java VM on Windows expects it: natives are exported from the DLL and
   use the __stdcall convention (which x86-64 ignores); jint is a 32-bit
   long and jlong a 64-bit integer, as the Windows VM defines them. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif

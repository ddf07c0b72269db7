/* The machine-dependent part of the JNI header for Windows, as the bridge is
 * built for it with MinGW-w64: natives use __stdcall on x86 (the platform's
 * own convention on x64), and the DLL's module-definition file, not the
 * declarations, decides what is exported. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */

// Native help for the Java tests: a library call on a thread that Java did
// not create, and standard output caught in a file (the bridge prints on
// the process's standard output, which Java's System.out shares).
#include "Ferrox.h"

#include <jni.h>

#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#define TEST_FN(name) Java_com_ostrel_automotive_acx_kelvar_tamsadbg_TestNative_##name

namespace {
int savedStdout = -1;
}

extern "C" {

JNIEXPORT jint JNICALL TEST_FN(writeBpOnForeignThread)(JNIEnv *, jclass, jint Addr, jint Flags) {
    U32 result = 0;
    std::thread worker([&] { result = FERROX_CPU_WriteBP(static_cast<U32>(Addr), static_cast<U32>(Flags)); });
    worker.join();
    return static_cast<jint>(result);
}

JNIEXPORT jboolean JNICALL TEST_FN(redirectStdout)(JNIEnv *env, jclass, jstring path) {
    if (savedStdout >= 0) {
        return JNI_FALSE;
    }
    const char *name = env->GetStringUTFChars(path, nullptr);
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    env->ReleaseStringUTFChars(path, name);
    if (fd < 0) {
        return JNI_FALSE;
    }
    std::fflush(stdout);
    savedStdout = ::dup(1);
    ::dup2(fd, 1);
    ::close(fd);
    return JNI_TRUE;
}

JNIEXPORT jboolean JNICALL TEST_FN(restoreStdout)(JNIEnv *, jclass) {
    if (savedStdout < 0) {
        return JNI_FALSE;
    }
    std::fflush(stdout);
    ::dup2(savedStdout, 1);
    ::close(savedStdout);
    savedStdout = -1;
    return JNI_TRUE;
}

} // extern "C"

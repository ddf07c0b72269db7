/*
 * ferroxjni: the Java bridge to the probe link library.
 *
 * Almost every native method forwards its arguments to the export of the
 * same name and hands the result back. Of its own the bridge delivers the
 * library's texts to the Java callback object, converts arrays and strings,
 * and moves EROM to and from files (upload, download).
 *
 * No Java exception leaves a library call, and none is left pending while
 * the library runs: every JNI failure ends the method before the library is
 * called, or is parked and raised again afterwards.
 */
#include "ferroxjni.h"

#include "Ferrox.h"
#include "MEMAREA.h"
#include "ferroxjni_text.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#define JNI_FN(name) Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_##name

namespace {

// The callback object and how to reach it. theJavaVM is set only while the
// other three are valid: the wrappers test all of them.
JavaVM *theJavaVM = nullptr;
jobject theCallbackInterface = nullptr;
jmethodID theLogMessageCallback = nullptr;
jmethodID theErrorMessageCallback = nullptr;

const char16_t libraryName[] = u"TamsadbgJni Library";
const char16_t libraryVersion[] = u"3.0";

const char kCallbackSignature[] = "(Ljava/lang/String;)V";

// Most version items the target can announce (a 16-bit count).
constexpr std::size_t kMaxVersionItems = 0xFFFF;

// Lines on standard output go out at once, so that they stand in order with
// what the Java side prints (the two sides buffer separately).
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void JNI_Print(const char *sFormat, ...) {
    va_list args;
    va_start(args, sFormat);
    std::vfprintf(stdout, sFormat, args);
    va_end(args);
    std::fflush(stdout);
}

// ------------------------------------------------------------------ texts

jstring JNI_NewString(JNIEnv *env, const char *sText) {
    const std::u16string text = JNI_Utf8ToUtf16(sText);
    static_assert(sizeof(jchar) == sizeof(char16_t));
    return env->NewString(reinterpret_cast<const jchar *>(text.data()), static_cast<jsize>(text.size()));
}

// The modified UTF-8 characters of a Java string, released on leaving the
// scope. A null string gives a null text; so does a failed copy, which
// leaves an OutOfMemoryError pending (failed() tells).
class JavaText {
public:
    JavaText(JNIEnv *env, jstring s) : env_(env), s_(s) {
        if (s_ != nullptr) {
            chars_ = env_->GetStringUTFChars(s_, nullptr);
        }
    }
    ~JavaText() {
        if (chars_ != nullptr) {
            env_->ReleaseStringUTFChars(s_, chars_);
        }
    }
    JavaText(const JavaText &) = delete;
    JavaText &operator=(const JavaText &) = delete;

    const char *get() const { return chars_; }
    bool failed() const { return s_ != nullptr && chars_ == nullptr; }

private:
    JNIEnv *env_;
    jstring s_;
    const char *chars_ = nullptr;
};

// ------------------------------------------------------------------ arrays

// The elements of a Java array for one library call: null when the array is
// missing or holds fewer than Needed elements, so that the library refuses
// the call with its own failure value instead of running past the array.
// Released with mode 0 (copied back) for reads, JNI_ABORT for writes.
template <typename JArray, typename JElem, JElem *(JNIEnv::*Get)(JArray, jboolean *),
          void (JNIEnv::*Release)(JArray, JElem *, jint)>
class ArrayElements {
public:
    ArrayElements(JNIEnv *env, JArray array, std::int64_t Needed, jint Mode)
        : env_(env), array_(array), mode_(Mode) {
        if (array_ != nullptr && Needed <= env_->GetArrayLength(array_)) {
            elems_ = (env_->*Get)(array_, nullptr);
        }
    }
    ~ArrayElements() {
        if (elems_ != nullptr) {
            (env_->*Release)(array_, elems_, mode_);
        }
    }
    ArrayElements(const ArrayElements &) = delete;
    ArrayElements &operator=(const ArrayElements &) = delete;

    JElem *get() const { return elems_; }

private:
    JNIEnv *env_;
    JArray array_;
    jint mode_;
    JElem *elems_ = nullptr;
};

using ByteElements =
    ArrayElements<jbyteArray, jbyte, &JNIEnv::GetByteArrayElements, &JNIEnv::ReleaseByteArrayElements>;
using ShortElements =
    ArrayElements<jshortArray, jshort, &JNIEnv::GetShortArrayElements, &JNIEnv::ReleaseShortArrayElements>;
using IntElements =
    ArrayElements<jintArray, jint, &JNIEnv::GetIntArrayElements, &JNIEnv::ReleaseIntArrayElements>;

// A count argument as the library sees it (an unsigned 32-bit number).
std::int64_t JNI_Count(jint Count) {
    return static_cast<std::int64_t>(static_cast<U32>(Count));
}

U8 *JNI_Bytes(const ByteElements &e) {
    return reinterpret_cast<U8 *>(e.get());
}

// ------------------------------------------------------------------ callbacks

// Hands a text to the callback object. False when no object is registered or
// this thread cannot reach the VM; the caller then prints the text.
bool JNI_Deliver(const char *sMessage, bool IsError) {
    JavaVM *vm = theJavaVM;
    const jobject target = theCallbackInterface;
    const jmethodID method = IsError ? theErrorMessageCallback : theLogMessageCallback;
    if (vm == nullptr || target == nullptr || method == nullptr) {
        return false;
    }
    JNIEnv *env = nullptr;
    bool attached = false;
    const jint rc = vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6);
    if (rc == JNI_EDETACHED) {
        if (vm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr) != JNI_OK) {
            return false;
        }
        attached = true;
    } else if (rc != JNI_OK) {
        return false;
    }
    jstring text = JNI_NewString(env, sMessage);
    // The callback must not run with an exception pending; one that the
    // caller's Java code already has stays its own and is raised again.
    const jthrowable pending = env->ExceptionOccurred();
    env->ExceptionClear();
    env->CallVoidMethod(target, method, text);
    env->ExceptionClear();
    if (pending != nullptr) {
        env->Throw(pending);
        env->DeleteLocalRef(pending);
    }
    if (text != nullptr) {
        env->DeleteLocalRef(text);
    }
    if (attached) {
        // A thread we attached leaves again at once: an attached thread that
        // ends unnoticed would stay a live Java thread and hold up the VM's
        // shutdown.
        vm->DetachCurrentThread();
    }
    return true;
}

void LogCallbackWrapper(const char *sMessage) {
    if (!JNI_Deliver(sMessage, false)) {
        JNI_Print("%s", sMessage != nullptr ? sMessage : "");
    }
}

void ErrorCallbackWrapper(const char *sMessage) {
    if (!JNI_Deliver(sMessage, true)) {
        JNI_Print("\n****** Error: %s\n", sMessage != nullptr ? sMessage : "");
    }
}

void JNI_DropCallback(JNIEnv *env) {
    theJavaVM = nullptr;
    if (theCallbackInterface != nullptr) {
        env->DeleteGlobalRef(theCallbackInterface);
    }
    theCallbackInterface = nullptr;
}

// Registers the callback object when it has both methods. A missing method
// leaves the JNI lookup's NoSuchMethodError pending for the Java caller.
void JNI_RegisterCallback(JNIEnv *env, jobject callback) {
    JavaVM *vm = nullptr;
    if (callback == nullptr || env->GetJavaVM(&vm) != JNI_OK) {
        return;
    }
    const jobject ref = env->NewGlobalRef(callback);
    const jclass cls = env->GetObjectClass(callback);
    const jmethodID log = cls != nullptr ? env->GetMethodID(cls, "logMessage", kCallbackSignature) : nullptr;
    const jmethodID error =
        log != nullptr ? env->GetMethodID(cls, "errorMessage", kCallbackSignature) : nullptr;
    if (cls != nullptr) {
        env->DeleteLocalRef(cls);
    }
    theLogMessageCallback = log;
    theErrorMessageCallback = error;
    if (ref == nullptr || log == nullptr || error == nullptr) {
        theLogMessageCallback = nullptr;
        theErrorMessageCallback = nullptr;
        if (ref != nullptr) {
            env->DeleteGlobalRef(ref);
        }
        return;
    }
    theCallbackInterface = ref;
    theJavaVM = vm;
}

// ------------------------------------------------------------------ records

struct JNI_FIELD {
    const char *sName;
    const char *sSignature; // "S" short, "B" byte
    unsigned Value;
};

// Sets the fields of an object that its class has, in order; a missing one
// is skipped and the first NoSuchFieldError raised after the others are set.
template <std::size_t N> void JNI_SetFields(JNIEnv *env, jobject object, const JNI_FIELD (&fields)[N]) {
    if (object == nullptr) {
        return;
    }
    const jclass cls = env->GetObjectClass(object);
    if (cls == nullptr) {
        return;
    }
    jthrowable missing = nullptr;
    for (const JNI_FIELD &f : fields) {
        const jfieldID id = env->GetFieldID(cls, f.sName, f.sSignature);
        if (id == nullptr) {
            const jthrowable e = env->ExceptionOccurred();
            env->ExceptionClear();
            if (missing == nullptr) {
                missing = e;
            } else if (e != nullptr) {
                env->DeleteLocalRef(e);
            }
        } else if (f.sSignature[0] == 'S') {
            env->SetShortField(object, id, static_cast<jshort>(f.Value));
        } else {
            env->SetByteField(object, id, static_cast<jbyte>(f.Value));
        }
    }
    env->DeleteLocalRef(cls);
    if (missing != nullptr) {
        env->Throw(missing);
        env->DeleteLocalRef(missing);
    }
}

// ------------------------------------------------------------------ files

constexpr int kErrorTextSize = 512;

// The file name of upload and download, settled; prints why it cannot be.
bool JNI_FileName(JNIEnv *env, jstring fname, const char *sWhat, char (&name)[JNI_FILENAME_SIZE], int &kind) {
    const JavaText text(env, fname);
    if (text.failed()) {
        return false;
    }
    if (text.get() == nullptr || text.get()[0] == '\0') {
        JNI_Print("\nWrong parameter for %s, missing a valid filename\n", sWhat);
        return false;
    }
    if (JNI_SettleFilename(text.get(), name, sizeof name, &kind) != 0) {
        JNI_Print("\nWrong parameter for %s, filename too long (at most %d characters, with an appended "
                  "\".Hex\")\n",
                  sWhat, JNI_FILENAME_SIZE - 1);
        return false;
    }
    return true;
}

int JNI_Upload(JNIEnv *env, jstring fname, jint address, jint size) {
    if (size <= 0) {
        JNI_Print("\nWrong parameter for upload, size must be larger than zero\n");
        return JNI_RESULT_BAD_PARAMETER;
    }
    char name[JNI_FILENAME_SIZE];
    int kind = JNI_FILE_HEX;
    if (!JNI_FileName(env, fname, "upload", name, kind)) {
        return JNI_RESULT_BAD_PARAMETER;
    }
    const std::unique_ptr<U8[]> buffer(new (std::nothrow) U8[static_cast<std::size_t>(size)]);
    if (!buffer) {
        JNI_Print("\nInsufficient memory for upload. Size too large?\n");
        return -1;
    }
    if (FERROX_HasError() != 0) {
        FERROX_ClrError();
    }
    const auto addr = static_cast<U32>(address);
    JNI_Print("\nReading %d Bytes EROM memory, starting from 0x%X ...\n", size, addr);
    const int numBytesRead = FERROX_CPU_GetEROM(addr, static_cast<U32>(size), buffer.get());
    if (numBytesRead > 0) {
        char error[kErrorTextSize] = "";
        const MEMAREA_HANDLE image = MEMAREA_Create();
        int result = -1;
        if (image != nullptr && MEMAREA_Add(image, addr, static_cast<U32>(numBytesRead), buffer.get()) == 0) {
            result = kind == JNI_FILE_HEX ? MEMAREA_WriteHexFile(image, name, error, kErrorTextSize)
                                          : MEMAREA_WriteBinFile(image, name, error, kErrorTextSize, addr,
                                                                 addr + static_cast<U32>(numBytesRead) - 1);
        }
        if (result == 0) {
            JNI_Print("\n%d Bytes of Data written to file %s\n", numBytesRead, name);
        } else {
            JNI_Print("Data could not be written to %s\n", name);
        }
        if (image != nullptr) {
            MEMAREA_Delete(image);
        }
    }
    return 0;
}

// Programs the image's ranges in address order; the result of download.
int JNI_ProgramImage(MEMAREA_HANDLE image) {
    // Counted wide: an image may span more than an int holds.
    std::int64_t remaining = static_cast<std::int64_t>(MEMAREA_GetLastAddr(image)) -
                             static_cast<std::int64_t>(MEMAREA_GetFirstAddr(image)) + 1;
    if (remaining <= 0) {
        return 0;
    }
    int written = 0;
    const int numRanges = MEMAREA_GetNumRanges(image);
    for (int i = 0; i < numRanges && remaining > 0; ++i) {
        U32 start = 0;
        U32 size = 0;
        MEMAREA_GetRangeInfo(image, i, &start, &size);
        std::unique_ptr<U8[]> bytes;
        if (size <= static_cast<U32>(INT_MAX)) {
            bytes.reset(new (std::nothrow) U8[size == 0 ? 1 : size]);
        }
        if (!bytes) {
            JNI_Print("\nSystem error: Memory for target could not be allocated.");
            return -1;
        }
        MEMAREA_ReadMem(image, start, size, bytes.get(), 0);
        const int count = static_cast<int>(size < remaining ? size : remaining);
        if (FERROX_HasError() != 0) {
            FERROX_ClrError();
        }
        JNI_Print("Writing %d Bytes to EROM memory, starting from 0x%X ...\n", count, start);
        const int done = FERROX_CPU_ProgEROM(start, static_cast<U32>(count), bytes.get());
        written += done;
        remaining -= done;
        if (done != count) {
            JNI_Print("Error on download: Not all of the requested bytes could be written!\n");
            return -1;
        }
    }
    JNI_Print("Download finished, %d Byte(s) written to memory.\n", written);
    return 0;
}

int JNI_Download(JNIEnv *env, jstring fname, jint address) {
    char name[JNI_FILENAME_SIZE];
    int kind = JNI_FILE_HEX;
    if (!JNI_FileName(env, fname, "download", name, kind)) {
        return -1;
    }
    const MEMAREA_HANDLE image = MEMAREA_Create();
    if (image == nullptr) {
        JNI_Print("\nSystem error: Memory for target could not be allocated.");
        return -1;
    }
    char error[kErrorTextSize] = "";
    const int read = kind == JNI_FILE_HEX
                         ? MEMAREA_ReadHexFile(image, name, error, kErrorTextSize)
                         : MEMAREA_ReadBinFile(image, name, error, kErrorTextSize, static_cast<U32>(address));
    int result = 0;
    if (read != 0) {
        if (error[0] != '\0') {
            JNI_Print("\n%s\n", error);
            result = -1;
        } else {
            JNI_Print("\nWrong parameter for download, File [%s] does not exist!\n", name);
            result = ERROR_FILE_NOT_EXIST;
        }
    } else {
        result = JNI_ProgramImage(image);
    }
    MEMAREA_Delete(image);
    return result;
}

} // namespace

// ====================================================================== exports

// Methods that forward their arguments unchanged.
#define JNI_FORWARD0(name, call)                                                                             \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv *, jobject) {                                                 \
        return static_cast<jint>(call());                                                                    \
    }
#define JNI_FORWARD_INT(name, call)                                                                          \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv *, jobject, jint a) {                                         \
        return static_cast<jint>(call(a));                                                                   \
    }
#define JNI_FORWARD_U32(name, call)                                                                          \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv *, jobject, jint a) {                                         \
        return static_cast<jint>(call(static_cast<U32>(a)));                                                 \
    }
#define JNI_FORWARD_BYTE(name, call)                                                                         \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv *, jobject, jbyte a) {                                        \
        return static_cast<jint>(call(static_cast<U8>(a)));                                                  \
    }
#define JNI_FORWARD_U32_U32(name, call)                                                                      \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv *, jobject, jint a, jint b) {                                 \
        return static_cast<jint>(call(static_cast<U32>(a), static_cast<U32>(b)));                            \
    }
// Memory methods with an address, a count and an array; Release is 0 for
// reads and JNI_ABORT for writes.
#define JNI_FORWARD_BYTES(name, call, Release)                                                               \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv * env, jobject, jint Addr, jint NumBytes, jbyteArray Data) {  \
        const ByteElements e(env, Data, JNI_Count(NumBytes), Release);                                       \
        return call(static_cast<U32>(Addr), static_cast<U32>(NumBytes), JNI_Bytes(e));                       \
    }
#define JNI_FORWARD_PAGES(name, call, Release)                                                               \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv * env, jobject, jint Addr, jint NumPages, jintArray Data) {   \
        const IntElements e(env, Data, JNI_Count(NumPages), Release);                                        \
        return call(static_cast<U32>(Addr), static_cast<U32>(NumPages), reinterpret_cast<U32 *>(e.get()));   \
    }
#define JNI_FORWARD_CONFIG(name, call, Release)                                                              \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv * env, jobject, jbyteArray Data, jint Offset,                 \
                                        jint NumBytes) {                                                     \
        const ByteElements e(env, Data, JNI_Count(NumBytes), Release);                                       \
        return call(JNI_Bytes(e), static_cast<U32>(Offset), static_cast<U32>(NumBytes));                     \
    }
#define JNI_FORWARD_ITEMS(name, call)                                                                        \
    JNIEXPORT jint JNICALL JNI_FN(name)(JNIEnv * env, jobject, jint NumItems, jshortArray Data) {            \
        const ShortElements e(env, Data, JNI_Count(NumItems), 0);                                            \
        return call(static_cast<U32>(NumItems), reinterpret_cast<U16 *>(e.get()));                           \
    }

extern "C" {

// ------------------------------------------------------------------ bridge and connection

JNIEXPORT jcharArray JNICALL JNI_FN(getJniDllVersion)(JNIEnv *env, jobject) {
    std::u16string text = libraryName;
    text += u" - ";
    text += libraryVersion;
    const jcharArray result = env->NewCharArray(JNI_DLL_VERSION_LENGTH);
    if (result != nullptr) {
        env->SetCharArrayRegion(result, 0, static_cast<jsize>(text.size()),
                                reinterpret_cast<const jchar *>(text.data()));
    }
    return result;
}

JNIEXPORT jint JNICALL JNI_FN(Open)(JNIEnv *env, jobject, jobject callback) {
    JNI_DropCallback(env);
    JNI_RegisterCallback(env, callback);
    return FERROX_Open(LogCallbackWrapper, ErrorCallbackWrapper);
}

JNIEXPORT void JNICALL JNI_FN(Close)(JNIEnv *env, jobject) {
    FERROX_Close();
    JNI_DropCallback(env);
}

JNIEXPORT void JNICALL JNI_FN(CloseEx)(JNIEnv *env, jobject, jbyte RunMode) {
    FERROX_CloseEx(static_cast<U8>(RunMode));
    JNI_DropCallback(env);
}

JNIEXPORT void JNICALL JNI_FN(ClrError)(JNIEnv *, jobject) {
    FERROX_ClrError();
}

JNI_FORWARD0(HasError, FERROX_HasError)

JNIEXPORT jbyte JNICALL JNI_FN(IsOpen)(JNIEnv *, jobject) {
    return static_cast<jbyte>(FERROX_IsOpen());
}

JNI_FORWARD0(GetDLLVersion, FERROX_GetDLLVersion)

JNIEXPORT jstring JNICALL JNI_FN(GetCompileDateTime)(JNIEnv *env, jobject) {
    return JNI_NewString(env, FERROX_GetCompileDateTime());
}

JNIEXPORT jbyte JNICALL JNI_FN(SelectUSB)(JNIEnv *, jobject, jint Port) {
    return static_cast<jbyte>(FERROX_SelectUSB(Port));
}

JNIEXPORT jbyte JNICALL JNI_FN(SelectTCPIP)(JNIEnv *env, jobject, jstring host, jint port) {
    const JavaText text(env, host);
    if (text.failed()) {
        return 1;
    }
    return static_cast<jbyte>(FERROX_SelectTCPIP(text.get(), port));
}

JNIEXPORT void JNICALL JNI_FN(SetLogFile)(JNIEnv *env, jobject, jstring Filename) {
    const JavaText text(env, Filename);
    if (text.failed()) {
        return;
    }
    const char *name = text.get();
    FERROX_SetLogFile(name != nullptr && name[0] != '\0' ? name : nullptr);
}

// ------------------------------------------------------------------ target execution

JNI_FORWARD0(CPU_1Abort, FERROX_CPU_Abort)
JNI_FORWARD0(CPU_1ClrWatchp, FERROX_CPU_ClrWatchp)
JNI_FORWARD0(CPU_1EnterMonitor, FERROX_CPU_EnterMonitor)
JNI_FORWARD0(CPU_1Erase, FERROX_CPU_Erase)
JNI_FORWARD0(CPU_1GetLastResponse, FERROX_CPU_GetLastResponse)
JNI_FORWARD0(CPU_1Go, FERROX_CPU_Go)
JNI_FORWARD0(CPU_1Halt, FERROX_CPU_Halt)
JNI_FORWARD0(CPU_1IsHalted, FERROX_CPU_IsHalted)
JNI_FORWARD0(CPU_1IsProtected, FERROX_CPU_IsProtected)
JNI_FORWARD0(CPU_1PowerOnReset, FERROX_CPU_PowerOnReset)
JNI_FORWARD0(CPU_1Protect, FERROX_CPU_Protect)
JNI_FORWARD0(CPU_1Reset, FERROX_CPU_Reset)
JNI_FORWARD0(CPU_1Step, FERROX_CPU_Step)
JNI_FORWARD0(EMU_1GetCaps, FERROX_EMU_GetCaps)
JNI_FORWARD0(EMU_1GetHWVersion, FERROX_EMU_GetHWVersion)
JNI_FORWARD0(EMU_1GetSN, FERROX_EMU_GetSN)

JNI_FORWARD_INT(CPU_1GetReg, FERROX_CPU_GetReg)
JNI_FORWARD_INT(CPU_1IoTest, FERROX_CPU_IoTest)
JNI_FORWARD_U32(CPU_1SendData, FERROX_CPU_SendData)
JNI_FORWARD_U32(CPU_1SetBaud, FERROX_CPU_SetBaud)
JNI_FORWARD_U32(EMU_1SetUSBAddr, FERROX_EMU_SetUSBAddr)

JNI_FORWARD_BYTE(CPU_1GetStatus, FERROX_CPU_GetStatus)
JNI_FORWARD_BYTE(CPU_1IsHaltedEx, FERROX_CPU_IsHaltedEx)
JNI_FORWARD_BYTE(EMU_1SwitchInterface, FERROX_EMU_SwitchInterface)
JNI_FORWARD_BYTE(EMU_1SwitchPower, FERROX_EMU_SwitchPower)
JNI_FORWARD_BYTE(EMU_1SwitchPowerEx, FERROX_EMU_SwitchPowerEx)

JNI_FORWARD_U32_U32(CPU_1CopyPage, FERROX_CPU_CopyPage)
JNI_FORWARD_U32_U32(CPU_1SendCommand, FERROX_CPU_SendCommand)
JNI_FORWARD_U32_U32(CPU_1WriteBP, FERROX_CPU_WriteBP)

JNIEXPORT jint JNICALL JNI_FN(CPU_1SetReg)(JNIEnv *, jobject, jint RegIndex, jint Data) {
    return FERROX_CPU_SetReg(RegIndex, static_cast<U32>(Data));
}

// ------------------------------------------------------------------ target memories

JNIEXPORT jint JNICALL JNI_FN(CPU_1ProgUlpBytes)(JNIEnv *, jobject, jint Addr, jint Mask, jint Data) {
    return FERROX_CPU_ProgUlpBytes(static_cast<U32>(Addr), static_cast<U32>(Mask), static_cast<U32>(Data));
}

JNIEXPORT jint JNICALL JNI_FN(CPU_1SetBitField)(JNIEnv *, jobject, jint Addr, jint Position, jint Width,
                                                jint Data) {
    return FERROX_CPU_SetBitField(static_cast<U32>(Addr), Position, Width, static_cast<U32>(Data));
}

JNIEXPORT jint JNICALL JNI_FN(EMU_1ControlSystemBuffer)(JNIEnv *, jobject, jint Cmd) {
    return FERROX_EMU_ControlSystemBuffer(static_cast<U8>(Cmd), 0);
}

JNIEXPORT jint JNICALL JNI_FN(EMU_1ControlUserBuffer)(JNIEnv *, jobject, jint Cmd) {
    return FERROX_EMU_ControlUserBuffer(static_cast<U8>(Cmd), 0);
}

JNI_FORWARD_BYTES(CPU_1GetData, FERROX_CPU_GetData, 0)
JNI_FORWARD_BYTES(CPU_1GetEEPROM, FERROX_CPU_GetEEPROM, 0)
JNI_FORWARD_BYTES(CPU_1GetEROM, FERROX_CPU_GetEROM, 0)
JNI_FORWARD_BYTES(CPU_1SetData, FERROX_CPU_SetData, JNI_ABORT)
JNI_FORWARD_BYTES(CPU_1ProgEEPROM, FERROX_CPU_ProgEEPROM, JNI_ABORT)
JNI_FORWARD_BYTES(CPU_1ProgEROM, FERROX_CPU_ProgEROM, JNI_ABORT)

JNIEXPORT jint JNICALL JNI_FN(CPU_1CalcSign)(JNIEnv *env, jobject, jint Instance, jint NumBytes,
                                             jbyteArray Data) {
    // The library writes at most four bytes of the signature.
    const ByteElements e(env, Data, NumBytes < 0 ? 0 : (NumBytes < 4 ? NumBytes : 4), 0);
    return FERROX_CPU_CalcSign(Instance, NumBytes, JNI_Bytes(e));
}

JNI_FORWARD_PAGES(CPU_1GetULP, FERROX_CPU_GetULP, 0)
JNI_FORWARD_PAGES(CPU_1ProgULP, FERROX_CPU_ProgULP, JNI_ABORT)

JNI_FORWARD_CONFIG(EMU_1ReadConfigMem, FERROX_EMU_ReadConfigMem, 0)
JNI_FORWARD_CONFIG(EMU_1WriteConfigMem, FERROX_EMU_WriteConfigMem, JNI_ABORT)

JNI_FORWARD_ITEMS(EMU_1ReadSystemBuffer, FERROX_EMU_ReadSystemBuffer)
JNI_FORWARD_ITEMS(EMU_1ReadUserBuffer, FERROX_EMU_ReadUserBuffer)

// ------------------------------------------------------------------ composite calls

JNIEXPORT jint JNICALL JNI_FN(CPU_1GetRegsAll)(JNIEnv *env, jobject, jobject Registers) {
    TAMSA_REGISTERS r{};
    const int result = FERROX_CPU_GetRegsAll(&r);
    const JNI_FIELD fields[] = {{"PC", "S", r.PC}, {"PSW", "S", r.PSW}, {"R0", "S", r.R0}, {"R1", "S", r.R1},
                                {"R2", "S", r.R2}, {"R3", "S", r.R3},   {"R4", "S", r.R4}, {"R5", "S", r.R5},
                                {"R6", "S", r.R6}, {"R7", "S", r.R7}};
    JNI_SetFields(env, Registers, fields);
    return result;
}

JNIEXPORT jint JNICALL JNI_FN(EMU_1GetHWStatus)(JNIEnv *env, jobject, jobject hwStatus) {
    FERROX_HW_STATUS s{};
    const int result = FERROX_EMU_GetHWStatus(&s);
    const JNI_FIELD fields[] = {{"VTarget", "S", s.VTarget},
                                {"SDA", "B", s.SDA},
                                {"SCL", "B", s.SCL},
                                {"SDAout", "B", s.SDAout},
                                {"Wakeout", "B", s.Wakeout},
                                {"FPGA", "B", s.FPGA},
                                {"TargetPowerOn", "B", s.TargetPowerOn}};
    JNI_SetFields(env, hwStatus, fields);
    return result;
}

JNIEXPORT jint JNICALL JNI_FN(CPU_1GetVersion)(JNIEnv *env, jobject, jintArray Data) {
    const jsize length = Data != nullptr ? env->GetArrayLength(Data) : 0;
    if (length == 0) {
        return FERROX_CPU_GetVersion(nullptr);
    }
    // The target decides how many items come (up to a 16-bit count), so the
    // library writes into a buffer that holds any answer; the array gets
    // what fits, and its other elements stay as they were.
    const std::size_t shown = static_cast<std::size_t>(length) < kMaxVersionItems
                                  ? static_cast<std::size_t>(length)
                                  : kMaxVersionItems;
    std::vector<U32> items(kMaxVersionItems);
    env->GetIntArrayRegion(Data, 0, static_cast<jsize>(shown), reinterpret_cast<jint *>(items.data()));
    if (env->ExceptionCheck()) {
        return -1;
    }
    const int result = FERROX_CPU_GetVersion(items.data());
    env->SetIntArrayRegion(Data, 0, static_cast<jsize>(shown), reinterpret_cast<const jint *>(items.data()));
    return result;
}

JNIEXPORT jint JNICALL JNI_FN(CPU_1ProgPfBits)(JNIEnv *env, jobject, jint Address, jint Offset, jint NumBits,
                                               jbyteArray Data) {
    const jsize nItems = Data != nullptr ? env->GetArrayLength(Data) : 0;
    if (nItems > MAX_PROG_PF_BITS_ITEMS) {
        return -1;
    }
    // The library takes the run's whole words from the buffer: the bits of
    // the run must come from the array, the rest of the buffer is zero.
    const std::int64_t runBits = static_cast<std::int64_t>(Offset) + NumBits;
    if (runBits > static_cast<std::int64_t>(nItems) * 8) {
        return -1;
    }
    U8 buffer[MAX_PROG_PF_BITS_ITEMS] = {};
    if (nItems > 0) {
        env->GetByteArrayRegion(Data, 0, nItems, reinterpret_cast<jbyte *>(buffer));
    }
    return FERROX_CPU_ProgPfBits(static_cast<U32>(Address), Offset, NumBits, buffer);
}

JNIEXPORT jint JNICALL JNI_FN(CPU_1Unprotect)(JNIEnv *env, jobject, jstring hexKey) {
    const JavaText key(env, hexKey);
    if (key.failed()) {
        return -1;
    }
    return FERROX_CPU_Unprotect(key.get());
}

JNIEXPORT jint JNICALL JNI_FN(EMU_1ExecCommand)(JNIEnv *env, jobject, jstring Command,
                                                jobjectArray Responses) {
    char response[EMU_EXEC_COMMAND_RESPONSE_LENGTH] = "";
    int result = 0;
    {
        const JavaText command(env, Command);
        if (command.failed()) {
            return 1;
        }
        result = FERROX_EMU_ExecCommand(command.get(), response, EMU_EXEC_COMMAND_RESPONSE_LENGTH);
    }
    response[EMU_EXEC_COMMAND_RESPONSE_LENGTH - 1] = '\0';
    if (Responses != nullptr && env->GetArrayLength(Responses) > 0) {
        const jstring text = JNI_NewString(env, response);
        if (text != nullptr) {
            env->SetObjectArrayElement(Responses, 0, text);
            env->DeleteLocalRef(text);
        }
    }
    return result;
}

JNIEXPORT jstring JNICALL JNI_FN(EMU_1GetFirmwareString)(JNIEnv *env, jobject) {
    char text[EMU_EXEC_COMMAND_RESPONSE_LENGTH] = "";
    FERROX_EMU_GetFirmwareString(text, EMU_EXEC_COMMAND_RESPONSE_LENGTH);
    text[EMU_EXEC_COMMAND_RESPONSE_LENGTH - 1] = '\0';
    return JNI_NewString(env, text);
}

JNIEXPORT jint JNICALL JNI_FN(upload)(JNIEnv *env, jobject, jstring fname, jint address, jint size) {
    return JNI_Upload(env, fname, address, size);
}

JNIEXPORT jint JNICALL JNI_FN(download)(JNIEnv *env, jobject, jstring fname, jint address) {
    return JNI_Download(env, fname, address);
}

} // extern "C"

/*
 * ferroxjni: the native methods of the Java class
 * com.ostrel.automotive.acx.kelvar.tamsadbg.Ferrox, forwarded to the probe
 * link library Ferrox.
 *
 * Every method is exported under its JNI name: the class prefix, then the
 * Java method name with each "_" written "_1". The Java object (jobject) is
 * not used: the library serves one probe per process.
 */
#ifndef FERROXJNI_H
#define FERROXJNI_H

#include <jni.h>

/* Most bytes that CPU_ProgPfBits takes from its Java array. */
#define MAX_PROG_PF_BITS_ITEMS 64
/* Size of the reply buffer of EMU_ExecCommand (and of the firmware text). */
#define EMU_EXEC_COMMAND_RESPONSE_LENGTH 256
/* download: the file could not be read and the reader gave no reason. */
#define ERROR_FILE_NOT_EXIST (-140)
/* upload: a parameter fault (the target status code of one). */
#define JNI_RESULT_BAD_PARAMETER 6
/* Elements of the char array of getJniDllVersion. */
#define JNI_DLL_VERSION_LENGTH 30

#ifdef __cplusplus
extern "C" {
#endif

/* One prototype per native method of the Java class, in its order. */
/* clang-format off */
JNIEXPORT jcharArray JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_getJniDllVersion
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_Open
    (JNIEnv *, jobject, jobject);
JNIEXPORT void JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_Close
    (JNIEnv *, jobject);
JNIEXPORT void JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CloseEx
    (JNIEnv *, jobject, jbyte);
JNIEXPORT void JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_ClrError
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_HasError
    (JNIEnv *, jobject);
JNIEXPORT jbyte JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_IsOpen
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_GetDLLVersion
    (JNIEnv *, jobject);
JNIEXPORT jstring JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_GetCompileDateTime
    (JNIEnv *, jobject);
JNIEXPORT jbyte JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_SelectUSB
    (JNIEnv *, jobject, jint);
JNIEXPORT jbyte JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_SelectTCPIP
    (JNIEnv *, jobject, jstring, jint);
JNIEXPORT void JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_SetLogFile
    (JNIEnv *, jobject, jstring);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Abort
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1ClrWatchp
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1EnterMonitor
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Erase
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetLastResponse
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Go
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Halt
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1IsHalted
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1IsProtected
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1PowerOnReset
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Protect
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Reset
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Step
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1GetCaps
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1GetHWVersion
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1GetSN
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetReg
    (JNIEnv *, jobject, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1IoTest
    (JNIEnv *, jobject, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1SendData
    (JNIEnv *, jobject, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1SetBaud
    (JNIEnv *, jobject, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1SetUSBAddr
    (JNIEnv *, jobject, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetStatus
    (JNIEnv *, jobject, jbyte);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1IsHaltedEx
    (JNIEnv *, jobject, jbyte);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1SwitchInterface
    (JNIEnv *, jobject, jbyte);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1SwitchPower
    (JNIEnv *, jobject, jbyte);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1SwitchPowerEx
    (JNIEnv *, jobject, jbyte);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1CopyPage
    (JNIEnv *, jobject, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1SendCommand
    (JNIEnv *, jobject, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1SetReg
    (JNIEnv *, jobject, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1WriteBP
    (JNIEnv *, jobject, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1ProgUlpBytes
    (JNIEnv *, jobject, jint, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1SetBitField
    (JNIEnv *, jobject, jint, jint, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1ControlSystemBuffer
    (JNIEnv *, jobject, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1ControlUserBuffer
    (JNIEnv *, jobject, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetData
    (JNIEnv *, jobject, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetEEPROM
    (JNIEnv *, jobject, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetEROM
    (JNIEnv *, jobject, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1CalcSign
    (JNIEnv *, jobject, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1SetData
    (JNIEnv *, jobject, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1ProgEEPROM
    (JNIEnv *, jobject, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1ProgEROM
    (JNIEnv *, jobject, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetULP
    (JNIEnv *, jobject, jint, jint, jintArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1ProgULP
    (JNIEnv *, jobject, jint, jint, jintArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1ReadConfigMem
    (JNIEnv *, jobject, jbyteArray, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1WriteConfigMem
    (JNIEnv *, jobject, jbyteArray, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1ReadSystemBuffer
    (JNIEnv *, jobject, jint, jshortArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1ReadUserBuffer
    (JNIEnv *, jobject, jint, jshortArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetRegsAll
    (JNIEnv *, jobject, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1GetVersion
    (JNIEnv *, jobject, jintArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1ProgPfBits
    (JNIEnv *, jobject, jint, jint, jint, jbyteArray);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_CPU_1Unprotect
    (JNIEnv *, jobject, jstring);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1ExecCommand
    (JNIEnv *, jobject, jstring, jobjectArray);
JNIEXPORT jstring JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1GetFirmwareString
    (JNIEnv *, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_EMU_1GetHWStatus
    (JNIEnv *, jobject, jobject);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_upload
    (JNIEnv *, jobject, jstring, jint, jint);
JNIEXPORT jint JNICALL Java_com_ostrel_automotive_acx_kelvar_tamsadbg_Ferrox_download
    (JNIEnv *, jobject, jstring, jint);
/* clang-format on */

#ifdef __cplusplus
}
#endif

#endif /* FERROXJNI_H */

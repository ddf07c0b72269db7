/* Ferrox: the Quidor probe link library. A flat, stateful C API that serves
 * one probe per process. */
#ifndef FERROX_H
#define FERROX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The exports use __stdcall on 32-bit Windows; elsewhere the platform's own. */
#if defined(_WIN32) && !defined(_WIN64)
#define FERROX_CALL __stdcall
#else
#define FERROX_CALL
#endif

#ifndef FERROX_INT_TYPES_DEFINED
#define FERROX_INT_TYPES_DEFINED
typedef uint8_t U8;
typedef uint16_t U16;
typedef uint32_t U32;
typedef uint64_t U64;
typedef int8_t I8;
typedef int16_t I16;
typedef int32_t I32;
typedef int64_t I64;
#endif

/* Memory types, used by the applications to pick the memory exports. */
#define MEM_TYPE_EROM 1
#define MEM_TYPE_EEPROM 2
#define MEM_TYPE_DATA 3
#define MEM_TYPE_ULP 4

/* Capability bits of the probe's first capability word. */
#define FERROX_EMU_CAP_RESERVED (1u << 0)
#define FERROX_EMU_CAP_GET_HW_VERSION (1u << 1)
#define FERROX_EMU_CAP_HAS_PULLDOWN (1u << 2)
#define FERROX_EMU_CAP_READ_CONFIG (1u << 4)
#define FERROX_EMU_CAP_WRITE_CONFIG (1u << 5)

/* Control codes of the probe's user and system buffers. */
#define EMU_CMD_BUFFER_START 0x01
#define EMU_CMD_BUFFER_STOP 0x02
#define EMU_CMD_BUFFER_CLEAN 0x03
#define EMU_CMD_BUFFER_GET_CNT 0x04
#define EMU_CMD_BUFFER_READ 0x10

/* Offset of the supply voltage selection in the probe's configuration memory,
 * and the selection values. */
#define CONFIG_OFF_VOLTAGE_SEL 4
#define SUPPLY_SEL_3V 1
#define SUPPLY_SEL_5V 2

/* The ten registers of the Tamsa CPU; register index 0 PC, 1 PSW, 2..9 R0..R7. */
typedef struct {
    U16 PC;
    U16 PSW;
    U16 R0;
    U16 R1;
    U16 R2;
    U16 R3;
    U16 R4;
    U16 R5;
    U16 R6;
    U16 R7;
} TAMSA_REGISTERS;

/* The probe's hardware status (8 bytes). */
typedef struct {
    U16 VTarget; /* target voltage in millivolts */
    U8 SDA;
    U8 SCL;
    U8 SDAout;
    U8 Wakeout;
    U8 FPGA;
    U8 TargetPowerOn;
} FERROX_HW_STATUS;

/* Text output functions handed to FERROX_Open (the platform's default
 * calling convention). */
typedef void (*FERROX_OUTPUT_FUNC)(const char *sText);

/* Connection and library */
int FERROX_CALL FERROX_Open(FERROX_OUTPUT_FUNC pfLogOut, FERROX_OUTPUT_FUNC pfErrorOut);
void FERROX_CALL FERROX_Close(void);
void FERROX_CALL FERROX_CloseEx(U8 RunMode);
U8 FERROX_CALL FERROX_IsOpen(void);
void FERROX_CALL FERROX_ClrError(void);
int FERROX_CALL FERROX_HasError(void);
int FERROX_CALL FERROX_GetDLLVersion(void);
const char *FERROX_CALL FERROX_GetCompileDateTime(void);
U8 FERROX_CALL FERROX_SelectUSB(int Port);
U8 FERROX_CALL FERROX_SelectTCPIP(const char *sHost, int Port);
void FERROX_CALL FERROX_SetLogFile(const char *sFilename);

/* Target CPU */
int FERROX_CALL FERROX_CPU_Abort(void);
int FERROX_CALL FERROX_CPU_CalcSign(int Instance, int NumBytes, U8 *pData);
int FERROX_CALL FERROX_CPU_ClrWatchp(void);
int FERROX_CALL FERROX_CPU_CopyPage(U32 srcAddr, U32 desAddr);
int FERROX_CALL FERROX_CPU_EnterMonitor(void);
int FERROX_CALL FERROX_CPU_Erase(void);
int FERROX_CALL FERROX_CPU_GetData(U32 Addr, U32 NumBytes, U8 *pData);
int FERROX_CALL FERROX_CPU_GetEEPROM(U32 Addr, U32 NumBytes, U8 *pData);
int FERROX_CALL FERROX_CPU_GetEROM(U32 Addr, U32 NumBytes, U8 *pData);
int FERROX_CALL FERROX_CPU_GetLastResponse(void);
U32 FERROX_CALL FERROX_CPU_GetReg(int RegIndex);
int FERROX_CALL FERROX_CPU_GetRegsAll(TAMSA_REGISTERS *pRegs);
int FERROX_CALL FERROX_CPU_GetStatus(U8 SuppressErrorOut);
int FERROX_CALL FERROX_CPU_GetULP(U32 Addr, U32 NumPages, U32 *pData);
int FERROX_CALL FERROX_CPU_GetVersion(U32 *pData);
int FERROX_CALL FERROX_CPU_Go(void);
int FERROX_CALL FERROX_CPU_Halt(void);
int FERROX_CALL FERROX_CPU_IoTest(int Flag);
int FERROX_CALL FERROX_CPU_IsHalted(void);
int FERROX_CALL FERROX_CPU_IsHaltedEx(U8 SuppressErrorOut);
int FERROX_CALL FERROX_CPU_IsProtected(void);
int FERROX_CALL FERROX_CPU_PowerOnReset(void);
int FERROX_CALL FERROX_CPU_ProgEEPROM(U32 Addr, U32 NumBytes, const U8 *pData);
int FERROX_CALL FERROX_CPU_ProgEROM(U32 Addr, U32 NumBytes, const U8 *pData);
int FERROX_CALL FERROX_CPU_ProgPfBits(U32 Address, int Offset, int NumBits, const U8 *pData);
int FERROX_CALL FERROX_CPU_ProgULP(U32 Addr, U32 NumPages, const U32 *pData);
int FERROX_CALL FERROX_CPU_ProgUlpBytes(U32 Addr, U32 Mask, U32 Data);
int FERROX_CALL FERROX_CPU_Protect(void);
int FERROX_CALL FERROX_CPU_Reset(void);
int FERROX_CALL FERROX_CPU_SendCommand(U32 Command, U32 Mode);
int FERROX_CALL FERROX_CPU_SendData(U32 Data);
int FERROX_CALL FERROX_CPU_SetBaud(U32 Speed);
int FERROX_CALL FERROX_CPU_SetBitField(U32 Addr, int Position, int Width, U32 Data);
int FERROX_CALL FERROX_CPU_SetData(U32 Addr, U32 NumBytes, const U8 *pData);
int FERROX_CALL FERROX_CPU_SetReg(int RegIndex, U32 Data);
int FERROX_CALL FERROX_CPU_Step(void);
int FERROX_CALL FERROX_CPU_Unprotect(const char *sHexKey);
U32 FERROX_CALL FERROX_CPU_WriteBP(U32 Addr, U32 Flags);

/* Probe (emulator) */
int FERROX_CALL FERROX_EMU_ControlSystemBuffer(U8 Cmd, int Reserved);
int FERROX_CALL FERROX_EMU_ControlUserBuffer(U8 Cmd, int Reserved);
int FERROX_CALL FERROX_EMU_ExecCommand(const char *sCommand, char *pResponse, int ResponseSize);
U32 FERROX_CALL FERROX_EMU_GetCaps(void);
void FERROX_CALL FERROX_EMU_GetFirmwareString(char *pBuffer, int BufferSize);
int FERROX_CALL FERROX_EMU_GetHWStatus(FERROX_HW_STATUS *pStatus);
int FERROX_CALL FERROX_EMU_GetHWVersion(void);
int FERROX_CALL FERROX_EMU_GetSN(void);
int FERROX_CALL FERROX_EMU_ReadConfigMem(U8 *pData, U32 Off, U32 NumBytes);
int FERROX_CALL FERROX_EMU_ReadSystemBuffer(U32 NumItems, U16 *pData);
int FERROX_CALL FERROX_EMU_ReadUserBuffer(U32 NumItems, U16 *pData);
int FERROX_CALL FERROX_EMU_SetUSBAddr(U32 Addr);
int FERROX_CALL FERROX_EMU_SwitchInterface(U8 Mode);
int FERROX_CALL FERROX_EMU_SwitchPower(U8 Mode);
int FERROX_CALL FERROX_EMU_SwitchPowerEx(U8 Mode);
int FERROX_CALL FERROX_EMU_WriteConfigMem(const U8 *pData, U32 Off, U32 NumBytes);

#ifdef __cplusplus
}
#endif

#endif /* FERROX_H */

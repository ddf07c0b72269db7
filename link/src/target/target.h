// Target layer: the target request and its answer, the target state that
// the library keeps, monitor entry and the guards, and the target
// operations of the device operations table.
#pragma once

#include "Ferrox.h"

// ------------------------------------------------------ request and answer

// One request of at most 257 item words; its answer holds up to 256 words
// and the trailer.
enum : int {
    CPU_REQUEST_BYTES = 517,
    CPU_MAX_REQUEST_WORDS = 257,
    CPU_ANSWER_BYTES = 514,
    CPU_MAX_ANSWER_WORDS = 256,
};
enum : U8 { CPU_REQUEST_COMMAND = 0xCD };
enum : U16 { CPU_ENTRY_WORD = 0x6B2D };

// Access codes of the target's ROM code: eight 16-bit words each, sent in
// this order after C_ERASE and C_IO_TEST; the exit code alone leaves the I/O
// test mode. The request builds its words from these at run time.
#define TAMSA_ERASE_ACCESS_CODE                                                                              \
    { 0xE7A5, 0x1C3B, 0x9D40, 0x62F1, 0x0B8E, 0xD35C, 0x47A2, 0xF019 }
#define TAMSA_IO_TEST_ACCESS_CODE                                                                            \
    { 0x5A0F, 0xC3E1, 0x2B96, 0x7D04, 0x8E52, 0x16BA, 0xA4C7, 0x393D }
#define TAMSA_IO_TEST_EXIT_CODE 0x0E5C

// Opens a request unless one is open. Every item-adding call opens one
// itself, so a request starts with its first item.
void CPU_BeginRequest();
// Append one item. 0 ok; -1 when the item does not fit the request or its
// answer: nothing is appended and the request is spoilt, so that
// CPU_Execute refuses to send it.
int CPU_AddCommand(U16 Code, U16 Mode);
int CPU_AddData(const U16 *pWords, int N);
int CPU_AddBytes(const U8 *pBytes, int NumBytes); // packed two bytes a word
int CPU_AddAnswer(int N);
int CPU_AddEntry(U16 p);
int CPU_AddResetEntry();
// Sends the open request and closes it. Returns the probe status (0 ok,
// else a library error code), 0 without any transfer for an empty request,
// and -1 without any transfer for a spoilt one.
int CPU_Execute(U8 OnlyRecord, U8 CheckLength, int *pAnswerCount);
// The next answer word: 0, or -1 when all are consumed (*pWord untouched).
int CPU_NextAnswerWord(U16 *pWord);
// The whole trailer word of the last executed request.
U16 CPU_GetTrailer();
// The request as it stands, and its write position (0: none open).
const U8 *CPU_GetRequestBuffer();
int CPU_GetRequestPosition();

// ------------------------------------------------------------------ state

int CPU_GetLastResponse();
void CPU_SetLastResponse(int Value);
U8 CPU_GetEntryPassCount();
// Back to the state at load: no request open, LastResponse -1, the first
// entry's extra pass still to come, no register values.
void CPU_ResetRequestState();

// The register cache: values beside the valid flags of cpu_state.h.
void CPU_StoreRegister(int RegIndex, U16 Value);
U16 CPU_GetCachedRegister(int RegIndex);

// ------------------------------------------------------ queries and entry

int CPU_GetDeviceStatus(U32 *pStatus, U8 OnlyRecord);
int CPU_GetHaltState(U8 OnlyRecord);
// The C_STOP exchange that halts a running target (the execution records
// with OnlyRecord). 0: stopped, its PC cached, monitor mode established.
// Otherwise the failed execution's status, 2 for a first word other than
// TAMSA_STATUS_CODE_STOP, or -1 for a missing word. Nothing else is reported
// here: *pFirst (may be null) gets the first word, or -1 when none came, and
// each caller reports as its own rules say.
int CPU_StopTarget(U8 OnlyRecord, int *pFirst);
int CPU_SetAnswerTimeout(U32 Value);
int CPU_TryEnterMonitor(U8 OnlyRecord);
int CPU_EnsureMonitor(U8 OnlyRecord);
// Ten silent passes and a last one with OnlyRecord, without the shortcut of
// CPU_EnsureMonitor; the result of the last pass made.
int CPU_RetryEnterMonitor(U8 OnlyRecord);
int CPU_RequireMonitor();
// The common part of the halted guards: guard start, monitor entry and a
// halted target (6 when it runs or is off); reported, -1 on failure.
int CPU_RequireMonitorHalted();
int CPU_RequireHalted();
// The start both guards share: powered down or an error pending gives -1.
int CPU_GuardStart();

// --------------------------------------------------------- the operations

int CPU_SendCommand(U32 Command, U32 Mode);
int CPU_SendData(U32 Data);
int CPU_SetBaud(U32 Speed);
int CPU_GetLastResponseOp();
int CPU_Abort();
int CPU_EnterMonitor();
int CPU_PowerOnReset();
int CPU_GetStatus(U8 SuppressErrorOut);

int CPU_Go();
int CPU_Halt();
int CPU_HaltTarget(U8 OnlyRecord);
int CPU_Step();
int CPU_Reset();
int CPU_IsHalted();
int CPU_IsHaltedEx(U8 SuppressErrorOut);
int CPU_ReadRegisters();
U32 CPU_GetReg(int RegIndex);
int CPU_GetRegsAll(TAMSA_REGISTERS *pRegs);
int CPU_SetReg(int RegIndex, U32 Data);
U32 CPU_WriteBP(U32 Addr, U32 Flags);
int CPU_Close(U8 RunMode);

// ------------------------------------------------------------ the memories

int CPU_GetData(U32 Addr, U32 NumBytes, U8 *pData);
int CPU_SetData(U32 Addr, U32 NumBytes, const U8 *pData);
int CPU_GetEEPROM(U32 Addr, U32 NumBytes, U8 *pData);
int CPU_ProgEEPROM(U32 Addr, U32 NumBytes, const U8 *pData);
int CPU_GetEROM(U32 Addr, U32 NumBytes, U8 *pData);
int CPU_ProgEROM(U32 Addr, U32 NumBytes, const U8 *pData);
int CPU_GetULP(U32 Addr, U32 NumPages, U32 *pData);
int CPU_ProgULP(U32 Addr, U32 NumPages, const U32 *pData);
int CPU_ProgUlpBytes(U32 Addr, U32 Mask, U32 Data);
int CPU_CopyPage(U32 srcAddr, U32 desAddr);
int CPU_ProgPfBits(U32 Address, int Offset, int NumBits, const U8 *pData);
int CPU_SetBitField(U32 Addr, int Position, int Width, U32 Data);
int CPU_IoTest(int Flag);

// ------------------------------------------- protection, erase, signatures

// The eight key words of a 32-digit key text, in the order they are sent.
void CPU_KeyWords(const char *sHexKey, U16 (&words)[8]);
int CPU_IsProtected();
int CPU_Protect();
int CPU_Unprotect(const char *sHexKey);
int CPU_Erase();
int CPU_CalcSign(int Instance, int NumBytes, U8 *pData);
int CPU_GetVersion(U32 *pData);

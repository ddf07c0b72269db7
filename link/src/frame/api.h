// API frame: the lock, the connection, the device operations table.
#pragma once

#include "Ferrox.h"

// The table through which the exports reach the device code. Slots are in
// alphabetical order of the operation; every slot is filled.
typedef struct {
    int (*Abort)(void);                                                       // 0
    int (*CalcSign)(int Instance, int NumBytes, U8 *pData);                   // 1
    int (*CopyPage)(U32 srcAddr, U32 desAddr);                                // 2
    int (*Close)(U8 RunMode);                                                 // 3
    void (*ClrError)(void);                                                   // 4
    int (*EnterMonitor)(void);                                                // 5
    int (*Erase)(void);                                                       // 6
    int (*GetData)(U32 Addr, U32 NumBytes, U8 *pData);                        // 7
    int (*GetEEPROM)(U32 Addr, U32 NumBytes, U8 *pData);                      // 8
    int (*GetEROM)(U32 Addr, U32 NumBytes, U8 *pData);                        // 9
    int (*GetLastResponse)(void);                                             // 10
    U32 (*GetReg)(int RegIndex);                                              // 11
    int (*GetRegsAll)(TAMSA_REGISTERS *pRegs);                                // 12
    int (*GetStatus)(U8 SuppressErrorOut);                                    // 13
    int (*GetULP)(U32 Addr, U32 NumPages, U32 *pData);                        // 14
    int (*GetVersion)(U32 *pData);                                            // 15
    int (*Go)(void);                                                          // 16
    int (*Halt)(void);                                                        // 17
    int (*HasError)(void);                                                    // 18
    int (*IoTest)(int Flag);                                                  // 19
    int (*IsHalted)(void);                                                    // 20
    int (*IsHaltedEx)(U8 SuppressErrorOut);                                   // 21
    int (*IsProtected)(void);                                                 // 22
    int (*Open)(void);                                                        // 23
    int (*PowerOnReset)(void);                                                // 24
    int (*ProgEEPROM)(U32 Addr, U32 NumBytes, const U8 *pData);               // 25
    int (*ProgEROM)(U32 Addr, U32 NumBytes, const U8 *pData);                 // 26
    int (*ProgPfBits)(U32 Address, int Offset, int NumBits, const U8 *pData); // 27
    int (*ProgULP)(U32 Addr, U32 NumPages, const U32 *pData);                 // 28
    int (*ProgUlpBytes)(U32 Addr, U32 Mask, U32 Data);                        // 29
    int (*Protect)(void);                                                     // 30
    int (*Reset)(void);                                                       // 31
    int (*SendCommand)(U32 Command, U32 Mode);                                // 32
    int (*SendData)(U32 Data);                                                // 33
    int (*SetBaud)(U32 Speed);                                                // 34
    int (*SetBitField)(U32 Addr, int Position, int Width, U32 Data);          // 35
    int (*SetData)(U32 Addr, U32 NumBytes, const U8 *pData);                  // 36
    int (*SetReg)(int RegIndex, U32 Data);                                    // 37
    int (*Step)(void);                                                        // 38
    int (*SwitchInterface)(U8 Mode);                                          // 39
    int (*SwitchPower)(U8 Mode);                                              // 40
    int (*SwitchPowerEx)(U8 Mode);                                            // 41
    int (*Unprotect)(const char *sHexKey);                                    // 42
    U32 (*WriteBP)(U32 Addr, U32 Flags);                                      // 43
} FERROX_DEVICE_OPS;

extern const FERROX_DEVICE_OPS *const pDeviceOps;

// The lock of every export; `name` is the export's own name.
void API_Lock(const char *name);
void API_Unlock();
// Connection check with automatic open, then the lock. False: no
// connection could be opened and the lock is not held.
bool API_Enter(const char *name);

// The open sequence: 0 ok, 1 failed.
int OpenConnection(FERROX_OUTPUT_FUNC pfLogOut, FERROX_OUTPUT_FUNC pfErrorOut);
// The close sequence of FERROX_Close (mode 0) and FERROX_CloseEx; `name` is
// the export's.
void CloseConnection(const char *name, U8 RunMode);

bool API_IsOpen();
int API_GetLockDepth();
FERROX_OUTPUT_FUNC API_GetErrorOut();

// The version number of a product version text ("1.92" gives 1092).
int API_ParseVersion(const char *sVersion);

// The name of the API lock shared by every process that loads the library
// ("FERROX_Lock"); the library that the tests link is built with a name of
// its own, so that test runs and a user's programs never wait for each other.
extern const char *const API_LockName;
// Opens the API lock by that name. When it cannot be shared with other
// processes, calls are still serialised within this process and the first
// call reports it once. False in that case.
bool API_OpenLock(const char *sName);

// Every module of the library back to its state at load (the connection,
// the log, the transports, the probe's caches, the target's flags), as if
// the library had just been loaded. Not exported: it lets a test binary run
// all its cases in one process, and each fuzz input start afresh.
void API_ResetState();

// Library load and unload, and a thread's end (the loader's notifications).
void API_ProcessAttach();
void API_ProcessDetach();
void API_ThreadDetach();

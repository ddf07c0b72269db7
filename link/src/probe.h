// Probe layer: connect and disconnect, the probe's own commands and their
// caches.
#pragma once

#include "Ferrox.h"

enum : U8 { EMU_KIND_USER_BUFFER = 0xD2, EMU_KIND_SYSTEM_BUFFER = 0xD3 };
enum : int { EMU_CONFIG_BYTES = 256, EMU_SYSTEM_CONFIG_BYTES = 256 };
// Capability bit 6: the probe has the extended supply switch (0xF7).
enum : U32 { EMU_CAP_SWITCH_POWER_EX = 1u << 6, EMU_CAP_EXTENDED = 1u << 31 };

int ProbeConnect();
void ProbeDisconnect();

U8 EMU_IsProbeUnusable();
// The probe layer's one-shot report: only while the probe still counts as
// usable, mark it unusable and hand the text to the error buffer.
void EMU_ReportOnce(const char *sText);
U32 EMU_GetCaps(int Word);

void EMU_ReadCaps();
U32 EMU_GetHWVersion();
int EMU_GetHWStatus(FERROX_HW_STATUS *pStatus);
// 0 ok, 1 failed or refused, 2 unsupported length. Never writes more than
// BufferSize bytes; a text that fills the buffer is cut to leave its NUL.
int EMU_GetFirmwareString(char *pBuffer, int BufferSize);
void EMU_InvalidateFirmwareString();
U8 EMU_ReadSystemConfig(U8 *pOut);
U8 EMU_WriteSystemConfig(const U8 *pIn);
U8 EMU_LoadConfigMem();
int EMU_StoreConfigMem(const U8 *pIn);
int EMU_ControlBuffer(U8 Kind, U8 Code);
int EMU_ReadBuffer(U8 Kind, U32 NumItems, U16 *pData);

// The work behind the configuration memory and serial number exports.
int EMU_ReadConfigMemCopy(U8 *pData, U32 Off, U32 NumBytes);
int EMU_WriteConfigMemBytes(const U8 *pData, U32 Off, U32 NumBytes);
int EMU_SetUSBAddr(U32 Addr);
int EMU_GetSN();
void EMU_SetReportNegativeSN(U8 On);

// Device operations (slots 39 to 41).
int EMU_SwitchInterface(U8 Mode);
int EMU_SwitchPower(U8 On);
int EMU_SwitchPowerEx(U8 On);

// Probe layer: connect and disconnect, the probe's own commands and their
// caches.
#pragma once

#include "Ferrox.h"

enum : U8 { EMU_KIND_USER_BUFFER = 0xD2, EMU_KIND_SYSTEM_BUFFER = 0xD3 };
enum : int { EMU_CONFIG_BYTES = 256, EMU_SYSTEM_CONFIG_BYTES = 256 };
// Capability bit 6: the probe has the extended supply switch (0xF7).
enum : U32 { EMU_CAP_SWITCH_POWER_EX = 1u << 6, EMU_CAP_EXTENDED = 1u << 31 };

// Connects with the connection's error output, which the transports report to.
int ProbeConnect(FERROX_OUTPUT_FUNC pfErrorOut);
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

// Device operation 39: the target interface switch.
int EMU_SwitchInterface(U8 Mode);

// The supply falls below this before a switched-off target counts as off.
enum : U16 { EMU_POWER_OFF_MILLIVOLTS = 800 };
// The two supply switches: the plain one and the extended one (capability
// bit 6), which answers why it refused.
enum : U8 { EMU_CMD_SWITCH_POWER = 0xF2, EMU_CMD_SWITCH_POWER_EX = 0xF7 };
// Switches the target supply with probe command `Command` (0xF2 or 0xF7)
// and, when a probe-supplied target is switched off, waits for its voltage
// to fall. 0 ok, -1 status read or switch failed, -2 the supply did not
// fall, -3 status read failed while waiting. *pAnswer receives the probe's
// answer byte when the switch was answered; *pBefore (may be null) the
// hardware status read before switching (all 0 when that read failed).
int EMU_SwitchSupply(U8 Command, U8 On, U8 OnlyRecord, U8 *pAnswer, FERROX_HW_STATUS *pBefore);
// The switch-off at close (0xDC) with its wait: 0 ok, -1 failed; *pBefore
// as above.
int EMU_PowerOffAtClose(FERROX_HW_STATUS *pBefore);

// What FERROX_ClrError does: the transport's error flag, and the one-shot
// flag unless the link still fails; an open connection also has the probe's
// system buffer cleaned.
void EMU_ClearErrors(U8 ConnectionOpen);

// Back to the state at load (empty caches, negative serial numbers told).
void EMU_ResetState();

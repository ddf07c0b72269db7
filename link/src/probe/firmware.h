// The probe firmware the library carries, its download, and the text
// commands of FERROX_EMU_ExecCommand.
#pragma once

#include "Ferrox.h"

enum : U32 { FW_IMAGE_SIZE = 21504, FW_BANNER_OFFSET = 0x50, FW_CRC_FIRST_SIZE = 32768 };

// The image, writable: "InvalidateFW" changes its banner for a while.
// Defined by the source the build generates from link/firmware/.
extern U8 FirmwareImage[FW_IMAGE_SIZE];

int FW_Check();
U16 FW_CompareAndUpdate(const char *sProbeFirmware);
U16 FW_Update(const U8 *pImage, U32 Size);
U8 FW_Download(const U8 *pImage, U32 Size, U16 *pCRC, U8 CRCFirst);
void FW_Invalidate();
U16 CRC16_Calc(const U8 *pData, U32 NumBytes, U16 Init);
// Places the CRC into an image copy of `Size` bytes: first two bytes when
// CRCFirst, last two otherwise. Returns the CRC.
U16 FW_PlaceCRC(U8 *pImage, U32 Size, U8 CRCFirst);

const char *FW_GetBanner();
U8 FW_IsAutoUpdate();
void FW_SetAutoUpdate(U8 On);

// The text command interpreter: 0 all commands done, 1 error.
int FW_ExecCommand(const char *sCommand, char *pResponse, int ResponseSize);

// Back to the state at load: automatic updates on.
void FW_ResetState();

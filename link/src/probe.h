// Probe layer: connect and disconnect, the probe's own commands.
#pragma once

#include "Ferrox.h"

enum : U8 { EMU_KIND_USER_BUFFER = 0xD2, EMU_KIND_SYSTEM_BUFFER = 0xD3 };

int ProbeConnect();
void ProbeDisconnect();
U8 EMU_IsProbeUnusable();
U32 EMU_GetCaps(int Word);
int EMU_ControlBuffer(U8 Kind, U8 Code);

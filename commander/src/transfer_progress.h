// Block reads and writes of the transfer commands. On a terminal, a transfer
// that takes more than a moment shows a progress line on standard error
// (bytes done of total, rate), cleared when it ends; it then goes to the
// library in pieces of 4 KiB, on 4 KiB boundaries of the target's address
// space, so that the library's own requests stay as they are. Elsewhere each
// transfer is one call, and standard output never sees any of this.
#pragma once

#include "Ferrox.h"

typedef int(FERROX_CALL *READ_FUNC)(U32 Addr, U32 NumBytes, U8 *pData);
typedef int(FERROX_CALL *WRITE_FUNC)(U32 Addr, U32 NumBytes, const U8 *pData);

// The library function's result: bytes transferred, or its failure value
// when nothing was.
int PROGRESS_Read(READ_FUNC pfRead, U32 Addr, U32 NumBytes, U8 *pData);
int PROGRESS_Write(WRITE_FUNC pfWrite, U32 Addr, U32 NumBytes, const U8 *pData);
// ULP in pages: a read as FERROX_CPU_GetULP; a write programs the pages one
// by one (pData holds them as little-endian bytes) and returns NumPages.
int PROGRESS_ReadULP(U32 Page, U32 NumPages, U32 *pData);
int PROGRESS_WriteULP(U32 Page, U32 NumPages, const U8 *pData);

/*
 * MEMAREA: a sparse image of a 32-bit byte address space, and its Intel HEX
 * and binary file readers and writers.
 *
 * Results: 0 is success, negative values are failures; file functions put
 * the reason as text into the caller's buffer (sError, ErrorLen bytes).
 */
#ifndef MEMAREA_H
#define MEMAREA_H

#include "TYPEDEFS.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MEMAREA_OBJ MEMAREA_OBJ;
typedef MEMAREA_OBJ *MEMAREA_HANDLE;

/* Progress report handed to a status callback during file reads and writes. */
typedef struct {
    U32 Addr;      /* address being processed */
    U32 NumBlocks; /* ranges currently in the image */
} MEMAREA_STATUS_INFO;

typedef void MEMAREA_STATUS_FUNC(void *pContext, const MEMAREA_STATUS_INFO *pInfo);

/* The image */
MEMAREA_HANDLE MEMAREA_Create(void);
void MEMAREA_Delete(MEMAREA_HANDLE hMemArea);
int MEMAREA_Add(MEMAREA_HANDLE hMemArea, U32 Adr, U32 Len, const void *pData);
int MEMAREA_ReadMem(MEMAREA_HANDLE hMemArea, U32 Addr, U32 NumBytes, void *pData, int FillValue);
int MEMAREA_GetNumRanges(MEMAREA_HANDLE hMemArea);
void MEMAREA_GetRangeInfo(MEMAREA_HANDLE hMemArea, int RangeIndex, U32 *pSAddr, U32 *pSize);
void MEMAREA_DeleteArea(MEMAREA_HANDLE hMemArea, U32 Adr, U32 EndAdr);
int MEMAREA_Consolidate(MEMAREA_HANDLE hMemArea);
U32 MEMAREA_GetFirstAddr(MEMAREA_HANDLE hMemArea);
U32 MEMAREA_GetLastAddr(MEMAREA_HANDLE hMemArea);

/* Intel HEX files */
int MEMAREA_ReadHexFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen);
int MEMAREA_ReadHexFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                          MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext);
int MEMAREA_WriteHexFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen);
int MEMAREA_WriteHexFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                           MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext);

/* Raw binary files */
int MEMAREA_ReadBinFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                        U32 SAddr);
int MEMAREA_ReadBinFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                          U32 SAddr, MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext);
int MEMAREA_WriteBinFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                         U32 SAddr, U32 EAddr);
int MEMAREA_WriteBinFileEx(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                           U32 SAddr, U32 EAddr, MEMAREA_STATUS_FUNC *pfUpdateGUI, void *pGUIContext);

#ifdef __cplusplus
}
#endif

#endif /* MEMAREA_H */

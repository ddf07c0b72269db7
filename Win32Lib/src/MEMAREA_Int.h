/*
 * Internals of the memory image, shared by the image module and its file
 * readers and writers. The double-underscore functions never lock: callers
 * hold the image's lock, or own an image that no other thread can see.
 */
#ifndef MEMAREA_INT_H
#define MEMAREA_INT_H

#include "MEMAREA.h"
#include "OUTFILE.h"

#include <functional>
#include <string>

#define MIN_ALLOC_SIZE 128
#define MEMAREA_WRITE_BUFFERSIZE 0x10000
#define MEMAREA_READ_BUFFERSIZE 0x8000

struct MEMAREA_DATA {
    MEMAREA_DATA *pNext;
    U8 *pData; /* null: a range without storage; its bytes read as 0xFF */
    U32 Adr;
    U32 Len;
    U32 AllocLen;
};

struct MEMAREA_MODBYTE {
    U32 Adr;
    U8 Data;
};

struct MEMAREA_OBJ {
    MEMAREA_DATA *pFirstDataObj;
    MEMAREA_DATA *pLastDataObj; /* cache; null = not known */
    U32 NumBlocks;
    U32 ModifyCnt;
    U32 NumModifiedBytes;
    U32 ModBytesAllocSize;
    MEMAREA_MODBYTE *paModByte;
    void *hMutex;
    /* Where the last lookup landed; lookups for addresses at or above it
       start there instead of at the head. Null = start at the head. */
    MEMAREA_DATA *pLookupHint;
};

/* Results of MEMAREA__Add beyond 0 (stored) and -1 (overlap). */
#define MEMAREA_ADD_NO_MEMORY (-2)
#define MEMAREA_ADD_OUT_OF_RANGE (-3)

int MEMAREA__Lock(MEMAREA_HANDLE hMemArea);
void MEMAREA__Unlock(MEMAREA_HANDLE hMemArea);
int MEMAREA__Add(MEMAREA_OBJ *pObj, U32 Adr, U32 Len, const void *pData, int FillValue);
int MEMAREA__ReadMem(MEMAREA_OBJ *pObj, U32 Addr, U32 NumBytes, void *pData, int FillValue);
/* Returns 0, or -2 when a range could not be split for lack of memory
   (the range is then kept whole). */
int MEMAREA__DeleteArea(MEMAREA_OBJ *pObj, U32 Adr, U32 LastAdr);
void MEMAREA__Delete(MEMAREA_HANDLE hMemArea);
int MEMAREA__GetByte(MEMAREA_OBJ *pObj, U32 Adr);
/* True when [Adr, Adr + Len) holds a byte of the image; *pHeld gets the
   first such address. */
bool MEMAREA__FirstHeldAddr(const MEMAREA_OBJ *pObj, U32 Adr, U32 Len, U32 *pHeld);
U32 MEMAREA__GetFirstAddr(MEMAREA_OBJ *pObj);
U32 MEMAREA__GetLastAddr(MEMAREA_OBJ *pObj);
I32 MEMAREA__GetNumBytes(MEMAREA_OBJ *pObj);
MEMAREA_DATA *MEMAREA__GetpLastData(MEMAREA_OBJ *pObj);
int MEMAREA__GetDataBlock(MEMAREA_OBJ *pObj, U32 SAddr, U32 EAddr, U32 MaxGap, U8 *pDest, U32 *pAddr,
                          int NumBytesReq, int SAlign, int EAlign);

/* Heap of the image; tests make it fail after a number of allocations. */
void *MEMAREA__Malloc(size_t Size);
void *MEMAREA__Realloc(void *p, size_t Size);
void MEMAREA__SetAllocFailAfter(long NumAllocs); /* negative: never fail */

/* Error texts of the file modules. */
void MEMAREA__SetError(char *sError, int ErrorLen, const char *sText);
std::string MEMAREA__OpenErrorText(unsigned long WinError, const char *sFilename);
std::string MEMAREA__Format(const char *sFormat, ...) __attribute__((format(printf, 1, 2)));

/* One save of an image to a new file: takes the lock, consolidates,
   creates the file and lets Write fill it, closes it. On failure (a text in
   sError, a fault of the file, or Write returning false) the result is -1
   and the image keeps the modify count it had. */
int MEMAREA__SaveFile(MEMAREA_HANDLE hMemArea, const char *sFilename, char *sError, int ErrorLen,
                      const std::function<bool(OUTFILE_HANDLE)> &Write);

/* OUTFILE_Close that also tells whether any fault happened on the way:
   0 = every byte reached the file, -1 = a fault (its text is in sErr when
   there was room for it). */
int OUTFILE__Close(OUTFILE_HANDLE hFile);

#endif /* MEMAREA_INT_H */

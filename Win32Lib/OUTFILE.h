/*
 * OUTFILE: a buffered writer for new files. The first fault is kept as text
 * in the caller's buffer, which must outlive the handle.
 */
#ifndef OUTFILE_H
#define OUTFILE_H

#include "TYPEDEFS.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OUTFILE_BUFFER_SIZE 0x8000

typedef struct OUTFILE_OBJ OUTFILE_OBJ;
typedef OUTFILE_OBJ *OUTFILE_HANDLE;

OUTFILE_HANDLE OUTFILE_Create(const char *pFileName, char *sErr, U32 ErrLen);
/* pData null writes Size bytes of 0xFF. A null handle does nothing. */
void OUTFILE_Write(OUTFILE_HANDLE hFile, const void *pData, U32 Size);
void OUTFILE_Close(OUTFILE_HANDLE hFile);

#ifdef __cplusplus
}
#endif

#endif /* OUTFILE_H */

// Log file and error reporting.
#pragma once

#include "Ferrox.h"

void MAIN_SetLogFile(const char *sFilename);
void MAIN_Log(const char *sFormat, ...) __attribute__((format(printf, 1, 2)));
void MAIN_LogString(const char *sText);
void MAIN_LogData(const U8 *pData, U32 NumBytes);
void MAIN_LogError(const char *sText);
void MAIN_LogErrorF(const char *sFormat, ...) __attribute__((format(printf, 1, 2)));
void MAIN_ReportErrorOnce(const char *sText);
void MAIN_ReportStatus(int ErrorCode, U8 OnlyRecord);
void MAIN_InternalError(const char *sText);
void MAIN_FlushErrors();

// The one-shot flag: an error has been reported since the last clear.
U8 MAIN_IsErrorReported();
void MAIN_SetErrorReported(U8 Reported);
int MAIN_GetLastErrorCode();
// Sets the code without a message (register reads tell validity this way).
void MAIN_SetLastErrorCode(int ErrorCode);
// The count of bytes given to the log since load (the size cap's measure).
U32 MAIN_GetLogByteCount();
void MAIN_SetLogByteCount(U32 Count); // lets tests reach the cap quickly
// The message of a library error code (1..18), or null.
const char *MAIN_ErrorMessage(int ErrorCode);

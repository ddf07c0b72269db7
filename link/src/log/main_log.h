// Log file and error reporting: the bottom layer of the library, which
// every other layer reports through.
#pragma once

#include "Ferrox.h"

// The library's build date and time, "Sep 11 2015 15:09:13".
extern const char *const MAIN_CompileDateTime;

// What the API frame keeps the log informed of: the API lock's depth (log
// lines are indented by it) and the connection's error output (pending
// errors are delivered to it, or to a message box when it is null).
void MAIN_SetCallDepth(int Depth);
void MAIN_SetErrorOut(FERROX_OUTPUT_FUNC pfErrorOut);

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
// Back to the state at load: logging off (an open log file is closed), no
// pending errors.
void MAIN_ResetState();

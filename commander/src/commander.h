// ferroxcmd, the commander: the program state, the interpreter, scripts and
// start-up. main() is only CMD_Main; the fuzzer and the in-process tests
// drive the same functions against the library linked in statically.
#pragma once

#include "Ferrox.h"

// Results of ExecuteCommand and RunScript.
enum { CMD_CONTINUE = 0, CMD_QUIT = 1 };

// The fill range and pattern of one memory type.
typedef struct {
    U8 RangeSet;
    U32 Start; // first item
    U32 End;   // last item, inclusive
    U8 PatternSet;
    U32 Pattern;
} FILL_SETTING;

// Program state, global to the program and zero at start (CMD_ResetState).
extern I32 ExitStatus;
extern U8 VerifyDownloads;
extern U8 ExitPowerMode;
extern FILL_SETTING FillSettings[5]; // indexed by the memory type code 1..4
extern I32 ScriptDepth;

// Puts every piece of program state back to its start value.
void CMD_ResetState(void);

// The whole program: banner, the mode chosen by the arguments, the exit
// sequence. Returns the process exit status.
int CMD_Main(int argc, char **argv);

// Opens the library connection and prints the version information.
// 0 on success.
int ConnectProbe(void);

// Interprets one command line (writable, at most 255 characters).
int ExecuteCommand(char *sLine);

// Runs a script file / the text of a script (NUL-terminated, changed in
// place). CMD_QUIT when a line of it was q.
int RunScript(const char *sPath);
int RunScriptText(char *pText);

// The interactive prompt, until q or the end of input.
void RunPrompt(void);

// Matches sKeyword (any case) at the cursor when a space or the end of the
// line follows it; the cursor then moves behind the keyword.
int MatchKeyword(const char *sKeyword, char **ppCursor);

// The text of '?'.
void PrintHelp(void);

// The library's text callbacks.
void CMD_LogOut(const char *sText);
void CMD_ErrorOut(const char *sText);

// Allocation of transfer buffers: nullptr when the size is beyond any
// memory of the target by far (16 MiB) or the allocation fails, so that a
// mistyped count is refused instead of exhausting the host.
void *CMD_Alloc(U64 NumBytes);

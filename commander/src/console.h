// Console input of the commander: the prompt's lines, the answer to a
// question, and single key presses without echo.
//
// Everything the commander reads comes through one table of functions. The
// platform supplies its table (termios and libedit on POSIX; a Win32 one with
// _getch and _kbhit sits beside it), and the fuzzer installs its own.
// Every function flushes standard output before it reads, so that a prompt
// or a question shows also when standard output is a pipe.
#pragma once

typedef struct {
    // The prompt's line: shows sPrompt and reads at most BufferSize - 1
    // characters of one line, its LF included when it fits (the rest of a
    // longer line is what the next call returns). 0 at end of input.
    int (*pfReadLine)(const char *sPrompt, char *pBuffer, int BufferSize);
    // One line of plain input (an answer to a question), read as the prompt
    // reads it but without editing or history. 0 at end of input.
    int (*pfReadReply)(char *pBuffer, int BufferSize);
    // Waits for one key and returns it without echo; Enter gives 13.
    // -1 at end of input.
    int (*pfReadKey)(void);
    // Key polling for a display loop: between start and stop, KeyWaiting
    // tells without waiting whether ReadKey would return at once (also at
    // end of input, when ReadKey returns -1).
    void (*pfStartKeyPolling)(void);
    int (*pfKeyWaiting)(void);
    void (*pfStopKeyPolling)(void);
} CONSOLE_INPUT;

// The table of this platform.
const CONSOLE_INPUT *CONSOLE_PlatformInput(void);

// The table in force (the platform's unless another was installed).
const CONSOLE_INPUT *CONSOLE_Input(void);
// Installs pInput (nullptr restores the platform's).
void CONSOLE_SetInput(const CONSOLE_INPUT *pInput);

// Console input on Windows. On a console, lines are read as the console
// edits them (its own history included) and single keys come from _getch,
// key polling from _kbhit. Without a console, everything is read as bytes
// from standard input through one buffer, so that lines, answers and keys
// keep their order in a pipe; a CR LF line end reads as LF.
#include "console.h"

#include <windows.h>

#include <conio.h>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace {

constexpr int kStdin = 0;

// ---- bytes from standard input

char InBuf[4096];
unsigned InLen = 0;
unsigned InPos = 0;
bool InEnd = false;
bool SkipLf = false; // a CR was read as LF: an LF right after it is its pair

bool FillBuffer() {
    if (InEnd) {
        return false;
    }
    static bool binary = false;
    if (!binary) {
        binary = true;
        _setmode(kStdin, _O_BINARY); // line ends are ours to read
    }
    const int n = _read(kStdin, InBuf, sizeof InBuf);
    if (n <= 0) {
        InEnd = true;
        return false;
    }
    InLen = static_cast<unsigned>(n);
    InPos = 0;
    return true;
}

// Next byte of standard input, or -1 at its end.
int InGet() {
    for (;;) {
        if (InPos == InLen && !FillBuffer()) {
            return -1;
        }
        const int c = static_cast<unsigned char>(InBuf[InPos++]);
        if (c == '\n' && SkipLf) {
            SkipLf = false;
            continue;
        }
        SkipLf = c == '\r';
        return c == '\r' ? '\n' : c;
    }
}

bool Buffered() {
    return InPos < InLen;
}

// fgets on the input buffer: at most Size - 1 characters, the LF included.
int ReadBytesLine(char *pBuffer, int BufferSize) {
    if (pBuffer == nullptr || BufferSize < 2) {
        return 0;
    }
    int n = 0;
    while (n < BufferSize - 1) {
        const int c = InGet();
        if (c < 0) {
            break;
        }
        pBuffer[n++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    pBuffer[n] = '\0';
    return n > 0 ? 1 : 0;
}

bool IsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

int MapKey(int c) {
    return c == '\n' ? 13 : c;
}

// ---- the table

int Win32ReadLine(const char *sPrompt, char *pBuffer, int BufferSize) {
    std::fputs(sPrompt, stdout);
    std::fflush(stdout);
    return ReadBytesLine(pBuffer, BufferSize);
}

int Win32ReadReply(char *pBuffer, int BufferSize) {
    std::fflush(stdout);
    return ReadBytesLine(pBuffer, BufferSize);
}

int Win32ReadKey() {
    std::fflush(stdout);
    if (!IsConsole() || Buffered()) {
        return MapKey(InGet());
    }
    const int c = _getch();
    if (c == 0 || c == 0xE0) {
        // A function or arrow key comes as two codes: the second is the key.
        return _getch();
    }
    return c;
}

void Win32StartKeyPolling() {
    std::fflush(stdout);
}

int Win32KeyWaiting() {
    std::fflush(stdout);
    if (Buffered() || InEnd) {
        return 1;
    }
    if (IsConsole()) {
        return _kbhit() != 0 ? 1 : 0;
    }
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (GetFileType(in) != FILE_TYPE_PIPE) {
        return 1; // a file: its next byte, or its end, is there at once
    }
    DWORD available = 0;
    if (PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr) == 0) {
        return 1; // the writer has gone: the end of input is waiting
    }
    return available > 0 ? 1 : 0;
}

void Win32StopKeyPolling() {}

const CONSOLE_INPUT Win32Input = {Win32ReadLine,        Win32ReadReply,  Win32ReadKey,
                                  Win32StartKeyPolling, Win32KeyWaiting, Win32StopKeyPolling};

} // namespace

const CONSOLE_INPUT *CONSOLE_PlatformInput(void) {
    return &Win32Input;
}

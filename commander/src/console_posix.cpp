// Console input on POSIX. On a terminal, the prompt edits its line with
// libedit (history included) and single keys come from the terminal switched
// to non-canonical mode without echo; the terminal's settings are restored on
// every way out, signals included. Without a terminal, everything is read as
// bytes from standard input through one buffer, so that lines, answers and
// keys keep their order in a pipe.
#include "console.h"

#include <editline/readline.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kStdin = 0;

// ---- bytes from standard input

char InBuf[4096];
std::size_t InLen = 0;
std::size_t InPos = 0;
bool InEnd = false;

// Next byte of standard input, or -1 at its end.
int InGet() {
    if (InPos == InLen) {
        if (InEnd) {
            return -1;
        }
        ssize_t n = 0;
        do {
            n = ::read(kStdin, InBuf, sizeof InBuf);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            InEnd = true;
            return -1;
        }
        InLen = static_cast<std::size_t>(n);
        InPos = 0;
    }
    return static_cast<unsigned char>(InBuf[InPos++]);
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

bool IsTerminal() {
    return ::isatty(kStdin) == 1;
}

// ---- the terminal's key mode

struct termios SavedTermios;
volatile std::sig_atomic_t KeyModeOn = 0;
bool HandlersInstalled = false;

void RestoreTerminal() {
    if (KeyModeOn != 0) {
        ::tcsetattr(kStdin, TCSANOW, &SavedTermios);
        KeyModeOn = 0;
    }
}

void OnSignal(int Signal) {
    RestoreTerminal();
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
}

void InstallRestoreHandlers() {
    if (HandlersInstalled) {
        return;
    }
    HandlersInstalled = true;
    std::atexit(RestoreTerminal);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction sa {};
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue; // keep what the parent chose to ignore
        }
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

// Single keys without echo; Enter arrives as CR. Signals stay on, so that
// Ctrl-C still ends the program (and the handlers restore the terminal).
bool EnterKeyMode() {
    if (KeyModeOn != 0) {
        return true;
    }
    if (::tcgetattr(kStdin, &SavedTermios) != 0) {
        return false;
    }
    InstallRestoreHandlers();
    struct termios raw = SavedTermios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    KeyModeOn = 1;
    if (::tcsetattr(kStdin, TCSANOW, &raw) != 0) {
        KeyModeOn = 0;
        return false;
    }
    return true;
}

int MapKey(int c) {
    return c == '\n' ? 13 : c;
}

// ---- the table

std::string Pending; // the rest of an edited line that did not fit
bool EditorReady = false;

int PosixReadLine(const char *sPrompt, char *pBuffer, int BufferSize) {
    std::fflush(stdout);
    if (pBuffer == nullptr || BufferSize < 2) {
        return 0;
    }
    if (!IsTerminal() || ::isatty(1) != 1) {
        std::fputs(sPrompt, stdout);
        std::fflush(stdout);
        return ReadBytesLine(pBuffer, BufferSize);
    }
    if (Pending.empty()) {
        if (!EditorReady) {
            EditorReady = true;
            using_history();
        }
        char *line = readline(sPrompt);
        if (line == nullptr) {
            std::fputs("\n", stdout); // Ctrl-D leaves the cursor behind the prompt
            return 0;
        }
        if (line[0] != '\0') {
            add_history(line);
        }
        Pending = line;
        Pending += '\n';
        std::free(line);
    } else {
        // The rest of a long line is the next command line, shown as typed.
        std::fputs(sPrompt, stdout);
        std::fflush(stdout);
    }
    const std::size_t n = std::min(Pending.size(), static_cast<std::size_t>(BufferSize - 1));
    std::memcpy(pBuffer, Pending.data(), n);
    pBuffer[n] = '\0';
    Pending.erase(0, n);
    return 1;
}

int PosixReadReply(char *pBuffer, int BufferSize) {
    std::fflush(stdout);
    return ReadBytesLine(pBuffer, BufferSize);
}

int PosixReadKey() {
    if (!IsTerminal() || InPos < InLen) {
        std::fflush(stdout);
        return MapKey(InGet());
    }
    // Key mode first, then the question: a key typed as soon as the
    // question shows is then read as a key, not held in a line.
    const bool wasOn = KeyModeOn != 0;
    const bool keyMode = EnterKeyMode();
    std::fflush(stdout);
    if (!keyMode) {
        return MapKey(InGet());
    }
    unsigned char c = 0;
    ssize_t n = 0;
    do {
        n = ::read(kStdin, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (!wasOn) {
        RestoreTerminal();
    }
    return n == 1 ? MapKey(c) : -1;
}

void PosixStartKeyPolling() {
    if (IsTerminal()) {
        EnterKeyMode();
    }
    std::fflush(stdout);
}

int PosixKeyWaiting() {
    std::fflush(stdout);
    if (InPos < InLen || InEnd) {
        return 1;
    }
    pollfd pfd{kStdin, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0 ? 1 : 0;
}

void PosixStopKeyPolling() {
    RestoreTerminal();
}

const CONSOLE_INPUT PosixInput = {PosixReadLine,        PosixReadReply,  PosixReadKey,
                                  PosixStartKeyPolling, PosixKeyWaiting, PosixStopKeyPolling};

} // namespace

const CONSOLE_INPUT *CONSOLE_PlatformInput(void) {
    return &PosixInput;
}

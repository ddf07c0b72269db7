// Log file and error reporting.
#include "main_log.h"

#include "plat/clock.h"
#include "plat/file.h"
#include "plat/message_box.h"
#include "plat/thread.h"
#include "plat/time.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

const char *const MAIN_CompileDateTime = __DATE__ " " __TIME__;

namespace {

constexpr U32 kMaxLogBytes = 100000000;
constexpr int kFormatSize = 1024;
constexpr int kErrorBufferSize = 4096;
constexpr int kMaxDepths = 64;

// Everything the log and the error reporting keep, in one place.
struct State {
    plat::File logFile;
    bool loggingOn = false;
    U32 logByteCount = 0;
    bool timeBaseSet = false;
    U32 timeBase = 0;
    int LastDepth = 0;
    bool lineStart = true;
    U32 depthStart[kMaxDepths] = {};
    // Kept up to date by the API frame: the lock's depth, which indents the
    // log, and the connection's error output, which pending errors go to.
    int CallDepth = 0;
    FERROX_OUTPUT_FUNC pfErrorOut = nullptr;

    char ErrorBuffer[kErrorBufferSize] = {};
    U32 PendingErrors = 0;
    U8 ErrorReported = 0;
    int LastErrorCode = 0;
};
State g;

const char *const ErrorMessages[] = {
    nullptr,
    "Rx/Tx timeout during communication to target.",
    "Target sent unexpected data.",
    "Target is running, it was expected to be halted.",
    "Target is protected.",
    "No device selected. Call device selection first.",
    "Target not halted !",
    "USB communication error !",
    "Unsupported command sent to Quidor.",
    "Could not enter Monitor mode.\nIs a target connected to Quidor?",
    "Address parameter invalid on EROM read or write.",
    "Address parameter invalid on EEPROM read or write.",
    "Selected device can not be handled by connected Quidor, select an other device.",
    "Target was powered down, function call not allowed.",
    "Target voltage could not be switched on!\nIs the supply to target shortened?",
    "Address parameter invalid on DATA read or write.",
    "Invalid parameter sent to target CPU.",
    "Programming failed.",
    "Brown out occurred.",
};

// Each piece goes to the file at once, so that a crash loses nothing.
void writeRaw(const char *p, std::size_t n) {
    if (!g.logFile.isOpen() || n == 0) {
        return;
    }
    U32 written = 0;
    (void)g.logFile.write(p, static_cast<U32>(n), written);
}

void writeText(const char *s) {
    writeRaw(s, std::strlen(s));
}

void writeFormat(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void writeFormat(const char *fmt, ...) {
    char buf[64];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) {
        writeRaw(buf,
                 static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
    }
}

U32 nowMs() {
    const U32 tick = plat::tickMs();
    if (!g.timeBaseSet) {
        g.timeBase = tick;
        g.timeBaseSet = true;
    }
    return tick - g.timeBase;
}

int depthIndex(int depth) {
    if (depth < 0) {
        return 0;
    }
    return depth < kMaxDepths ? depth : kMaxDepths - 1;
}

} // namespace

void MAIN_LogString(const char *sText) {
    if (!g.loggingOn || sText == nullptr || sText[0] == '\0') {
        return;
    }
    std::size_t len = std::strlen(sText);
    g.logByteCount += static_cast<U32>(len);
    if (g.logByteCount > kMaxLogBytes) {
        writeText("\r\n*** Max log file size reached, file closed. ***\r\n");
        g.logFile.close();
        g.loggingOn = false;
        return;
    }
    const int depth = g.CallDepth;
    if (depth > g.LastDepth) {
        writeText("\r\n");
    }
    if (g.lineStart || depth != g.LastDepth) {
        g.lineStart = false;
        const U32 now = nowMs();
        if (depth >= g.LastDepth) {
            g.depthStart[depthIndex(depth)] = now;
        }
        switch (depth) {
        case 1:
            if (g.LastDepth > 1) {
                writeText("              ");
            } else {
                writeFormat("T%.4X ", plat::currentThreadId());
                writeFormat("%.3d:%.3d ", static_cast<int>(now / 1000), static_cast<int>(now % 1000));
            }
            break;
        case 2:
            writeText("                ");
            break;
        case 3:
            writeText("                  ");
            break;
        default:
            break;
        }
    }
    const bool endsLine = sText[len - 1] == '\n';
    writeRaw(sText, endsLine ? len - 1 : len);
    if (endsLine) {
        if (depth != 0) {
            writeFormat(" (%.4dms)\r\n", static_cast<int>(nowMs() - g.depthStart[depthIndex(depth)]));
        } else {
            writeText("\r\n");
        }
        g.lineStart = true;
    }
    g.LastDepth = depth;
}

void MAIN_Log(const char *sFormat, ...) {
    if (!g.loggingOn || sFormat == nullptr) {
        return;
    }
    char buf[kFormatSize];
    va_list ap;
    va_start(ap, sFormat);
    (void)std::vsnprintf(buf, sizeof buf, sFormat, ap);
    va_end(ap);
    MAIN_LogString(buf);
}

void MAIN_LogData(const U8 *pData, U32 NumBytes) {
    if (!g.loggingOn || pData == nullptr) {
        return;
    }
    char buf[kFormatSize];
    int pos = std::snprintf(buf, sizeof buf, " -- Data: ");
    const U32 shown = NumBytes < 16 ? NumBytes : 16;
    for (U32 i = 0; i < shown; ++i) {
        pos += std::snprintf(buf + pos, sizeof buf - static_cast<std::size_t>(pos), " %.2X", pData[i]);
    }
    if (NumBytes > 16) {
        (void)std::snprintf(buf + pos, sizeof buf - static_cast<std::size_t>(pos), " ...");
    }
    MAIN_LogString(buf);
}

void MAIN_SetLogFile(const char *sFilename) {
    if (sFilename != nullptr) {
        if (!g.logFile.isOpen() && sFilename[0] != '\0') {
            U32 err = 0;
            g.logFile = plat::File::createAlways(sFilename, err);
            g.loggingOn = true;
            if (g.logFile.isOpen()) {
                const plat::SystemTime t = plat::utcTime();
                MAIN_LogString("Quidor DLL Log File\n");
                MAIN_Log("Logging started @ %.4d-%.2d-%.2d %.2d:%.2d\n", t.year, t.month, t.day, t.hour,
                         t.minute);
                MAIN_Log("DLL Compiled: %s\n", MAIN_CompileDateTime);
            }
        } else {
            MAIN_LogString("***** Logging restarted ??? *****\n");
        }
        g.loggingOn = true;
        return;
    }
    if (g.logFile.isOpen()) {
        MAIN_LogString("\n");
        MAIN_LogString("Closed\n");
        g.logFile.close();
    }
    g.loggingOn = false;
}

void MAIN_InternalError(const char *sText) {
    MAIN_LogString("\n  ***** Internal Error: ");
    MAIN_LogString(sText);
    plat::messageBox(sText, "Orrix.dll: Internal error", plat::MessageIcon::Error);
}

void MAIN_LogError(const char *sText) {
    if (sText == nullptr) {
        return;
    }
    const std::size_t used = std::strlen(g.ErrorBuffer);
    const std::size_t len = std::strlen(sText);
    if (len + 1 > kErrorBufferSize - 1 - used) {
        MAIN_InternalError("MAIN_LogError: Insufficient space in error buffer!");
    } else {
        std::size_t at = used;
        if (used > 0 && g.ErrorBuffer[used - 1] != '\n') {
            g.ErrorBuffer[at++] = '\n';
        }
        std::memcpy(g.ErrorBuffer + at, sText, len + 1); // the room was checked above
    }
    ++g.PendingErrors;
    MAIN_LogString("\n  ***** Error: ");
    MAIN_LogString(sText);
}

void MAIN_LogErrorF(const char *sFormat, ...) {
    if (sFormat == nullptr) {
        return;
    }
    char buf[kFormatSize];
    va_list ap;
    va_start(ap, sFormat);
    (void)std::vsnprintf(buf, sizeof buf, sFormat, ap);
    va_end(ap);
    MAIN_LogError(buf);
}

void MAIN_ReportErrorOnce(const char *sText) {
    if (g.ErrorReported == 0) {
        g.ErrorReported = 1;
        MAIN_LogError(sText);
    }
}

const char *MAIN_ErrorMessage(int ErrorCode) {
    if (ErrorCode < 1 || ErrorCode > 18) {
        return nullptr;
    }
    return ErrorMessages[ErrorCode];
}

void MAIN_ReportStatus(int ErrorCode, U8 OnlyRecord) {
    if (ErrorCode == 0 || g.ErrorReported != 0) {
        return;
    }
    if (OnlyRecord != 0) {
        g.LastErrorCode = ErrorCode;
        return;
    }
    char unknown[kFormatSize];
    const char *msg = MAIN_ErrorMessage(ErrorCode);
    if (msg == nullptr) {
        (void)std::snprintf(unknown, sizeof unknown, "Unknown error occured, error-code 0x%.4x",
                            static_cast<unsigned>(ErrorCode));
        msg = unknown;
    }
    g.ErrorReported = 1;
    MAIN_LogError(msg);
    g.LastErrorCode = ErrorCode;
}

void MAIN_FlushErrors() {
    if (g.PendingErrors == 0) {
        return;
    }
    g.PendingErrors = 0;
    FERROX_OUTPUT_FUNC out = g.pfErrorOut;
    if (out != nullptr) {
        out(g.ErrorBuffer);
    } else {
        plat::messageBox(g.ErrorBuffer, "Quidor Error", plat::MessageIcon::Warning);
    }
    g.ErrorBuffer[0] = '\0';
}

U8 MAIN_IsErrorReported() {
    return g.ErrorReported;
}
void MAIN_SetErrorReported(U8 Reported) {
    g.ErrorReported = Reported;
}
int MAIN_GetLastErrorCode() {
    return g.LastErrorCode;
}
void MAIN_SetLastErrorCode(int ErrorCode) {
    g.LastErrorCode = ErrorCode;
}
U32 MAIN_GetLogByteCount() {
    return g.logByteCount;
}
void MAIN_SetLogByteCount(U32 Count) {
    g.logByteCount = Count;
}

void MAIN_SetCallDepth(int Depth) {
    g.CallDepth = Depth;
}
void MAIN_SetErrorOut(FERROX_OUTPUT_FUNC pfErrorOut) {
    g.pfErrorOut = pfErrorOut;
}

void MAIN_ResetState() {
    g = State{};
}

// ferroxcmd: start-up and exit, the interactive prompt, the interpreter with
// its command table, and script files.
#include "commander.h"

#include "commands.h"
#include "console.h"
#include "parse.h"

#include "plat/clock.h"
#include "plat/file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

I32 ExitStatus = 0;
U8 VerifyDownloads = 0;
U8 ExitPowerMode = 0;
FILL_SETTING FillSettings[5] = {};
I32 ScriptDepth = 0;

void CMD_ResetState(void) {
    ExitStatus = 0;
    VerifyDownloads = 0;
    ExitPowerMode = 0;
    std::memset(FillSettings, 0, sizeof FillSettings);
    ScriptDepth = 0;
}

void CMD_LogOut(const char *sText) {
    std::fputs(sText, stdout);
}

void CMD_ErrorOut(const char *sText) {
    std::printf("\n****** Error: %s\n", sText);
}

void *CMD_Alloc(U64 NumBytes) {
    constexpr U64 kMaxTransferBytes = 16u << 20;
    if (NumBytes > kMaxTransferBytes) {
        return nullptr;
    }
    return std::malloc(NumBytes == 0 ? 1 : static_cast<std::size_t>(NumBytes));
}

namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 92;
constexpr int kScriptDepthLimit = 10;
constexpr int kCommandLineSize = 256;
constexpr int kPromptLineSize = 250;

// ---- the command table

void QuitAction(char *) {}

struct COMMAND {
    const char *sKeyword;
    void (*pfAction)(char *pArgs);
};

// Tried in this order; two rows with one action are the two spellings of a
// command. The space-or-end rule of MatchKeyword keeps usb from matching
// usbaddr, so the order matters only for keywords equal but for case.
const COMMAND CommandTable[] = {
    {"q", QuitAction},
    {"g", CMD_Go},
    {"usb", CMD_Usb},
    {"tcp", CMD_Tcp},
    {"usbaddr", CMD_UsbAddr},
    {"abort", CMD_Abort},
    {"enter", CMD_Enter},
    {"e", CMD_Enter},
    {"poweronreset", CMD_PowerOnReset},
    {"pr", CMD_PowerOnReset},
    {"powerdown", CMD_PowerDown},
    {"pd", CMD_PowerDown},
    {"powerup", CMD_PowerUp},
    {"pu", CMD_PowerUp},
    {"powersel", CMD_PowerSel},
    {"ps", CMD_PowerSel},
    {"iOff", CMD_IOff},
    {"h", CMD_Halt},
    {"thg", CMD_HaltGoTest},
    {"ts", CMD_StepTest},
    {"rDat", CMD_RDat},
    {"wDat", CMD_WDat},
    {"rEROM", CMD_REROM},
    {"wEROM", CMD_WEROM},
    {"rULP", CMD_RULP},
    {"wULP", CMD_WULP},
    {"wUlpBytes", CMD_WUlpBytes},
    {"copyULP", CMD_CopyULP},
    {"rEEPROM", CMD_REEPROM},
    {"wEEPROM", CMD_WEEPROM},
    {"copyPage", CMD_CopyPage},
    {"cp", CMD_CopyPage},
    {"progPfBits", CMD_ProgPfBits},
    {"ppb", CMD_ProgPfBits},
    {"setBitField", CMD_SetBitField},
    {"sbf", CMD_SetBitField},
    {"ioTest", CMD_IoTest},
    {"io", CMD_IoTest},
    {"SendD", CMD_SendD},
    {"SendC", CMD_SendC},
    {"rStatusCode", CMD_RStatusCode},
    {"sc", CMD_RStatusCode},
    {"USER_Read", CMD_UserRead},
    {"ur", CMD_UserRead},
    {"USER_Start", CMD_UserStart},
    {"us", CMD_UserStart},
    {"USER_Stop", CMD_UserStop},
    {"up", CMD_UserStop},
    {"USER_Clean", CMD_UserClean},
    {"uc", CMD_UserClean},
    {"USER_GetCnt", CMD_UserGetCnt},
    {"ug", CMD_UserGetCnt},
    {"USER_Disp", CMD_UserDisp},
    {"ud", CMD_UserDisp},
    {"SYS_Read", CMD_SysRead},
    {"SYS_Start", CMD_SysStart},
    {"SYS_Stop", CMD_SysStop},
    {"SYS_Clean", CMD_SysClean},
    {"SYS_GetCnt", CMD_SysGetCnt},
    {"r", CMD_Reset},
    {"s", CMD_Step},
    {"regs", CMD_Regs},
    {"Protect", CMD_Protect},
    {"Unprotect", CMD_Unprotect},
    {"Erase", CMD_Erase},
    {"log", CMD_Log},
    {"setpc", CMD_SetPC},
    {"setreg", CMD_SetReg},
    {"SetBP", CMD_SetBP},
    {"ClrBP", CMD_ClrBP},
    {"ClrWatchP", CMD_ClrWatchP},
    {"IsHalted", CMD_IsHalted},
    {"IsProtected", CMD_IsProtected},
    {"SetSN", CMD_SetSN},
    {"InvalidateFW", CMD_InvalidateFW},
    {"sig", CMD_Sig},
    {"baud", CMD_Baud},
    {"DevStat", CMD_DevStat},
    {"ds", CMD_DevStat},
    {"Version", CMD_Version},
    {"v", CMD_Version},
    {"HWStat", CMD_HWStat},
    {"hs", CMD_HWStat},
    {"upload", CMD_Upload},
    {"download", CMD_Download},
    {"fillrange", CMD_FillRange},
    {"fr", CMD_FillRange},
    {"fillpattern", CMD_FillPattern},
    {"fp", CMD_FillPattern},
    {"filesig", CMD_FileSig},
    {"verify", CMD_Verify},
    {"noverify", CMD_NoVerify},
    {"Sleep", CMD_Sleep},
    {"Echo", CMD_Echo},
    {"source", CMD_Source},
    {"so", CMD_Source},
};

// ---- start-up

// "HOST:PORT" with a port of 1..65535, as QUIDOR_SERVER and tcp take it.
bool ParseServer(const char *sText, std::string &host, int &port) {
    const char *colon = std::strrchr(sText, ':');
    if (colon == nullptr || colon == sText || colon[1] == '\0' || colon - sText >= 512) {
        return false;
    }
    long value = 0;
    for (const char *p = colon + 1; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > 65535) {
            return false;
        }
        value = value * 10 + (*p - '0');
    }
    if (value < 1 || value > 65535) {
        return false;
    }
    host.assign(sText, static_cast<std::size_t>(colon - sText));
    port = static_cast<int>(value);
    return true;
}

void SelectPort() {
    while (true) {
        std::printf("\nSelect the Quidor to connect to (0..3) : ");
        int key = CONSOLE_Input()->pfReadKey();
        if (key < 0) {
            // End of input: nobody is there to answer.
            std::printf("\n");
            return;
        }
        if (key == 13) {
            key = '0';
        }
        std::printf("%c\n", key);
        if (key >= '0' && key <= '3') {
            std::printf("\n");
            FERROX_SelectUSB(key - '0');
            ConnectProbe();
            return;
        }
        std::printf("Expected a decimal number between 0..3...\n");
    }
}

bool BeginsWithDash(const char *sArg) {
    return sArg[0] == '-';
}

void RunCommandLine(int argc, char **argv) {
    ConnectProbe();
    std::printf("\nQuidor was called with the following parameter:\n");
    for (int i = 1; i < argc; ++i) {
        std::printf("%s ", argv[i]);
    }
    std::printf("\n");
    int i = 1;
    while (i < argc) {
        if (!BeginsWithDash(argv[i])) {
            std::printf("\nQuidor was called with wrong parameter\n");
            std::printf("A command, starting with -- was expected\n");
            ExitStatus = 10;
            return;
        }
        // The command and the arguments that follow it up to the next
        // command; what does not fit the buffer is cut.
        std::string line = argv[i++];
        while (i < argc && !BeginsWithDash(argv[i])) {
            line += ' ';
            line += argv[i++];
        }
        line.resize(std::min<std::size_t>(line.size(), kCommandLineSize - 1));
        const std::size_t dashes = line.find_first_not_of('-');
        char command[kCommandLineSize];
        std::strcpy(command, dashes == std::string::npos ? "" : line.c_str() + dashes);
        if (ExecuteCommand(command) == CMD_QUIT) {
            return;
        }
    }
}

int ExitSequence() {
    const bool errorPending = FERROX_HasError() != 0;
    FERROX_CloseEx(ExitPowerMode);
    std::fflush(stdout);
    if (ExitStatus != 0) {
        return ExitStatus;
    }
    return errorPending ? 1 : 0;
}

// A lone argument is a script file's name; an option name only counts when no
// file of that name is there to run.
bool IsOption(const char *sArg, std::initializer_list<const char *> names) {
    const bool named = std::any_of(names.begin(), names.end(),
                                   [sArg](const char *name) { return std::strcmp(sArg, name) == 0; });
    if (!named) {
        return false;
    }
    std::uint32_t error = 0;
    return !plat::File::openExisting(sArg, error).isOpen();
}

// The library this program loaded, as the connection reports it, without
// connecting: what to check first when something does not add up.
void PrintLibraryVersion() {
    const int v = FERROX_GetDLLVersion();
    std::printf("DLL: %d.%d, compiled %s\n", v / 1000, v % 1000, FERROX_GetCompileDateTime());
}

// ---- scripts

bool ReadWholeFile(plat::File &file, const char *sPath, std::vector<char> &text) {
    std::uint64_t size = 0;
    if (file.regularFileSize(size)) {
        if (size > 0x7FFFFFFE) {
            std::printf("Error: failed to allocate buffer for script file\n");
            return false;
        }
        try {
            text.resize(static_cast<std::size_t>(size) + 1);
        } catch (const std::bad_alloc &) {
            std::printf("Error: failed to allocate buffer for script file\n");
            return false;
        }
        std::uint32_t got = 0;
        if (!file.read(text.data(), static_cast<std::uint32_t>(size), got)) {
            std::printf("Error: failed to read script file (%s)\n", sPath);
            return false;
        }
        if (got != size) {
            std::printf("Error: failed to read complete script file\n");
            return false;
        }
        text[static_cast<std::size_t>(size)] = '\0';
        return true;
    }
    // A pipe or a device: its length shows only at its end.
    constexpr std::size_t kMaxScript = 16u << 20;
    std::size_t used = 0;
    while (true) {
        if (text.size() < used + 4097) {
            if (used > kMaxScript) {
                std::printf("Error: failed to allocate buffer for script file\n");
                return false;
            }
            text.resize(used + 65536);
        }
        std::uint32_t got = 0;
        if (!file.read(text.data() + used, 4096, got)) {
            std::printf("Error: failed to read script file (%s)\n", sPath);
            return false;
        }
        if (got == 0) {
            break;
        }
        used += got;
    }
    text.resize(used + 1);
    text[used] = '\0';
    return true;
}

} // namespace

int ConnectProbe(void) {
    if (FERROX_Open(CMD_LogOut, CMD_ErrorOut) != 0) {
        ExitStatus = 2;
        std::fflush(stdout);
        plat::sleepMs(1000);
        return 1;
    }
    std::printf("Version information:\n");
    PrintLibraryVersion();
    char firmware[256];
    FERROX_EMU_GetFirmwareString(firmware, sizeof firmware);
    firmware[sizeof firmware - 1] = '\0';
    if (firmware[0] != '\0') {
        std::printf("Firmware: %s\n", firmware);
        const int h = FERROX_EMU_GetHWVersion();
        if (h != 0) {
            std::printf("Hardware: %d.%.2d\n", h / 10000, (h / 100) % 100);
        }
    } else {
        std::printf("Unable to retrieve firmware info !\n");
    }
    if (FERROX_HasError() != 0) {
        ExitStatus = 1;
    } else {
        std::printf("S/N: %d \n", FERROX_EMU_GetSN());
    }
    for (FILL_SETTING &setting : FillSettings) {
        setting.RangeSet = 0;
        setting.PatternSet = 0;
    }
    return 0;
}

int MatchKeyword(const char *sKeyword, char **ppCursor) {
    const char *p = *ppCursor;
    for (; *sKeyword != '\0'; ++sKeyword, ++p) {
        if (std::toupper(static_cast<unsigned char>(*sKeyword)) !=
            std::toupper(static_cast<unsigned char>(*p))) {
            return 0;
        }
    }
    if (*p != ' ' && *p != '\0') {
        return 0;
    }
    *ppCursor = const_cast<char *>(p);
    return 1;
}

int ExecuteCommand(char *sLine) {
    if (FERROX_HasError() != 0) {
        FERROX_ClrError();
    }
    ExitStatus = 0;
    char *p = sLine;
    while (*p == ' ' || *p == '\b') {
        ++p;
    }
    for (const COMMAND &command : CommandTable) {
        char *cursor = p;
        if (MatchKeyword(command.sKeyword, &cursor)) {
            if (command.pfAction == QuitAction) {
                return CMD_QUIT;
            }
            command.pfAction(cursor);
            return CMD_CONTINUE;
        }
    }
    char *cursor = p;
    if (*p == '\0') {
        return CMD_CONTINUE;
    }
    if (MatchKeyword("?", &cursor)) {
        PrintHelp();
        return CMD_CONTINUE;
    }
    std::printf("Unknown command: %s. \n'?' for help.\n", p);
    ExitStatus = 13;
    return CMD_CONTINUE;
}

int RunScriptText(char *pText) {
    char *p = pText;
    while (true) {
        // white space and comments, only where a line begins
        while (true) {
            if (IsWhiteSpace(*p)) {
                ++p;
            } else if (p[0] == '/' && p[1] == '/') {
                char *lf = std::strchr(p, '\n');
                p = lf != nullptr ? lf + 1 : p + std::strlen(p);
            } else if (p[0] == '/' && p[1] == '*') {
                char *end = std::strstr(p + 2, "*/");
                p = end != nullptr ? end + 2 : p + std::strlen(p);
            } else {
                break;
            }
        }
        if (*p == '\0') {
            return CMD_CONTINUE;
        }
        char line[kCommandLineSize];
        int n = 0;
        while (*p != '\0' && *p != '\r' && *p != '\n') {
            if (n < kCommandLineSize - 1) {
                line[n++] = *p;
            }
            ++p;
        }
        line[n] = '\0';
        if (ExecuteCommand(line) == CMD_QUIT) {
            return CMD_QUIT;
        }
    }
}

int RunScript(const char *sPath) {
    if (sPath == nullptr || sPath[0] == '\0') {
        return CMD_CONTINUE;
    }
    if (++ScriptDepth >= kScriptDepthLimit) {
        std::printf("Error: maximum recursion level (%d) reached, script not executed.\n", ScriptDepth);
        --ScriptDepth;
        return CMD_CONTINUE;
    }
    std::uint32_t error = 0;
    plat::File file = plat::File::openExisting(sPath, error);
    if (!file.isOpen()) {
        std::printf("Error: failed to open script file (%s)\n", sPath);
        --ScriptDepth;
        return CMD_CONTINUE;
    }
    std::vector<char> text;
    if (!ReadWholeFile(file, sPath, text)) {
        --ScriptDepth;
        return CMD_CONTINUE;
    }
    std::printf("\nScript file (%s) read successfully.\n", sPath);
    std::printf("Processing script file...\n");
    const int result = RunScriptText(text.data());
    std::printf("\nScript processing completed.\n");
    --ScriptDepth;
    return result;
}

void RunPrompt(void) {
    std::printf("\nEnter '?' for help on available commands, 'q' to quit.\n");
    char line[kPromptLineSize];
    while (CONSOLE_Input()->pfReadLine("Quidor>", line, sizeof line) != 0) {
        std::size_t n = std::strlen(line);
        if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') {
            line[n - 2] = '\0';
        } else if (n >= 1 && (line[n - 1] == '\r' || line[n - 1] == '\n')) {
            line[n - 1] = '\0';
        }
        if (ExecuteCommand(line) == CMD_QUIT) {
            return;
        }
    }
}

int CMD_Main(int argc, char **argv) {
    ExitStatus = 0;
    std::printf("Halvorn Quidor Tamsa Commander V%d.%d\n", kVersionMajor, kVersionMinor);
    if (argc == 2) {
        if (IsOption(argv[1], {"--help", "-h"})) {
            PrintHelp();
            std::fflush(stdout);
            return 0;
        }
        if (IsOption(argv[1], {"--version"})) {
            PrintLibraryVersion();
            std::fflush(stdout);
            return 0;
        }
        ConnectProbe();
        if (RunScript(argv[1]) != CMD_QUIT) {
            RunPrompt();
        }
        return ExitSequence();
    }
    if (argc > 2) {
        RunCommandLine(argc, argv);
        std::printf("\nQuidor will be closed, because automatic exit is enabled\n");
        return ExitSequence();
    }
    const char *server = std::getenv("QUIDOR_SERVER");
    std::string host;
    int port = 0;
    if (server != nullptr && ParseServer(server, host, port)) {
        std::printf("Connecting to Quidor TCP/IP server %s:%d\n", host.c_str(), port);
        FERROX_SelectTCPIP(host.c_str(), port);
        ConnectProbe();
    } else {
        SelectPort();
    }
    if (ExitStatus == 0 && FERROX_IsOpen() != 0) {
        FERROX_ClrError();
        RunPrompt();
    }
    return ExitSequence();
}

// The tcp command shares the server parser with the start-up.
void CMD_Tcp(char *pArgs) {
    SkipWhiteSpace(&pArgs);
    std::string text = pArgs;
    while (!text.empty() && IsWhiteSpace(text.back())) {
        text.pop_back();
    }
    std::string host;
    int port = 0;
    if (!ParseServer(text.c_str(), host, port)) {
        std::printf("Syntax: tcp <host>:<port>\n");
        return;
    }
    std::printf("Connecting to Quidor TCP/IP server %s:%d\n", host.c_str(), port);
    FERROX_Close();
    if (FERROX_SelectTCPIP(host.c_str(), port) != 0) {
        std::printf("Can not connect to Quidor TCP/IP server %s:%d\n", host.c_str(), port);
        return;
    }
    ConnectProbe();
}

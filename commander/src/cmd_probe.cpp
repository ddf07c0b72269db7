// Probe, status and data-display commands: the device status word, version
// items, the probe's hardware status and configuration, its serial number and
// firmware, and the user and system data buffers.
#include "commander.h"
#include "commands.h"
#include "console.h"
#include "parse.h"

#include "plat/clock.h"
#include "plat/time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

U32 Hex32(int Value) {
    return static_cast<U32>(Value);
}

const char *const DeviceModes[8] = {
    "*** INVALID (0) ***", "VIRGIN", "RETEST", "INIT", "PROTECTED", "TAMPERED", "*** INVALID (6) ***",
    "*** INVALID (7) ***"};

struct VERSION_NAME {
    U16 Id;
    const char *sName;
};

// Names of the version items, at most 12 characters each.
const VERSION_NAME VersionNames[] = {
    {0x0000, "hardware"},    {0x0001, "product"},      {0x0002, "CPU core"},    {0x1000, "system ROM"},
    {0x1001, "boot loader"}, {0x1002, "monitor"},      {0x1003, "link driver"}, {0x1004, "EROM prog"},
    {0x1005, "EEPROM prog"}, {0x1006, "ULP prog"},     {0x1007, "protection"},  {0x1008, "signature"},
    {0x1009, "breakpoints"}, {0x100A, "trace"},        {0x100B, "I/O test"},    {0x100C, "buffer srv"},
    {0x100D, "power mgmt"},  {0x100E, "baud control"}, {0x1010, "math lib"},    {0x1011, "crypto lib"},
    {0x1012, "patch table"}, {0x2000, "IDE 1"},        {0x2001, "IDE 2"},       {0x2002, "IDE 3"},
    {0x2003, "IDE 4"},
};

const char *VersionName(U32 Id) {
    for (const VERSION_NAME &entry : VersionNames) {
        if (entry.Id == Id) {
            return entry.sName;
        }
    }
    return "unknown type";
}

const char *ResponseText(int Code) {
    switch (Code) {
    case 0:
        return "Command executed properly.";
    case 1:
        return "Device entered monitor mode because of a stop command issued by the user.";
    case 2:
        return "Device entered monitor mode because of hitting a breakpoint.";
    case 3:
        return "Device entered monitor mode because of booting in monitor mode.";
    case 4:
        return "Invalid command error.";
    case 5:
        return "Command execution aborted due to abort command issued by the user.";
    case 6:
        return "Invalid parameter error.";
    case 7:
        return "Non volatile programming error occurred.";
    case 8:
        return "Device entered monitor mode because of hitting a software breakpoint.";
    case -1:
        return "Last response from target not avaiable.";
    case -2:
        return "Invalid, response from target could not be retrieved.";
    case -3:
        return "The target did not send a status code (may happen on cAbort).";
    default:
        return "UNKNOWN, undefined resopnse code.";
    }
}

// The texts of one data buffer's commands.
struct BUFFER_TEXTS {
    int(FERROX_CALL *pfControl)(U8 Cmd, int Reserved);
    const char *sStarted, *sNotStarted;
    const char *sStopped, *sNotStopped;
    const char *sCleaned, *sNotCleaned;
    bool User;
};

const BUFFER_TEXTS UserTexts = {FERROX_EMU_ControlUserBuffer,
                                "Data sampling in the user buffer started.\n",
                                "Data sampling in the user buffer not started.\n",
                                "Data sampling in the user buffer stopped.\n",
                                "Data sampling in the user buffer not stopped.\n",
                                "User data buffer cleaned.\n",
                                "User data buffer not cleaned.\n",
                                true};

const BUFFER_TEXTS SystemTexts = {FERROX_EMU_ControlSystemBuffer,
                                  "Data sampling in the system buffer started.\n",
                                  "Data sampling in the system buffer not started.\n",
                                  "Data sampling in the system buffer stopped.\n",
                                  "Data sampling in the system buffer not stopped.\n",
                                  "System data buffer cleaned.\n",
                                  "System data buffer not cleaned.\n",
                                  false};

void ControlBuffer(const BUFFER_TEXTS &Texts, U8 Code, const char *sDone, const char *sNotDone) {
    const int r = Texts.pfControl(Code, 0);
    if (r == 0) {
        std::printf("%s", sDone);
    } else {
        std::printf("%s", sNotDone);
        // "%.X8" is how these lines have always looked.
        if (Texts.User) {
            std::printf("FERROX_EMU_ControlUserBuffer() returned an error code: %.X8\n", Hex32(r));
        } else {
            std::printf("FERROX_EMU_ControlSystemBuffer() returned an error code: %.X8\n", Hex32(r));
        }
    }
}

void PrintItems(const U16 *pItems, int Count) {
    for (int i = 0; i < Count; ++i) {
        std::printf("%.4X ", pItems[i]);
        if (i % 8 == 7 || i == Count - 1) {
            std::printf("\n");
        }
    }
}

void PrintErrorBanner(const char *sWhat, const char *sReply) {
    std::printf("\n\n****************** ERROR ******************\n");
    std::printf("%s", sWhat);
    std::printf("%s", sReply); // the probe's replies end with their own LF
}

} // namespace

void CMD_DevStat(char *) {
    const int s = FERROX_CPU_GetStatus(0);
    if (s < 0) {
        std::printf("Error, CPU status could not be read!\n");
        return;
    }
    std::printf("Device status word: %.4X\n", Hex32(s));
    std::printf("  MONITOR mode: %s \n  exec mode:    %s \n  CPU idle:     %s \n  watchpoints:  %.1Xh\n"
                "  device mode:  %s \n",
                (s & (1 << 12)) != 0 ? "YES" : "NO", (s & (1 << 11)) != 0 ? "SYSTEM" : "USER",
                (s & (1 << 10)) != 0 ? "YES" : "NO", Hex32((s >> 6) & 0xF), DeviceModes[s & 7]);
}

void CMD_Version(char *pArgs) {
    SkipWhiteSpace(&pArgs);
    const bool names = MatchKeyword("-a", &pArgs) != 0;
    const int n = FERROX_CPU_GetVersion(nullptr);
    if (n < 1) {
        std::printf("Version could not be read, function returned %.8X\n", Hex32(n));
        return;
    }
    // The second call writes as many items as the target announces then,
    // which need not be the n of the first: room for the most it can say.
    constexpr int kMostItems = 0xFFFF;
    U32 *items = static_cast<U32 *>(CMD_Alloc(static_cast<U64>(kMostItems) * 4));
    if (items == nullptr) {
        return;
    }
    const int m = FERROX_CPU_GetVersion(items);
    std::printf("%d Version items read from target CPU.\n", m);
    for (int i = 1; i <= m && i <= kMostItems; ++i) {
        const U32 item = items[i - 1];
        const U32 id = item & 0xFFFF;
        const U32 major = (item >> 16) & 0xFF;
        const U32 minor = item >> 24;
        if (names) {
            std::printf("Item %.2d: ID %.4X %-12s %.2X.%.2X\n", i, id, VersionName(id), major, minor);
        } else {
            std::printf("Version item no. %.2d: ID %.4X, Version %.2X.%.2X\n", i, id, major, minor);
        }
    }
    std::free(items);
}

void CMD_HWStat(char *) {
    FERROX_HW_STATUS status{};
    if (FERROX_EMU_GetHWStatus(&status) != 0) {
        std::printf("Could not connect to Quidor!\n\n");
        return;
    }
    std::printf("Voltage: %.4d mV\n", status.VTarget);
    std::printf("MSCL:    ");
    std::printf(status.SCL != 0 ? "High\n" : "Low\n");
    std::printf("MSDA:    ");
    std::printf(status.SDA != 0 ? "High\n" : "Low\n");
    std::printf("Wake:    ");
    std::printf(status.Wakeout != 0 ? "Released\n" : "Driven by Quidor\n");
    std::printf(status.TargetPowerOn != 0 ? "Target powered by Quidor\n\n"
                                          : "Target not powered by Quidor\n\n");
}

void CMD_RStatusCode(char *) {
    const int r = FERROX_CPU_GetLastResponse();
    std::printf("Last response code: 0x%.4x\n", Hex32(r));
    std::printf("Means: ");
    std::printf("%s", ResponseText(r));
    std::printf("\n");
}

namespace {

// Steps 2 to 6 of powersel: the syntax, the connection and the selection.
void SelectVoltage(char *pArgs) {
    U32 volts = 0;
    if (ParseDec(&pArgs, &volts) != nullptr) {
        std::printf("Syntax: powersel <Voltage> [Mode]\n");
        return;
    }
    if (volts != 3 && volts != 5) {
        std::printf("Syntax: powersel <Voltage> [Mode]\n");
        std::printf("Voltage selection must be 3 or 5!\n");
        return;
    }
    enum { NO_MODE, PERM, WEAK } mode = NO_MODE;
    SkipWhiteSpace(&pArgs);
    if (*pArgs != '\0') {
        char text[256];
        ParseText(&pArgs, text, sizeof text);
        if (strcasecmp(text, "PERM") == 0) {
            mode = PERM;
        } else if (strcasecmp(text, "WEAK") == 0) {
            mode = WEAK;
        } else {
            std::printf("Syntax: powersel <Voltage> [Mode]\n");
            std::printf("Mode must be perm or weak.\n\n");
            return;
        }
    }
    if (FERROX_IsOpen() == 0) {
        std::printf("No communication with Quidor !\n");
        return;
    }
    const U8 selection = volts == 3 ? SUPPLY_SEL_3V : SUPPLY_SEL_5V;
    if (mode == PERM) {
        FERROX_EMU_WriteConfigMem(&selection, CONFIG_OFF_VOLTAGE_SEL, 1);
        return;
    }
    if (mode == WEAK) {
        const U8 unlocked = volts == 3 ? 0xFF : 0x00;
        FERROX_EMU_WriteConfigMem(&unlocked, CONFIG_OFF_VOLTAGE_SEL, 1);
        return;
    }
    const int r = FERROX_EMU_SwitchPowerEx(selection);
    switch (r) {
    case 0:
        break;
    case 1:
        std::printf("Error, function not supported by connected Quidor.\n\n");
        break;
    case 2:
        std::printf("Error, Quidor reported wrong paramater\n\n");
        break;
    case 3:
        std::printf("Error, voltage can not be selected.\n");
        std::printf("Configuration has a different fixed voltage level set.\n\n");
        break;
    default:
        std::printf("Quidor replied an unknown error code: %d\n\n", r);
        break;
    }
}

} // namespace

void CMD_PowerSel(char *pArgs) {
    if (FERROX_EMU_GetHWVersion() < 22000) {
        std::printf("Error, function not supported by connected Quidor.\n\n");
        return;
    }
    SelectVoltage(pArgs);
    U8 state = 0;
    if (FERROX_EMU_ReadConfigMem(&state, CONFIG_OFF_VOLTAGE_SEL, 1) < 0) {
        return;
    }
    switch (state) {
    case 0x00:
        std::printf("config state: 5V unlocked\n\n");
        break;
    case 0x01:
        std::printf("config state: 3V locked\n\n");
        break;
    case 0x02:
        std::printf("config state: 5V locked\n\n");
        break;
    case 0xFF:
        std::printf("config state: 3V unlocked\n\n");
        break;
    default:
        break;
    }
}

void CMD_UsbAddr(char *pArgs) {
    SkipWhiteSpace(&pArgs);
    if (*pArgs == '=') {
        ++pArgs;
    }
    U32 address = 0;
    if (ParseDec(&pArgs, &address) != nullptr) {
        std::printf("Syntax: usbaddr = <addr>\n");
        return;
    }
    if (address >= 4) {
        std::printf("Address must be a value of range 0 - 3 !\n");
        return;
    }
    if (FERROX_IsOpen() == 0) {
        std::printf("No communication with Quidor !\n");
        return;
    }
    std::printf("!!! WARNING !!!\nChanging the USB address may require a new driver installation.\n"
                "see \"Quidor Tamsa User Guide.pdf\"\nEnter 'y' to proceed anyway: ");
    char reply[80];
    if (CONSOLE_Input()->pfReadReply(reply, sizeof reply) == 0) {
        return;
    }
    std::size_t n = std::strlen(reply);
    while (n > 0 && (reply[n - 1] == '\n' || reply[n - 1] == '\r')) {
        reply[--n] = '\0';
    }
    if (n != 1 || (reply[0] != 'y' && reply[0] != 'Y')) {
        std::printf("No change.\n");
        return;
    }
    const int r = FERROX_EMU_SetUSBAddr(address);
    if (r == 0) {
        std::printf("USB address successfully changed to: %d\n\n", static_cast<int>(address));
        std::printf("steps to complete the USB change:\n1.terminate this console\n2.unplug the box\n"
                    "3.reconnect the box again\n");
        if (address == 0) {
            std::printf("4.install \"Quidor driver\" (if LED is blinking fast)\n");
        } else {
            std::printf("4.install \"Quidor %d driver\" (if LED is blinking fast)\n",
                        static_cast<int>(address));
        }
        std::printf("5.start console and type USB: %d\n\n", static_cast<int>(address));
    } else if (r == 2) {
        std::printf("USB address is not supported by connected Quidor.\n");
    } else {
        std::printf("Failed to write USB address.\n");
    }
}

void CMD_SetSN(char *pArgs) {
    U32 serial = 0;
    if (ParseDec(&pArgs, &serial) != nullptr) {
        std::printf("Syntax: SetSN <SN>\n");
        return;
    }
    const int sn = static_cast<int>(serial);
    std::printf("Stamping serial Number %d\n", sn);
    char command[32];
    std::snprintf(command, sizeof command, "SetSN=%d", sn);
    char reply[200] = {};
    FERROX_EMU_ExecCommand(command, reply, sizeof reply);
    reply[sizeof reply - 1] = '\0';
    if (std::strncmp(reply, "O.K.", 4) != 0) {
        PrintErrorBanner("Could not write serial number\n", reply);
    }
}

void CMD_InvalidateFW(char *) {
    char reply[200] = {};
    FERROX_EMU_ExecCommand("invalidateFW", reply, sizeof reply);
    reply[sizeof reply - 1] = '\0';
    if (reply[0] != '\0') {
        PrintErrorBanner("Could not invalidateFW\n", reply);
    }
}

// ---- user buffer

void CMD_UserStart(char *) {
    ControlBuffer(UserTexts, EMU_CMD_BUFFER_START, UserTexts.sStarted, UserTexts.sNotStarted);
}

void CMD_UserStop(char *) {
    ControlBuffer(UserTexts, EMU_CMD_BUFFER_STOP, UserTexts.sStopped, UserTexts.sNotStopped);
}

void CMD_UserClean(char *) {
    ControlBuffer(UserTexts, EMU_CMD_BUFFER_CLEAN, UserTexts.sCleaned, UserTexts.sNotCleaned);
}

void CMD_UserGetCnt(char *) {
    const int n = FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0);
    if (n > 0) {
        std::printf("%d items (16bit values) of user data available.\n", n);
    } else if (n == 0) {
        std::printf("No User data available.\n");
    } else {
        std::printf("User data count could not be read, an error occured.\n");
        std::printf("FERROX_EMU_ControlUserBuffer() returned %.8X\n", Hex32(n));
    }
}

void CMD_UserRead(char *pArgs) {
    U32 count = 0;
    if (ParseDec(&pArgs, &count) != nullptr) {
        std::printf("Syntax: USER_read <NumItems> (dec)\n");
        return;
    }
    if (count == 0) {
        return;
    }
    U16 *items = static_cast<U16 *>(CMD_Alloc(static_cast<U64>(count) * 2));
    if (items == nullptr) {
        std::printf("Could not read USER data.\n");
        return;
    }
    const int n = FERROX_EMU_ReadUserBuffer(count, items);
    if (FERROX_HasError() != 0 || n < 0) {
        std::printf("Could not read USER data.\n");
    } else if (n == 0) {
        std::printf("No User data available.\n");
    } else {
        PrintItems(items, n < static_cast<int>(count) ? n : static_cast<int>(count));
        std::printf("%d Items requested, %d items read\n", static_cast<int>(count), n);
    }
    std::free(items);
}

void CMD_UserDisp(char *pArgs) {
    char option[256];
    ParseText(&pArgs, option, sizeof option);
    const bool text = strcasecmp(option, "Text") == 0;
    std::printf(text ? "User Data Display (text mode):" : "User Data Display (hex mode):");
    std::printf(" press ESC key to stop.\n");
    const int r = FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_START, 0);
    if (r != 0) {
        std::printf("Data sampling in the user buffer not started.\n");
        std::printf("FERROX_EMU_ControlUserBuffer() returned error code: %.X8\n", Hex32(r));
        return;
    }
    std::printf("Starting data sampling in user buffer for continuous display.\n");
    FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0);
    constexpr int kItems = 100;
    U16 *items = static_cast<U16 *>(CMD_Alloc(kItems * 2));
    if (items == nullptr) {
        return;
    }
    const CONSOLE_INPUT *console = CONSOLE_Input();
    console->pfStartKeyPolling();
    bool running = true;
    while (running) {
        const int n = FERROX_EMU_ReadUserBuffer(kItems, items);
        if (FERROX_HasError() == 0 && n >= 0) {
            for (int i = 0; i < n && i < kItems; ++i) {
                if (text) {
                    const char low = static_cast<char>(items[i] & 0xFF);
                    const char high = static_cast<char>(items[i] >> 8);
                    if (low != 0) {
                        std::putchar(low);
                    }
                    if (high != 0) {
                        std::putchar(high);
                    }
                } else {
                    const plat::SystemTime now = plat::localTime();
                    char stamp[32];
                    std::snprintf(stamp, sizeof stamp, "%.2u:%.2u:%.2u", now.hour, now.minute, now.second);
                    std::printf("[%s] %.4X\n", stamp, items[i]);
                }
            }
        } else {
            std::printf("Failed to read USER data.\n");
            running = false;
        }
        std::fflush(stdout);
        // ESC ends the display; so does the end of input, where no key
        // will ever come.
        if (console->pfKeyWaiting() != 0) {
            const int key = console->pfReadKey();
            if (key == 27 || key < 0) {
                running = false;
            }
        }
        if (running) {
            plat::sleepMs(50);
        }
    }
    console->pfStopKeyPolling();
    std::free(items);
    std::printf("Stopped user data display mode. User data sampling still enabled.\n");
}

// ---- system buffer

void CMD_SysStart(char *) {
    ControlBuffer(SystemTexts, EMU_CMD_BUFFER_START, SystemTexts.sStarted, SystemTexts.sNotStarted);
}

void CMD_SysStop(char *) {
    ControlBuffer(SystemTexts, EMU_CMD_BUFFER_STOP, SystemTexts.sStopped, SystemTexts.sNotStopped);
}

void CMD_SysClean(char *) {
    ControlBuffer(SystemTexts, EMU_CMD_BUFFER_CLEAN, SystemTexts.sCleaned, SystemTexts.sNotCleaned);
}

void CMD_SysGetCnt(char *) {
    const int n = FERROX_EMU_ControlSystemBuffer(EMU_CMD_BUFFER_GET_CNT, 0);
    if (n > 0) {
        std::printf("%d items (16bit values) of user data available.\n", n);
    } else if (n == 0) {
        std::printf("No system data available\n");
    } else {
        std::printf("System data count could not be read, an error occured.\n");
        std::printf("FERROX_EMU_ControlSystemBuffer() returned %.8X\n", Hex32(n));
    }
}

void CMD_SysRead(char *pArgs) {
    U32 count = 0;
    if (ParseHex(&pArgs, &count) != nullptr) {
        std::printf("Syntax: SYS_read <NumItems> (hex)\n");
        return;
    }
    if (count == 0) {
        return;
    }
    U16 *items = static_cast<U16 *>(CMD_Alloc(static_cast<U64>(count) * 2));
    if (items == nullptr) {
        std::printf("Could not read System data.\n");
        return;
    }
    const int n = FERROX_EMU_ReadSystemBuffer(count, items);
    if (FERROX_HasError() != 0 || n < 0) {
        std::printf("Could not read System data.\n");
    } else {
        std::printf("%d Items requested, %d items read\n", static_cast<int>(count), n);
        if (n > 0) {
            PrintItems(items, n < static_cast<int>(count) ? n : static_cast<int>(count));
        } else {
            std::printf("No system data available.\n");
        }
    }
    std::free(items);
}

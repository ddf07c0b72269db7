// The commands of the command table that drive the connection and the
// target CPU: execution control, registers, breakpoints, protection, and the
// commander's own settings and script commands.
#include "commander.h"
#include "commands.h"
#include "parse.h"

#include "plat/clock.h"

#include <cstdio>
#include <cstring>

namespace {

// Shows the PC after a halt or a step.
void ShowPC() {
    const U32 pc = FERROX_CPU_GetReg(0);
    if (FERROX_HasError() != 0) {
        std::printf("PC could not be read.\n");
    } else {
        std::printf("PC: %.4X\n", pc);
    }
}

U32 Hex32(int Value) {
    return static_cast<U32>(Value);
}

bool IsHexText(const char *sText, std::size_t Length) {
    for (std::size_t i = 0; i < Length; ++i) {
        const char c = sText[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) {
            return false;
        }
    }
    return true;
}

} // namespace

void CMD_Go(char *) {
    FERROX_CPU_Go();
}

void CMD_Usb(char *pArgs) {
    U32 port = 0;
    char *p = pArgs;
    SkipWhiteSpace(&p);
    if (*p != '\0' && ParseDec(&p, &port) != nullptr) {
        std::printf("Syntax: usb <port>, where port is 0..3\n");
        return;
    }
    const int usbPort = static_cast<int>(port);
    std::printf("Connecting to Quidor via USB (Port: %d)\n", usbPort);
    FERROX_Close();
    if (FERROX_SelectUSB(usbPort) != 0) {
        std::printf("Can not connect via USB (Port: %d)\n", usbPort);
        return;
    }
    ConnectProbe();
}

void CMD_Abort(char *) {
    FERROX_CPU_Abort();
}

void CMD_Enter(char *) {
    const int r = FERROX_CPU_EnterMonitor();
    if (r == 0) {
        std::printf("Target is in Monitor mode.\n");
    } else if (r == 4) {
        std::printf("Target is protected \n");
    } else {
        std::printf("Operation failed, function returned %.8X\n", Hex32(r));
    }
}

void CMD_PowerOnReset(char *) {
    const int r = FERROX_CPU_PowerOnReset();
    if (r == 0) {
        std::printf("Target is in Monitor mode.\n");
    } else if (r == 4) {
        std::printf("Target is protected \n");
    } else {
        std::printf("Target not supplied by quidor.\n");
    }
}

void CMD_PowerDown(char *) {
    FERROX_EMU_SwitchPower(0);
    ExitPowerMode = 0;
}

void CMD_PowerUp(char *) {
    FERROX_EMU_SwitchPower(1);
    ExitPowerMode = 2;
}

void CMD_IOff(char *) {
    FERROX_EMU_SwitchInterface(0);
}

void CMD_Halt(char *) {
    const int r = FERROX_CPU_Halt();
    if (r != 0) {
        std::printf("Target could not be halted.\n");
    } else if (FERROX_HasError() == 0) {
        ShowPC();
    }
}

void CMD_HaltGoTest(char *) {
    const U32 start = plat::tickMs();
    std::printf("test halt/go \n");
    if (FERROX_CPU_IsHalted() != 0) {
        FERROX_CPU_Go();
    }
    for (int i = 0; i < 1000 && FERROX_CPU_Halt() == 0; ++i) {
        std::printf(".");
        FERROX_CPU_Go();
    }
    std::printf("\nCompleted. %dms required\n", static_cast<int>(plat::tickMs() - start));
}

void CMD_StepTest(char *) {
    const U32 start = plat::tickMs();
    std::printf("Test single step");
    FERROX_CPU_Halt();
    for (int i = 0; i < 1000; ++i) {
        FERROX_CPU_Step();
        std::printf(".");
    }
    std::printf("\nCompleted. %dms required\n", static_cast<int>(plat::tickMs() - start));
}

void CMD_IoTest(char *pArgs) {
    U32 on = 0;
    if (ParseDec(&pArgs, &on) != nullptr) {
        std::printf("Syntax: ioTest <1=on|0=off>\n");
        return;
    }
    std::printf(on != 0 ? "ioTest started\n" : "ioTest stopped\n");
    const int r = FERROX_CPU_IoTest(static_cast<int>(on));
    if (r != 0) {
        std::printf("Error ioTest. Function returned 0x%.8X\n", Hex32(r));
    }
}

void CMD_SendD(char *pArgs) {
    U32 data = 0;
    if (ParseHex(&pArgs, &data) != nullptr) {
        std::printf("Syntax: SendD <Data>(hex)\n");
        return;
    }
    const int r = FERROX_CPU_SendData(data);
    if (r != 0) {
        std::printf("Error, data not Sent. Function returned 0x%.8X\n", Hex32(r));
    }
}

void CMD_SendC(char *pArgs) {
    U32 command = 0;
    U32 mode = 0;
    if (ParseHex(&pArgs, &command) != nullptr) {
        std::printf("Syntax: Syntax: SendC <Cmd>,<Mode>(hex)\n");
        return;
    }
    SkipSeparator(&pArgs);
    if (ParseHex(&pArgs, &mode) != nullptr) {
        std::printf("Syntax: Syntax: SendC <Cmd>,<Mode>(hex)\n");
        return;
    }
    const int r = FERROX_CPU_SendCommand(command, mode);
    if (r != 0) {
        std::printf("Error, Command not sent. Function returned 0x%.8X\n", Hex32(r));
    }
}

void CMD_Reset(char *) {
    FERROX_CPU_Reset();
}

void CMD_Step(char *) {
    if (FERROX_CPU_Step() == 0) {
        ShowPC();
    } else {
        std::printf("Could not execute single step !\n");
    }
}

void CMD_Regs(char *) {
    TAMSA_REGISTERS regs{};
    if (FERROX_CPU_GetRegsAll(nullptr) != 10 || FERROX_CPU_GetRegsAll(&regs) != 10) {
        std::printf("Registers could not be read!\n");
        return;
    }
    std::printf("PC = %.4X, PSW = %.2X\n", regs.PC, regs.PSW);
    std::printf("R0 = %.2X, R1 = %.2X, R2 = %.2X, R3 = %.2X, R4 = %.2X, R5 = %.2X, R6 = %.2X, R7 = %.2X\n",
                regs.R0, regs.R1, regs.R2, regs.R3, regs.R4, regs.R5, regs.R6, regs.R7);
}

void CMD_Protect(char *) {
    const int r = FERROX_CPU_Protect();
    if (r == 0) {
        std::printf("\nTarget protected successfully.\nTarget has to be un-protected,\n"
                    "before any other function can be executed.\n");
    } else if (r == -1) {
        std::printf("\n****** Error: %s\n", "in protect command, target was protected before");
        ExitStatus = 3;
    } else {
        std::printf("\nCould not protect target CPU!\nFERROX_CPU_Protect() returned %.4x\n", Hex32(r));
    }
}

void CMD_Unprotect(char *pArgs) {
    const char *key = *pArgs != '\0' ? pArgs + 1 : pArgs;
    const std::size_t length = std::strlen(key);
    if (length != 32 || !IsHexText(key, length)) {
        std::printf("Syntax: unprotect <128 Bit hex-key>\n");
        return;
    }
    if (FERROX_CPU_Unprotect(key) == 0) {
        return;
    }
    switch (FERROX_CPU_GetLastResponse()) {
    case 0:
        std::printf("Device unprotected successfully\n");
        break;
    case 4:
        std::printf("Command usage invalid (check state or device)\n");
        break;
    case 6:
        std::printf("Command usage with invalid parameter\n");
        break;
    case 7:
        std::printf("Command execution failed\n");
        break;
    default:
        std::printf("Command returned invalid status code\n");
        break;
    }
}

void CMD_Erase(char *) {
    const int r = FERROX_CPU_Erase();
    if (r == 0) {
        std::printf("Target erased successfully.\n");
    } else {
        std::printf("Could NOT erase target CPU!\nFERROX_CPU_Erase() returned %.4x\n\n", Hex32(r));
    }
}

void CMD_Log(char *pArgs) {
    char name[270];
    ParseText(&pArgs, name, sizeof name);
    FERROX_SetLogFile(name);
}

void CMD_SetPC(char *pArgs) {
    U32 address = 0;
    if (ParseHex(&pArgs, &address) != nullptr) {
        std::printf("Syntax: SetPC <addr>\n");
        return;
    }
    if (FERROX_CPU_IsHalted() != 0) {
        FERROX_CPU_SetReg(0, address);
    } else {
        std::printf("CPU is not halted !\n");
    }
}

void CMD_SetReg(char *pArgs) {
    U32 index = 0;
    U32 value = 0;
    if (ParseHex(&pArgs, &index) != nullptr) {
        std::printf("Syntax: SetReg <Index>,<Value> (hex)\n");
        return;
    }
    SkipSeparator(&pArgs);
    if (ParseHex(&pArgs, &value) != nullptr) {
        std::printf("Syntax: SetReg <Index>,<Value> (hex)\n");
        return;
    }
    if (index >= 10) {
        std::printf("Index outside allowed range (0..9)!\n");
        return;
    }
    FERROX_CPU_SetReg(static_cast<int>(index), value);
}

void CMD_SetBP(char *pArgs) {
    U32 number = 0;
    U32 address = 0;
    if (ParseHex(&pArgs, &number) != nullptr) {
        std::printf("Syntax: SetBP <No>, <Addr>, [Flags]\n");
        return;
    }
    SkipSeparator(&pArgs);
    if (ParseHex(&pArgs, &address) != nullptr) {
        std::printf("Syntax: SetBP <No>, <Addr>, [Flags]\n");
        return;
    }
    if (number > 3) {
        std::printf("Invalid parameter. No has to be in the range of 0..3!\n");
        return;
    }
    U32 control = 0x40;
    SkipWhiteSpace(&pArgs);
    if (*pArgs != '\0') {
        if (*pArgs != ',') {
            std::printf("\nInvalid delimiter, expected a ','\n");
            return;
        }
        ++pArgs;
        SkipWhiteSpace(&pArgs);
        const bool given = *pArgs != '\0';
        U32 flags = 0;
        if (ParseOptionalHex(&pArgs, &flags) != nullptr) {
            std::printf("Syntax: SetBP <No>, <Addr>, [Flags]\n");
            return;
        }
        if (flags > 0xF) {
            std::printf("\nInvalid parameter for Flags, expected a value from 0 to 0xF\n");
        } else if (given) {
            control = flags << 4;
        }
    }
    control |= number;
    const U32 r = FERROX_CPU_WriteBP(address, control);
    if (r == 0) {
        std::printf("Breakpoint set at Addr %.4X.\n", address);
    } else {
        std::printf("Breakpoint could not be set at Addr 0x%.4X. Function returned %.8X\n", address, r);
    }
}

void CMD_ClrBP(char *pArgs) {
    U32 number = 0;
    U32 address = 0;
    if (ParseHex(&pArgs, &number) != nullptr) {
        std::printf("Syntax: ClrBP <No>, <Addr>\n");
        return;
    }
    SkipSeparator(&pArgs);
    if (ParseHex(&pArgs, &address) != nullptr) {
        std::printf("Syntax: ClrBP <No>, <Addr> (hex)\n");
        return;
    }
    if (number > 3) {
        std::printf("Invalid parameter. No has to be in the range of 0..3!\n");
        return;
    }
    const U32 r = FERROX_CPU_WriteBP(address, number);
    if (r == 0) {
        std::printf("Breakpoint removed\n");
    } else {
        std::printf("Breakpoint could not be removed. Function returned %.8X\n", r);
    }
}

void CMD_ClrWatchP(char *) {
    const int r = FERROX_CPU_ClrWatchp();
    if (r == 0) {
        std::printf("Command processed without error\n");
    } else {
        std::printf("Watchpoints could not be removed. Function returned %.8X\n", Hex32(r));
    }
}

void CMD_IsHalted(char *) {
    const int s = FERROX_CPU_IsHalted();
    if (FERROX_HasError() != 0) {
        std::printf("Target CPU state could not be examined.\n");
        return;
    }
    const char *text = "Function returned unknown code.";
    switch (s) {
    case -4:
        text = "Target CPU is in power down mode.";
        break;
    case -3:
        text = "Target CPU state could not be examined.";
        break;
    case -2:
        text = "Target CPU is halted by user.";
        break;
    case -1:
        text = "Target CPU is halted by unknown reason.";
        break;
    case 0:
        text = "Target CPU is running.";
        break;
    case 1:
        text = "Target CPU is halted by HW breakpoint.";
        break;
    case 2:
        text = "Target CPU is halted by SW breakpoint.";
        break;
    default:
        break;
    }
    std::printf("%s Function returned: 0x%.8X\n", text, Hex32(s));
}

void CMD_IsProtected(char *) {
    const int r = FERROX_CPU_IsProtected();
    if (FERROX_HasError() != 0) {
        std::printf("Target CPUs protection state could not be examined.\n");
    } else if (r != 0) {
        std::printf("Target CPU is protected\n");
    } else {
        std::printf("Target CPU is not protected\n");
    }
}

void CMD_Baud(char *pArgs) {
    U32 speed = 0;
    if (ParseDec(&pArgs, &speed) != nullptr || speed > 1) {
        std::printf(
            "\nInvalid parameter for command 'baud', expected a value 0 for 125 kHz or 1 for 250 kHz\n");
    } else {
        const int r = FERROX_CPU_SetBaud(speed);
        if (r != 0) {
            std::printf("\nCould NOT set target CPU speed !\nFERROX_CPU_SetBaud() returned %.4x", Hex32(r));
        } else {
            std::printf("Target operating speed set to ");
            std::printf(speed == 1 ? "250 kHz" : "125 kHz");
        }
    }
    std::printf("\n");
}

void CMD_Verify(char *) {
    VerifyDownloads = 1;
    std::printf("Verification activated for download.\n");
}

void CMD_NoVerify(char *) {
    VerifyDownloads = 0;
    std::printf("Verification de-activated for download.\n");
}

void CMD_Sleep(char *pArgs) {
    U32 ms = 0;
    if (ParseDec(&pArgs, &ms) != nullptr) {
        std::printf("Syntax: Sleep <milliseconds> (dec)\n");
        return;
    }
    std::fflush(stdout);
    plat::sleepMs(ms);
}

void CMD_Echo(char *pArgs) {
    std::printf("[echo]%s\n", pArgs);
}

void CMD_Source(char *pArgs) {
    while (*pArgs == ' ') {
        ++pArgs;
    }
    RunScript(pArgs);
}

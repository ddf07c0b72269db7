// ferroxcmd as users run it, against quidorsim over TCP/IP: the three modes
// of start-up, the interpreter's rules, scripts, and the probe, status and
// data buffer commands. Every expectation is the whole output unless a test
// says otherwise.
#include "commander_fixture.h"

#include <gtest/gtest.h>

namespace {

using namespace cmd_test;

// ---- start-up and modes

TEST_F(Commander, CommandLineModeRunsEachCommandWithItsArgumentsAndExits) {
    const Result r = commandLine({"--wDat", "100,11", "22", "--rDat", "100", "4", "---regs"});
    EXPECT_EQ(r.out, kBanner + kVersionInfo +
                         "\nQuidor was called with the following parameter:\n"
                         "--wDat 100,11 22 --rDat 100 4 ---regs \n"
                         "Writing 11 to DATA @ 100\n"
                         "Writing 22 to DATA @ 101\n"
                         "00000100 = 11 22 00 00 \n" +
                         kRegsAfterBoot + kAutoExit);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(Commander, CommandLineArgumentWithoutDashStopsTheWalkWithStatus10) {
    const Result r = commandLine({"--Echo", "a", "--q", "Echo", "b"});
    // "--q" quits the walk before the bad argument is reached.
    EXPECT_EQ(r.status, 0);
    const Result bad = commandLine({"Echo", "--Echo", "b"});
    EXPECT_EQ(bad.out, kBanner + kVersionInfo +
                           "\nQuidor was called with the following parameter:\n"
                           "Echo --Echo b \n"
                           "\nQuidor was called with wrong parameter\n"
                           "A command, starting with -- was expected\n" +
                           kAutoExit);
    EXPECT_EQ(bad.status, 10);
}

TEST_F(Commander, CommandLineCutsAnOverlongCommandAt255Characters) {
    const std::string word(300, 'x');
    const Result r = commandLine({"--Echo", word, "--Echo", "next"});
    EXPECT_NE(r.out.find("[echo] " + std::string(248, 'x') + "\n[echo] next\n"), std::string::npos) << r.out;
}

TEST_F(Commander, HelpOptionPrintsTheHelpTextWithoutConnecting) {
    for (const char *option : {"--help", "-h"}) {
        RunOptions options; // no server: a connection attempt would fail
        const Result r = cmd_test::runCommander({option}, options);
        EXPECT_EQ(r.out, kBanner + helpText()) << option;
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Commander, VersionOptionPrintsTheLoadedLibraryWithoutConnecting) {
    RunOptions options; // no server: a connection attempt would fail
    options.cwd = scratch_.path();
    const Result r = cmd_test::runCommander({"--version"}, options);
    EXPECT_EQ(normalized(r.out), kBanner + "DLL: 1.92, compiled DATE\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Commander, OptionNamesAreScriptFilesWhenSuchAFileIsThere) {
    for (const char *option : {"--version", "--help", "-h"}) {
        scratch_.write(option, "Echo from file\nq\n");
        const Result r = commandLine({option});
        EXPECT_EQ(r.out, kBanner + kVersionInfo + "\nScript file (" + option + ") read successfully.\n" +
                             "Processing script file...\n[echo] from file\n\nScript processing completed.\n")
            << option;
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(Commander, QuestionMarkPrintsTheHelpTextByteForByte) {
    const Result r = interactive("?\nq\n");
    EXPECT_EQ(r.out, interactiveHeader() + "Quidor>" + helpText() + "Quidor>");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Commander, UnreachableServerEndsTheNoArgumentStartWithStatus2) {
    RunOptions options;
    options.server = "127.0.0.1:1";
    options.input = "regs\n";
    const Result r = cmd_test::runCommander({}, options);
    EXPECT_EQ(r.out, kBanner + "Connecting to Quidor TCP/IP server 127.0.0.1:1\n" +
                         "\n****** Error: Can not connect to Quidor TCP/IP Server (127.0.0.1, port 1)\n");
    EXPECT_EQ(r.status, 2);
}

TEST_F(Commander, TcpCommandReconnectsAndRefusesMalformedAddresses) {
    const Result r = interactive("tcp nohost\ntcp " + sim_->server() + "\nregs\n");
    EXPECT_EQ(r.out, interactiveHeader() + "Quidor>Syntax: tcp <host>:<port>\n" +
                         "Quidor>Connecting to Quidor TCP/IP server " + sim_->server() + "\n" + kVersionInfo +
                         "Quidor>" + kRegsAfterBoot + "Quidor>");
    EXPECT_EQ(r.status, 0);
}

TEST(CommanderMakeRun, RunsTheCommanderOnASimulatorThatKeepsItsMemories) {
    ScratchDir scratch;
    const auto makeRun = [&](const std::string &args) {
        const std::string command = "RUN_STATE_DIR='" + scratch.path() +
                                    "' bash '" RUN_SCRIPT "' '" BIN_DIR "' " + args + " > '" +
                                    scratch.file("out.txt") + "' 2>&1";
        const int status = std::system(command.c_str());
        return std::make_pair(status, normalized(scratch.read("out.txt")));
    };
    const auto first = makeRun("--wDat 0,5A --Echo first");
    EXPECT_EQ(first.first, 0);
    EXPECT_NE(first.second.find("Writing 5A to DATA @ 00\n[echo] first\n" + kAutoExit), std::string::npos)
        << first.second;
    const auto second = makeRun("--rDat 0,1 --Echo second");
    EXPECT_EQ(second.first, 0);
    EXPECT_NE(second.second.find("00000000 = 5A \n[echo] second\n"), std::string::npos) << second.second;
}

// ---- the interpreter

TEST_F(Commander, KeywordsIgnoreCaseAndNeedASpaceOrTheEndAfterThem) {
    const Result r = interactive("REGS\nRegs x\n  \b regs\nregs\t\n\tregs\nrDat\t0,4\nusbaddr 9\nsig0\nQ\n");
    const std::string unknown = "'?' for help.\n";
    EXPECT_EQ(r.out, interactiveHeader() + "Quidor>" + kRegsAfterBoot + "Quidor>" + kRegsAfterBoot +
                         "Quidor>" + kRegsAfterBoot + "Quidor>Unknown command: regs\t. \n" + unknown +
                         "Quidor>Unknown command: \tregs. \n" + unknown +
                         "Quidor>Unknown command: rDat\t0,4. \n" + unknown +
                         "Quidor>Address must be a value of range 0 - 3 !\n" +
                         "Quidor>Unknown command: sig0. \n" + unknown + "Quidor>");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Commander, ExitStatusTellsTheLastCommand) {
    EXPECT_EQ(interactive("nonsense\n").status, 13);
    EXPECT_EQ(interactive("nonsense\n\n").status, 0) << "an empty line resets the status";
    EXPECT_EQ(interactive("nonsense\nregs\n").status, 0);
}

TEST_F(Commander, AnyOneCharacterSeparatesTwoNumbers) {
    const Result r =
        interactive("wDat 100,AA BB CC DD\nrDat 100,4\nrDat 100 4\nrDat 0x100;4\nrDat 100 , 4\nrDat 100\n");
    const std::string row = "00000100 = AA BB CC DD \n";
    EXPECT_EQ(r.out, interactiveHeader() +
                         "Quidor>Writing AA to DATA @ 100\nWriting BB to DATA @ 101\n"
                         "Writing CC to DATA @ 102\nWriting DD to DATA @ 103\n" +
                         "Quidor>" + row + "Quidor>" + row + "Quidor>" + row +
                         "Quidor>Syntax: rDat <Addr>, <NumBytes>\n" +
                         "Quidor>Syntax: rDat <Addr>, <NumBytes>\n" + "Quidor>");
}

TEST_F(Commander, ALongPromptLineIsReadAsTwoCommandLines) {
    // 249 characters are one line; the rest is the next command line.
    const std::string line = "Echo " + std::string(244, 'x') + "Echo tail\n";
    const Result r = interactive(line);
    EXPECT_EQ(r.out, interactiveHeader() + "Quidor>[echo] " + std::string(244, 'x') +
                         "\nQuidor>[echo] tail\nQuidor>");
}

TEST_F(Commander, HaltStepAndTheRegisterCommands) {
    const Result r =
        interactive("h\ns\ns\nsetreg 2,1234\nsetreg A,1\nsetreg 1\nsetpc 40\nsetpc\nregs\ng\nsetpc 5\n"
                    "IsHalted\nIsProtected\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>PC: 0000\n"
                   "Quidor>PC: 0001\n"
                   "Quidor>PC: 0002\n"
                   "Quidor>"
                   "Quidor>Index outside allowed range (0..9)!\n"
                   "Quidor>Syntax: SetReg <Index>,<Value> (hex)\n"
                   "Quidor>"
                   "Quidor>Syntax: SetPC <addr>\n"
                   "Quidor>PC = 0040, PSW = 00\n"
                   "R0 = 1234, R1 = 00, R2 = 00, R3 = 00, R4 = 00, R5 = 00, R6 = 00, R7 = 2000\n"
                   "Quidor>"
                   "Quidor>CPU is not halted !\n"
                   "Quidor>Target CPU is running. Function returned: 0x00000000\n"
                   "Quidor>\n****** Error: Target not halted !\n"
                   "Target CPUs protection state could not be examined.\n"
                   "Quidor>");
}

TEST_F(Commander, SetBPFlagsAndDelimiters) {
    const Result r =
        interactive("SetBP 1,200,20\nSetBP 1,8;3\nSetBP 4,10\nSetBP 1\nSetBP 0,10, 8\nClrBP 0\n"
                    "ClrBP 0,x\nClrBP 7,1\nClrBP 1,200\nSetBP 2,5\ng\nSleep 30\nIsHalted\nregs\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>\nInvalid parameter for Flags, expected a value from 0 to 0xF\n"
                   "Breakpoint set at Addr 0200.\n"
                   "Quidor>\nInvalid delimiter, expected a ','\n"
                   "Quidor>Invalid parameter. No has to be in the range of 0..3!\n"
                   "Quidor>Syntax: SetBP <No>, <Addr>, [Flags]\n"
                   "Quidor>Breakpoint set at Addr 0010.\n"
                   "Quidor>Syntax: ClrBP <No>, <Addr> (hex)\n"
                   "Quidor>Syntax: ClrBP <No>, <Addr> (hex)\n"
                   "Quidor>Invalid parameter. No has to be in the range of 0..3!\n"
                   "Quidor>Breakpoint removed\n"
                   "Quidor>Breakpoint set at Addr 0005.\n"
                   "Quidor>"
                   "Quidor>"
                   "Quidor>Target CPU is halted by HW breakpoint. Function returned: 0x00000001\n"
                   "Quidor>PC = 0005, PSW = 00\n"
                   "R0 = 00, R1 = 00, R2 = 00, R3 = 00, R4 = 00, R5 = 00, R6 = 00, R7 = 2000\n"
                   "Quidor>");
}

TEST_F(Commander, SoftwareBreakpointFlagReachesTheTarget) {
    // Flags 8 mark a software breakpoint: control word 0x81.
    const Result r = interactive("SetBP 1,3,8\ng\nSleep 30\nIsHalted\n");
    EXPECT_NE(r.out.find("Target CPU is halted by SW breakpoint. Function returned: 0x00000002\n"),
              std::string::npos)
        << r.out;
}

TEST_F(Commander, SettingsAndSmallCommands) {
    const Result r =
        interactive("verify\nnoverify\nbaud 1\nbaud 2\nbaud\nSleep 1\nSleep x\nEcho\nEcho  two  \n"
                    "ioTest\nClrWatchP\nSendD\nSendC 1\nenter\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(
        out,
        "Quidor>Verification activated for download.\n"
        "Quidor>Verification de-activated for download.\n"
        "Quidor>Target operating speed set to 250 kHz\n"
        "Quidor>\nInvalid parameter for command 'baud', expected a value 0 for 125 kHz or 1 for 250 kHz\n\n"
        "Quidor>\nInvalid parameter for command 'baud', expected a value 0 for 125 kHz or 1 for 250 kHz\n\n"
        "Quidor>"
        "Quidor>Syntax: Sleep <milliseconds> (dec)\n"
        "Quidor>[echo]\n"
        "Quidor>[echo]  two  \n"
        "Quidor>Syntax: ioTest <1=on|0=off>\n"
        "Quidor>Command processed without error\n"
        "Quidor>Syntax: SendD <Data>(hex)\n"
        "Quidor>Syntax: Syntax: SendC <Cmd>,<Mode>(hex)\n"
        "Quidor>Target is in Monitor mode.\n"
        "Quidor>");
}

// ---- scripts

TEST_F(Commander, ScriptWithCommentsRunsAndItsQEndsTheProgram) {
    scratch_.write("s.txt", "// a comment line\n"
                            "   Echo one // not a comment here\r\n"
                            "/* a block\n"
                            "   over lines */ Echo two\n"
                            "\t\tEcho " +
                                std::string(300, 'y') +
                                "\n"
                                "q\n"
                                "Echo never\n");
    const Result r = commandLine({"s.txt"});
    EXPECT_EQ(r.out, kBanner + kVersionInfo + "\nScript file (s.txt) read successfully.\n" +
                         "Processing script file...\n" + "[echo] one // not a comment here\n" +
                         "[echo] two\n" + "[echo] " + std::string(250, 'y') + "\n" +
                         "\nScript processing completed.\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Commander, ScriptModeFallsIntoThePromptAndTakesADashedNameAsAFile) {
    scratch_.write("--protect", "Echo from file\n");
    const Result r = commandLine({"--protect"}, "Echo typed\n");
    EXPECT_EQ(r.out, kBanner + kVersionInfo + "\nScript file (--protect) read successfully.\n" +
                         "Processing script file...\n[echo] from file\n\nScript processing completed.\n" +
                         kPromptIntro + "Quidor>[echo] typed\nQuidor>");
    const Result missing = commandLine({"nofile"}, "q\n");
    EXPECT_EQ(missing.out, kBanner + kVersionInfo + "Error: failed to open script file (nofile)\n" +
                               kPromptIntro + "Quidor>");
}

TEST_F(Commander, NestedScriptsStopAtTheTenthLevelAndOuterLevelsCarryOn) {
    scratch_.write("self.txt", "Echo in\nso self.txt\nEcho out\n");
    const Result r = commandLine({"self.txt"}, "q\n");
    std::string expected;
    const std::string read = "\nScript file (self.txt) read successfully.\nProcessing script file...\n";
    for (int i = 0; i < 9; ++i) {
        expected += read + "[echo] in\n";
    }
    expected += "Error: maximum recursion level (10) reached, script not executed.\n";
    for (int i = 0; i < 9; ++i) {
        expected += "[echo] out\n\nScript processing completed.\n";
    }
    EXPECT_EQ(r.out, kBanner + kVersionInfo + expected + kPromptIntro + "Quidor>");
}

TEST_F(Commander, QInASourcedScriptEndsOnlyThatScript) {
    scratch_.write("inner.txt", "Echo inner\nq\nEcho never\n");
    scratch_.write("outer.txt", "source   inner.txt\nEcho back\nq\n");
    const Result r = commandLine({"outer.txt"});
    const std::string read = " read successfully.\nProcessing script file...\n";
    EXPECT_EQ(
        r.out,
        kBanner + kVersionInfo + "\nScript file (outer.txt)" + read + "\nScript file (inner.txt)" + read +
            "[echo] inner\n\nScript processing completed.\n[echo] back\n\nScript processing completed.\n");
    EXPECT_EQ(r.status, 0);
}

// ---- protection

TEST_F(Commander, ProtectOnAProtectedTargetGivesStatus3) {
    start({"--protected"});
    const Result r = commandLine({"--Protect", "--IsProtected", "--Protect"});
    EXPECT_EQ(r.out, kBanner + kVersionInfo + "\nQuidor was called with the following parameter:\n" +
                         "--Protect --IsProtected --Protect \n" +
                         "\n****** Error: in protect command, target was protected before\n" +
                         "Target CPU is protected\n" +
                         "\n****** Error: in protect command, target was protected before\n" + kAutoExit);
    EXPECT_EQ(r.status, 3);
}

TEST_F(Commander, ProtectUnprotectAndErase) {
    const Result r =
        interactive("Protect\nregs\nUnprotect 0011\nUnprotect 00112233445566778899AABBCCDDEEFG\n"
                    "Unprotect FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\nUnprotect 00112233445566778899aabbccddeeff\n"
                    "IsProtected\nProtect\nErase\nIsProtected\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_NE(out.find("Quidor>\nTarget protected successfully.\nTarget has to be un-protected,\n"
                       "before any other function can be executed.\nQuidor>"),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("Quidor>Syntax: unprotect <128 Bit hex-key>\nQuidor>Syntax: unprotect <128 Bit hex-key>\n"
                 "Quidor>"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("Command usage with invalid parameter\nQuidor>Quidor>Target CPU is not protected\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Quidor>Target erased successfully.\nQuidor>Target CPU is not protected\nQuidor>"),
              std::string::npos)
        << out;
}

// ---- probe and status commands

TEST_F(Commander, DeviceStatusAndVersionItems) {
    const Result r = interactive("e\nds\nv\nv -a\nv -ab\nh\nsc\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>Target is in Monitor mode.\n"
                   "Quidor>Device status word: D003\n"
                   "  MONITOR mode: YES \n  exec mode:    USER \n  CPU idle:     NO \n  watchpoints:  0h\n"
                   "  device mode:  INIT \n"
                   "Quidor>5 Version items read from target CPU.\n"
                   "Version item no. 01: ID 0000, Version 01.02\n"
                   "Version item no. 02: ID 0001, Version 02.10\n"
                   "Version item no. 03: ID 0002, Version 01.04\n"
                   "Version item no. 04: ID 1000, Version 03.07\n"
                   "Version item no. 05: ID 1001, Version 01.11\n"
                   "Quidor>5 Version items read from target CPU.\n"
                   "Item 01: ID 0000 hardware     01.02\n"
                   "Item 02: ID 0001 product      02.10\n"
                   "Item 03: ID 0002 CPU core     01.04\n"
                   "Item 04: ID 1000 system ROM   03.07\n"
                   "Item 05: ID 1001 boot loader  01.11\n"
                   "Quidor>5 Version items read from target CPU.\n"
                   "Version item no. 01: ID 0000, Version 01.02\n"
                   "Version item no. 02: ID 0001, Version 02.10\n"
                   "Version item no. 03: ID 0002, Version 01.04\n"
                   "Version item no. 04: ID 1000, Version 03.07\n"
                   "Version item no. 05: ID 1001, Version 01.11\n"
                   "Quidor>PC: 0000\n"
                   "Quidor>Last response code: 0x0000\nMeans: Command executed properly.\n"
                   "Quidor>");
}

TEST_F(Commander, DeviceStatusOfAProtectedTarget) {
    start({"--protected"});
    const Result r = interactive("e\nds\n");
    EXPECT_NE(r.out.find("Quidor>Device status word: D004\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  device mode:  PROTECTED \n"), std::string::npos) << r.out;
}

TEST_F(Commander, HardwareStatusFollowsTheSupply) {
    const Result r = interactive("hs\npu\nhs\npd\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>Voltage: 0000 mV\nMSCL:    Low\nMSDA:    Low\nWake:    Released\n"
                   "Target not powered by Quidor\n\n"
                   "Quidor>"
                   "Quidor>Voltage: 3300 mV\nMSCL:    High\nMSDA:    High\nWake:    Released\n"
                   "Target powered by Quidor\n\n"
                   "Quidor>Quidor>");
}

TEST_F(Commander, PowerSelectionAndTheConfigurationState) {
    const Result r =
        interactive("ps 4\nps 3 weak\nps 5 strong\nps 3 perm\nps 5\nps 3\nps x\nps 5 WEAK\npu\nhs\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>Syntax: powersel <Voltage> [Mode]\nVoltage selection must be 3 or 5!\n"
                   "config state: 3V unlocked\n\n"
                   "Quidor>config state: 3V unlocked\n\n"
                   "Quidor>Syntax: powersel <Voltage> [Mode]\nMode must be perm or weak.\n\n"
                   "config state: 3V unlocked\n\n"
                   "Quidor>config state: 3V locked\n\n"
                   "Quidor>Error, voltage can not be selected.\n"
                   "Configuration has a different fixed voltage level set.\n\n"
                   "config state: 3V locked\n\n"
                   "Quidor>config state: 3V locked\n\n"
                   "Quidor>Syntax: powersel <Voltage> [Mode]\nconfig state: 3V locked\n\n"
                   "Quidor>config state: 5V unlocked\n\n"
                   "Quidor>"
                   "Quidor>Voltage: 5000 mV\nMSCL:    High\nMSDA:    High\nWake:    Released\n"
                   "Target powered by Quidor\n\n"
                   "Quidor>");
}

TEST_F(Commander, PowerSelectionNeedsHardwareVersion22000) {
    start({"--hw-version", "21999"});
    const Result r = interactive("ps 3\n");
    EXPECT_EQ(r.out, kBanner + "Connecting to Quidor TCP/IP server " + sim_->server() + "\n" +
                         "Version information:\nDLL: 1.92, compiled DATE\n"
                         "Firmware: Quidor Rev 2.0 Tamsa compiled Feb 13 2015 14:08:22\n"
                         "Hardware: 2.19\nS/N: -1 \n" +
                         kPromptIntro +
                         "Quidor>Error, function not supported by connected Quidor.\n\nQuidor>");
}

TEST_F(Commander, UsbAddressChangesOnlyAfterAPlainY) {
    const Result r = interactive("usbaddr =2\nyes\nusbaddr = 2\nY\nusbaddr 1\n");
    const std::string warning =
        "!!! WARNING !!!\nChanging the USB address may require a new driver installation.\n"
        "see \"Quidor Tamsa User Guide.pdf\"\nEnter 'y' to proceed anyway: ";
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>" + warning + "No change.\n" + "Quidor>" + warning +
                       "USB address successfully changed to: 2\n\n"
                       "steps to complete the USB change:\n1.terminate this console\n2.unplug the box\n"
                       "3.reconnect the box again\n"
                       "4.install \"Quidor 2 driver\" (if LED is blinking fast)\n"
                       "5.start console and type USB: 2\n\n" +
                       "Quidor>" + warning + "Quidor>");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Commander, SerialNumberAndFirmwareCommands) {
    const Result r = interactive("SetSN\nSetSN 1234\nSetSN 99\nInvalidateFW\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>Syntax: SetSN <SN>\n"
                   "Quidor>Stamping serial Number 1234\n"
                   "Quidor>Stamping serial Number 99\n"
                   "\n\n****************** ERROR ******************\n"
                   "Could not write serial number\n"
                   "ERROR - S/N 1234 can not be overwritten by S/N 99\n"
                   "Quidor>"
                   "Quidor>");
    // The probe keeps the number: the next start shows it.
    const Result next = interactive("");
    EXPECT_NE(next.out.find("S/N: 1234 \n"), std::string::npos) << next.out;
}

TEST_F(Commander, UserAndSystemBufferCommands) {
    start({"--buffer-text", "Hi"});
    const Result r = interactive("ug\nur 0\nur x\nup\nuc\nSYS_GetCnt\nSYS_Read 0\nSYS_Clean\nSYS_Read 4\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_EQ(out, "Quidor>No User data available.\n"
                   "Quidor>"
                   "Quidor>Syntax: USER_read <NumItems> (dec)\n"
                   "Quidor>Data sampling in the user buffer stopped.\n"
                   "Quidor>User data buffer cleaned.\n"
                   "Quidor>No system data available\n"
                   "Quidor>"
                   "Quidor>System data buffer cleaned.\n"
                   "Quidor>4 Items requested, 0 items read\nNo system data available.\n"
                   "Quidor>");
}

TEST_F(Commander, UserBufferCollectsTheTargetsItems) {
    start({"--buffer-text", "Hi"});
    const Result r = interactive("pu\nus\nSYS_Start\nSleep 20\nur 3\nSYS_Read 3\nus\n");
    const std::string out = r.out.substr(interactiveHeader().size());
    EXPECT_NE(out.find("Quidor>Data sampling in the user buffer started.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Quidor>Data sampling in the system buffer started.\n"), std::string::npos) << out;
    // the buffers stream the text, one character per item
    EXPECT_NE(out.find("Quidor>0048 0069 0048 \n3 Items requested, 3 items read\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Quidor>3 Items requested, 3 items read\n0048 0069 0048 \n"), std::string::npos)
        << out;
}

// ---- through a pseudo-terminal

TEST(CommanderTerminal, PortQuestionTakesOneKeyAndEnterAsZero) {
    // Without QUIDOR_SERVER the start asks for a USB port; there is no USB
    // probe here, so the connection then fails.
    Terminal t({}, "");
    ASSERT_TRUE(t.waitFor("(0..3) : "));
    t.type("7");
    ASSERT_TRUE(t.waitFor("Expected a decimal number between 0..3...\n"));
    ASSERT_TRUE(t.waitFor("(0..3) : ", 2)); // asked again
    t.type("\r");
    const int status = t.finish();
    EXPECT_EQ(t.shown(), kBanner + "\nSelect the Quidor to connect to (0..3) : 7\n"
                                   "Expected a decimal number between 0..3...\n"
                                   "\nSelect the Quidor to connect to (0..3) : 0\n"
                                   "\n"
                                   "\n****** Error: Can not connect to Quidor via USB.\n");
    EXPECT_EQ(status, 2);
}

TEST(CommanderTerminal, UserDisplayShowsTextUntilEscape) {
    Simulator sim({"--buffer-text", "Hello "});
    ASSERT_FALSE(sim.server().empty());
    Terminal t({"--pu", "--ud", "TEXT"}, sim.server());
    ASSERT_TRUE(t.waitFor("Hello Hello "));
    t.type("x"); // other keys are ignored
    ASSERT_TRUE(t.waitFor("Hello Hello Hello Hello "));
    t.type("\x1b");
    EXPECT_EQ(t.finish(), 0);
    const std::string shown = t.shown();
    EXPECT_NE(shown.find("User Data Display (text mode): press ESC key to stop.\n"
                         "Starting data sampling in user buffer for continuous display.\nHello "),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("Stopped user data display mode. User data sampling still enabled.\n" + kAutoExit),
              std::string::npos)
        << shown;
    const std::size_t shownData = shown.find("Hello");
    EXPECT_EQ(shown.substr(shownData, shown.find("Stopped") - shownData).find('x'), std::string::npos)
        << "keys are read without echo";
}

TEST(CommanderTerminal, PromptEditsLinesAndKeepsAHistory) {
    Simulator sim;
    ASSERT_FALSE(sim.server().empty());
    Terminal t({}, sim.server());
    ASSERT_TRUE(t.waitFor("Quidor>"));
    t.type("Echo onf\x7f"
           "e\r"); // a typing error mended with backspace
    ASSERT_TRUE(t.waitFor("Quidor>", 2));
    t.type("\x1b[A\r"); // up: the line again
    ASSERT_TRUE(t.waitFor("[echo] one\n", 2));
    ASSERT_TRUE(t.waitFor("Quidor>", 3));
    t.type("q\r");
    EXPECT_EQ(t.finish(), 0);
}

TEST(CommanderTerminal, CtrlCDuringTheDisplayRestoresTheTerminal) {
    Simulator sim({"--buffer-text", "Hello "});
    ASSERT_FALSE(sim.server().empty());
    Terminal t({"--pu", "--ud", "text"}, sim.server());
    ASSERT_TRUE(t.waitFor("Hello Hello "));
    EXPECT_FALSE(t.lineModeWithEcho()) << "single keys without echo while the display runs";
    t.type("\x03");
    EXPECT_EQ(t.finish(), 128 + SIGINT);
    EXPECT_TRUE(t.lineModeWithEcho());
}

TEST_F(Commander, UserDisplayInHexModeEndsAtTheEndOfInput) {
    const Result r = commandLine({"--pu", "--ud"});
    EXPECT_NE(r.out.find("User Data Display (hex mode): press ESC key to stop.\n"
                         "Starting data sampling in user buffer for continuous display.\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Stopped user data display mode. User data sampling still enabled.\n"),
              std::string::npos);
    EXPECT_EQ(r.status, 0);
}

} // namespace

// C programs on the shared library against a quidorsim process, both as
// processes, the way users run them: each case starts the simulator, runs
// its programs against it over TCP/IP and compares their transcripts.
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using ferrox_test::Process;
using ferrox_test::serverOf;

struct ProgramRun {
    const char *program;
    std::vector<std::string> args;
    std::string transcript; // the whole output, unless parts are given
    int status;
    std::vector<std::string> parts = {}; // lines the output holds
};

struct Case {
    const char *name;
    std::vector<std::string> simArgs;
    std::vector<ProgramRun> runs;
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class CProgram : public ::testing::TestWithParam<Case> {};

TEST_P(CProgram, TranscriptAgainstQuidorsim) {
    const Case &c = GetParam();
    std::vector<std::string> args{"--listen", "127.0.0.1:0"};
    args.insert(args.end(), c.simArgs.begin(), c.simArgs.end());
    Process sim(QUIDORSIM, args);
    const std::string server = serverOf(sim.readLine());
    ASSERT_FALSE(server.empty());
    for (const ProgramRun &r : c.runs) {
        Process program(r.program, r.args, server);
        const std::string out = program.readAll();
        if (r.parts.empty()) {
            EXPECT_EQ(out, r.transcript);
        }
        for (const std::string &part : r.parts) {
            EXPECT_NE(out.find(part), std::string::npos) << out;
        }
        EXPECT_EQ(program.wait(), r.status);
    }
}

const Case kCases[] = {
    // The open over TCP/IP and the probe's answers; the probe keeps its
    // serial number, so a second program finds it and may not overwrite it.
    {"ProbeAndSerialNumber",
     {},
     {{LINK_C_PROBE,
       {"SetSN = 4711"},
       "firmware Quidor Rev 2.0 Tamsa compiled Feb 13 2015 14:08:22\n"
       "caps 0x00000076\n"
       "hwversion 22000\n"
       "sn -1\n"
       "exec 0 O.K.\n"
       "power 0\n",
       0},
      {LINK_C_PROBE,
       {"SetSN=5"},
       "",
       0,
       {"sn 4711\n", "exec 1 ERROR - S/N 4711 can not be overwritten by S/N 5\n"}}}},
    {"ForeignFirmwareFailsTheOpen",
     {"--firmware", "foreign"},
     {{LINK_C_PROBE, {}, "error Can not connect to Quidor via USB.\nopen failed\n", 1}}},
    {"TargetExecution",
     {},
     {{LINK_C_TARGET,
       {},
       "enter 0\n"
       "setreg 0\n"
       "setreg 0\n"
       "regs 10 pc 0x0100 r0 0x1234\n"
       "step 0\n"
       "pc 0x00000101\n"
       "halted -2\n"
       "go 0\n"
       "halted 0\n"
       "halt 0\n"
       "halted -2\n"
       "reset 0\n"
       "pc 0x00000000\n"
       "reg10 0xFFFFFFFF\n",
       0}}},
    {"TargetMemories",
     {},
     {{LINK_C_MEMORY,
       {},
       "enter 0\n"
       "setdata 600\n"
       "getdata 600 same 1\n"
       "progeeprom 300\n"
       "geteeprom 300 same 1\n"
       "progerom 130\n"
       "geterom 130 same 1\n"
       "progulp 3\n"
       "getulp 3 same 1\n"
       "wholeerom 32768\n"
       "calcsign 4\n"
       "signature matches 1\n"
       "protect 0\n"
       "isprotected 1\n"
       "error Target is protected.\n"
       "getdata -1\n"
       "protect -1\n"
       "unprotect 0\n"
       "isprotected 0\n"
       "versions 5\n"
       "protect 0\n"
       "erase 0\n"
       "isprotected 0\n"
       "erased 2 0xFFFF\n",
       0}}},
};

INSTANTIATE_TEST_SUITE_P(Link, CProgram, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &p) { return std::string(p.param.name); });

} // namespace

// A C program on the shared library drives the target of a quidorsim
// process over TCP/IP, both as processes, the way users run them.
#include "support/process.h"

#include <gtest/gtest.h>

namespace {

using ferrox_test::Process;
using ferrox_test::serverOf;

TEST(TargetProcess, CProgramDrivesTheSimulatedTargetOverTcp) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0"});
    const std::string server = serverOf(sim.readLine());
    ASSERT_FALSE(server.empty());
    Process program(LINK_C_TARGET, {}, server);
    const std::string out = program.readAll();
    EXPECT_EQ(program.wait(), 0);
    EXPECT_EQ(out, "enter 0\n"
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
                   "reg10 0xFFFFFFFF\n");
}

} // namespace

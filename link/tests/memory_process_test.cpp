// A C program on the shared library uses the memories of the target of a
// quidorsim process over TCP/IP, both as processes, the way users run them.
#include "support/process.h"

#include <gtest/gtest.h>

namespace {

using ferrox_test::Process;
using ferrox_test::serverOf;

TEST(MemoryProcess, CProgramUsesTheSimulatedTargetsMemoriesOverTcp) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0"});
    const std::string server = serverOf(sim.readLine());
    ASSERT_FALSE(server.empty());
    Process program(LINK_C_MEMORY, {}, server);
    const std::string out = program.readAll();
    EXPECT_EQ(program.wait(), 0);
    EXPECT_EQ(out, "enter 0\n"
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
                   "erased 2 0xFFFF\n");
}

} // namespace

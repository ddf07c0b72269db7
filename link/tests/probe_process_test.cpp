// A C program on the shared library against quidorsim, both as processes,
// the way users run them: the open over TCP/IP and the probe's answers.
#include "support/process.h"

#include <gtest/gtest.h>

namespace {

using ferrox_test::Process;
using ferrox_test::serverOf;

TEST(ProbeProcess, CProgramOpensTheSimulatorOverTcpAndProgramsTheSerialNumber) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0"});
    const std::string server = serverOf(sim.readLine());
    ASSERT_FALSE(server.empty());

    Process first(LINK_C_PROBE, {"SetSN = 4711"}, server);
    EXPECT_EQ(first.readAll(), "firmware Quidor Rev 2.0 Tamsa compiled Feb 13 2015 14:08:22\n"
                               "caps 0x00000076\n"
                               "hwversion 22000\n"
                               "sn -1\n"
                               "exec 0 O.K.\n"
                               "power 0\n");
    EXPECT_EQ(first.wait(), 0);

    // The probe keeps its number: a second program finds it and may not
    // overwrite it.
    Process second(LINK_C_PROBE, {"SetSN=5"}, server);
    const std::string out = second.readAll();
    EXPECT_NE(out.find("sn 4711\n"), std::string::npos) << out;
    EXPECT_NE(out.find("exec 1 ERROR - S/N 4711 can not be overwritten by S/N 5\n"), std::string::npos)
        << out;
    EXPECT_EQ(second.wait(), 0);
}

TEST(ProbeProcess, ForeignFirmwareFailsTheOpen) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0", "--firmware", "foreign"});
    const std::string server = serverOf(sim.readLine());
    ASSERT_FALSE(server.empty());
    Process program(LINK_C_PROBE, {}, server);
    EXPECT_EQ(program.readAll(), "error Can not connect to Quidor via USB.\nopen failed\n");
    EXPECT_EQ(program.wait(), 1);
}

} // namespace

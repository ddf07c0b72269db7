// The commander's core in-process: the host signature against the vectors
// the target's algorithm is pinned to, and the interpreter's state against
// the in-process simulator in virtual time.
#include "commander.h"
#include "signature.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(Signature, PinnedVectors) {
    struct Case {
        std::vector<U8> image;
        U32 signature;
    } cases[] = {
        {{0x01, 0x00}, 0x000100},
        {{0x01, 0x00, 0x00, 0x00}, 0x000080},
        {{0xFF, 0xFF}, 0xFFFF00},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0x800080},
        {std::vector<U8>(0x400, 0xFF), 0xC15575},
        {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 0x0A3DC8},
        {{0xFF, 0xFF, 0x77}, 0xFFFF00}, // a trailing odd byte is not used
        {{}, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SIG_Calculate(c.image.data(), static_cast<U32>(c.image.size())), c.signature)
            << c.image.size() << " bytes";
    }
}

TEST(Signature, StaysWithin24Bits) {
    std::vector<U8> image(4096);
    U32 seed = 7;
    for (U8 &b : image) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<U8>(seed >> 24);
    }
    for (U32 n = 0; n <= image.size(); n += 2) {
        ASSERT_LT(SIG_Calculate(image.data(), n), 1u << 24) << n;
    }
}

class Core : public ::testing::Test {
protected:
    void SetUp() override { CMD_ResetState(); }
    void TearDown() override {
        FERROX_CloseEx(0);
        CMD_ResetState();
    }
    void run(const char *sLine) {
        char line[256];
        std::strncpy(line, sLine, sizeof line - 1);
        line[sizeof line - 1] = '\0';
        ExecuteCommand(line);
    }

    plat::ScopedVirtualClock clock_;
    sim::Probe probe_{*clock_};
    sim::DeviceFront front_{probe_};
};

TEST_F(Core, ConnectClearsTheFillFlagsAndTheResetClearsEverything) {
    ASSERT_EQ(ConnectProbe(), 0);
    run("fillrange EROM, 0, 1FF");
    run("fillpattern ULP, 5");
    run("verify");
    run("powerup");
    EXPECT_EQ(FillSettings[MEM_TYPE_EROM].RangeSet, 1);
    EXPECT_EQ(FillSettings[MEM_TYPE_EROM].End, 0x1FFu);
    EXPECT_EQ(FillSettings[MEM_TYPE_ULP].PatternSet, 1);
    EXPECT_EQ(VerifyDownloads, 1);
    EXPECT_EQ(ExitPowerMode, 2);

    ASSERT_EQ(ConnectProbe(), 0); // a new connection forgets the fill settings only
    EXPECT_EQ(FillSettings[MEM_TYPE_EROM].RangeSet, 0);
    EXPECT_EQ(FillSettings[MEM_TYPE_ULP].PatternSet, 0);
    EXPECT_EQ(VerifyDownloads, 1);

    run("nonsense");
    EXPECT_EQ(ExitStatus, 13);
    CMD_ResetState();
    EXPECT_EQ(ExitStatus, 0);
    EXPECT_EQ(VerifyDownloads, 0);
    EXPECT_EQ(ExitPowerMode, 0);
    EXPECT_EQ(ScriptDepth, 0);
}

TEST_F(Core, ScriptTextRunsUpToItsQ) {
    char text[] = "/* set */ wDat 10,5A\n// skipped\nq\nwDat 11,5A\n";
    EXPECT_EQ(RunScriptText(text), CMD_QUIT);
    EXPECT_EQ(front_.withProbe([](sim::Probe &p) { return p.target().dataMemory()[0x10]; }), 0x5A);
    EXPECT_EQ(front_.withProbe([](sim::Probe &p) { return p.target().dataMemory()[0x11]; }), 0x00);
}

TEST(Keyword, MatchesOnlyBeforeASpaceOrTheEnd) {
    struct Case {
        const char *keyword;
        const char *line;
        bool match;
    } cases[] = {
        {"usb", "usb 1", true},    {"usb", "usbaddr 1", false},
        {"r", "regs", false},      {"regs", "REGS", true},
        {"regs", "regs\t", false}, {"s", "sig", false},
        {"sig", "Sig 3", true},    {"?", "?", true},
    };
    for (const Case &c : cases) {
        char line[64];
        std::strcpy(line, c.line);
        char *cursor = line;
        EXPECT_EQ(MatchKeyword(c.keyword, &cursor) != 0, c.match) << c.keyword << " / " << c.line;
        EXPECT_EQ(cursor, c.match ? line + std::strlen(c.keyword) : line);
    }
}

} // namespace

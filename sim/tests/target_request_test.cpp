// Target requests (probe command 0xCD) fed as raw bytes; answers checked word
// by word, trailer included.
#include "wire.h"

#include "sim/checksums.h"
#include "sim/protocol.h"

#include <gtest/gtest.h>

namespace {

using simtest::Answer;
using simtest::Bytes;
using simtest::Harness;
using simtest::Request;
using W = std::vector<std::uint16_t>;

constexpr std::uint16_t kEntry = sim::Target::kEntryWord;

class TargetRequest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(h.enterMonitor().status, 0); }
    Answer devStat() { return h.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1)); }
    Answer run(std::uint16_t code, const W &params, std::uint16_t answerWords) {
        Request r;
        r.command(code);
        if (!params.empty()) {
            r.data(params);
        }
        return h.target(r.answer(answerWords));
    }
    Harness h;
};

TEST(TargetEntry, PowerUpEntrySuppliesTheTargetAndBootsIntoTheMonitor) {
    Harness h;
    const Bytes before = h.exchange({0x07});
    EXPECT_EQ(before, (Bytes{0, 0, 0, 0, 0, 1, 1, 0})); // 0 mV, SDA 0, SCL 0, not supplied
    EXPECT_EQ(h.exchange({0xF1, 0x02}), Bytes{0});
    const Bytes answer = h.exchange(Request().entry(1).data({kEntry}).answer(2).bytes());
    // Entry acknowledge, boot-monitor status, PC at the reset vector, trailer 0.
    EXPECT_EQ(answer, (Bytes{0, 0, 3, 0, 0, 0, 0, 0}));
    EXPECT_EQ(h.exchange({0x07}), (Bytes{0xE4, 0x0C, 1, 1, 0, 1, 1, 1})); // 3300 mV, supplied
    const Answer st = h.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1));
    EXPECT_EQ(st.words, W{0xD003}); // valid bits, monitor, mode INIT
}

TEST(TargetEntry, BreakInEntryAndResetEntryAnswerAsTheHostExpects) {
    Harness h;
    h.powerOn(); // boots and runs its code
    h.sleep(5);
    Answer a = h.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1));
    EXPECT_EQ(a.words, W{0xC003}); // running: monitor bit clear
    a = h.target(Request().entry(8).data({kEntry}).answer(2));
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(a.words.size(), 3u);
    EXPECT_EQ(a.words[1], TAMSA_STATUS_CODE_STOP);
    EXPECT_GT(a.words[2], 5); // stopped where it ran to
    a = h.target(Request().resetEntry().data({kEntry}).answer(3));
    EXPECT_EQ(a.words, (W{0, TAMSA_STATUS_CODE_OK, TAMSA_STATUS_CODE_BOOT_MONITOR, sim::Target::kBootPc}));
    EXPECT_EQ(a.status, 0);
    // A wrong entry word is not answered: the entry item's own word, then
    // the words asked for, sent as 0.
    a = h.target(Request().entry(8).data({0x1234}).answer(2));
    EXPECT_EQ(a.words, (W{0, 0, 0}));
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.detail, 0);
}

TEST(TargetEntry, AbsentOrUnpoweredTargetsDoNotAnswer) {
    sim::ProbeOptions absent;
    absent.targetPresent = false;
    Harness h(absent);
    const Answer a = h.enterMonitor();
    EXPECT_EQ(a.words, (W{0, 0, 0})); // the words asked for, none from the target
    EXPECT_EQ(a.status, 1);
    const Bytes hw = h.exchange({0x07});
    EXPECT_EQ(simtest::le16(hw, 0), 3300); // the supply is on, nothing answers on the lines
    EXPECT_EQ(hw[2], 0);
    EXPECT_EQ(hw[3], 0);

    Harness off;
    const Answer b = off.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1));
    EXPECT_EQ(b.words, W{0});
    EXPECT_EQ(b.status, 1);
}

TEST_F(TargetRequest, DataReadMatchesTheDocumentedExchange) {
    ASSERT_EQ(run(C_SET_DATA, {0x0100, 4, 0x2211, 0x4433}, 1).words, W{0});
    const Bytes request{0xCD, 0x0A, 0x00, 0x00, 0x01, 0x01, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00,
                        0x00, 0x02, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00, 0x05, 0x03, 0x00};
    EXPECT_EQ(h.exchange(request), (Bytes{0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00}));
}

TEST_F(TargetRequest, AllFourMemoriesProgramAndReadBack) {
    // DATA, odd byte count: the last word is padded with 0.
    EXPECT_EQ(run(C_SET_DATA, {0x0010, 3, 0xBBAA, 0x00CC}, 1).words, W{0});
    EXPECT_EQ(run(C_GET_DATA, {0x0010, 3}, 3).words, (W{0, 0xBBAA, 0x00CC}));
    // EEPROM: bytes within one page, then data plus the brown-out word.
    EXPECT_EQ(run(C_PROG_EE_BYTES, {0x0040, 2, 0x5AA5}, 1).words, W{0});
    EXPECT_EQ(run(C_GET_EE_BYTES, {0x003F, 3}, 4).words, (W{0, 0xA5FF, 0x005A, 0}));
    // EROM: a page at word 0x20, a single word, a read of both.
    W page{0x0020};
    for (std::uint16_t i = 0; i < 32; ++i) {
        page.push_back(static_cast<std::uint16_t>(0x1000 + i));
    }
    EXPECT_EQ(run(C_PROG_PF_PAGE, page, 1).words, W{0});
    EXPECT_EQ(run(C_PROG_PF_WORD, {0x0021, 0xCAFE}, 1).words, W{0});
    EXPECT_EQ(run(C_GET_PF_WORDS, {0x001F, 3}, 5).words, (W{0, 0xFFFF, 0x1000, 0xCAFE, 0}));
    // ULP: a page, then bytes 0 and 3 of it (value sent high half first).
    EXPECT_EQ(run(C_PROG_ULP_PAGE, {0x0010, 0x5678, 0x1234}, 1).words, W{0});
    EXPECT_EQ(run(C_PROG_ULP_BYTES, {0x0010, 0x9, 0xAABB, 0xCCDD}, 1).words, W{0});
    EXPECT_EQ(run(C_GET_ULP_PAGES, {0x000F, 2}, 5).words, (W{0, 0, 0, 0x56DD, 0xAA34}));
    EXPECT_EQ(h.tgt().ulp()[0x10], 0xAA3456DDu);
}

TEST_F(TargetRequest, PageRulesAndBitLevelCommands) {
    // EEPROM programming may not cross a 64-byte page; pages must be aligned.
    EXPECT_EQ(run(C_PROG_EE_BYTES, {0x003E, 4, 0x2211, 0x4433}, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
    W unaligned(33, 0);
    unaligned[0] = 0x0021;
    EXPECT_EQ(run(C_PROG_PF_PAGE, unaligned, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
    // Copy page 0 (erased) over page 2 after marking it.
    EXPECT_EQ(run(C_PROG_PF_WORD, {0x0040, 0x0000}, 1).words, W{0});
    EXPECT_EQ(run(C_COPY_PAGE, {0, 2}, 1).words, W{0});
    EXPECT_EQ(h.tgt().erom()[0x40], 0xFFFF);
    // PF bits: offset 3, 10 bits, one data word; only bits 3..12 change.
    h.tgt().erom()[0x100] = 0x0000;
    const std::uint16_t control = 3 << 12 | 10;
    EXPECT_EQ(run(C_PROG_PF_BITS, {0x0100, control, 0xFFFF}, 1).words, W{0});
    EXPECT_EQ(h.tgt().erom()[0x100], 0x1FF8);
    // Offset 8, 10 bits: two data words.
    h.tgt().erom()[0x200] = 0;
    h.tgt().erom()[0x201] = 0;
    EXPECT_EQ(run(C_PROG_PF_BITS, {0x0200, 8 << 12 | 10, 0xFFFF, 0xFFFF}, 1).words, W{0});
    EXPECT_EQ(h.tgt().erom()[0x200], 0xFF00);
    EXPECT_EQ(h.tgt().erom()[0x201], 0x0003);
    // Bit field: width 4 at position 8 of the DATA word at 0x20.
    EXPECT_EQ(run(C_SET_BIT_FIELD, {0x0020, 4 << 4 | 8, 0x000F}, 1).words, W{0});
    EXPECT_EQ(h.tgt().dataMemory()[0x21], 0x0F);
    EXPECT_EQ(run(C_SET_BIT_FIELD, {0x0020, 0 << 4 | 8, 1}, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
}

TEST_F(TargetRequest, ProbeChecksAddressesItself) {
    struct Case {
        std::uint16_t code;
        W params;
        std::uint8_t status;
    };
    const Case cases[] = {
        {C_GET_DATA, {0x1FFE, 4}, 15},       {C_SET_DATA, {0x2000, 2, 0}, 15},
        {C_GET_EE_BYTES, {0x0FFF, 2}, 11},   {C_PROG_EE_BYTES, {0x1000, 1, 0}, 11},
        {C_GET_PF_WORDS, {0x3FFF, 2}, 10},   {C_PROG_PF_WORD, {0x4000, 0}, 10},
        {C_COPY_PAGE, {0x0000, 0x0200}, 10}, {C_PROG_PF_BITS, {0x3FFF, 0 << 12 | 32, 0, 0}, 10},
    };
    for (const Case &c : cases) {
        const Answer a = run(c.code, c.params, 1);
        EXPECT_EQ(a.words, W{0}) << c.code; // the answer still has the length asked for
        EXPECT_EQ(a.status, c.status) << c.code;
        EXPECT_EQ(a.detail, 0) << c.code;
    }
    // The target is still in step afterwards.
    EXPECT_EQ(devStat().words, W{0xD003});
}

TEST_F(TargetRequest, StatusInPlaceOfDataSetsTheDetailByte) {
    const Answer sign = run(C_CALC_SIGN, {9}, 3);
    EXPECT_EQ(sign.words, (W{TAMSA_STATUS_CODE_PARAMETER, 0, 0}));
    EXPECT_EQ(sign.status, 1);
    EXPECT_EQ(sign.detail, 1);
    // Asking for more than the target sends is a plain timeout.
    const Answer more = run(C_SET_REGS, {2, 7}, 2);
    EXPECT_EQ(more.words, (W{0, 0}));
    EXPECT_EQ(more.status, 1);
    EXPECT_EQ(more.detail, 0);
}

TEST_F(TargetRequest, RegistersTraceAndStop) {
    EXPECT_EQ(run(C_SET_REGS, {3, 0xBEEF}, 1).words, W{0});
    EXPECT_EQ(run(C_SET_REGS, {0, 0x0100}, 1).words, W{0});
    EXPECT_EQ(run(C_SET_REGS, {10, 1}, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
    const Answer regs = run(C_GET_REGS, {}, 12);
    EXPECT_EQ(regs.words, (W{0, 10, 0x0100, 0, 0, 0xBEEF, 0, 0, 0, 0, 0, 0x2000}));
    EXPECT_EQ(run(C_TRACE, {}, 3).words, (W{0, TAMSA_STATUS_CODE_HWBP_HIT, 0x0101}));
    EXPECT_EQ(run(C_STOP, {}, 2).words, (W{TAMSA_STATUS_CODE_STOP, 0x0101}));
}

TEST_F(TargetRequest, RunsToABreakpointAndLeavesTheHaltNotification) {
    struct Case {
        std::uint16_t control;
        std::uint16_t haltStatus;
    };
    for (const Case c : {Case{0x40, TAMSA_STATUS_CODE_HWBP_HIT}, Case{0x82, TAMSA_STATUS_CODE_SWBP_HIT}}) {
        ASSERT_EQ(run(C_SET_BP, {c.control, 0x0040}, 1).words, W{0});
        ASSERT_EQ(run(C_SET_REGS, {0, 0x0010}, 1).words, W{0});
        ASSERT_EQ(run(C_RUN, {}, 1).words, W{0});
        // Nothing to collect yet; the device status says running.
        Answer a = h.target(Request().answer(2));
        EXPECT_EQ(a.words, (W{0, 0}));
        EXPECT_EQ(a.status, 1);
        EXPECT_EQ(devStat().words, W{0xC003});
        EXPECT_EQ(run(C_GET_REGS, {}, 1).words, W{TAMSA_STATUS_CODE_CMD_ERROR}); // not while running
        h.sleep(100); // far past the breakpoint 0x30 words ahead
        a = h.target(Request().answer(2));
        EXPECT_EQ(a.words, (W{c.haltStatus, 0x0040}));
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(devStat().words, W{0xD003});
        ASSERT_EQ(run(C_SET_BP, {static_cast<std::uint16_t>(c.control & 0x0F), 0}, 1).words,
                  W{0}); // flags 0 remove
    }
    for (const auto &bp : h.tgt().breakpoints()) {
        EXPECT_EQ(bp.flags, 0);
    }
    EXPECT_EQ(run(C_SET_BP, {0x44, 0}, 1).words, W{TAMSA_STATUS_CODE_PARAMETER}); // number 4 does not exist
}

TEST_F(TargetRequest, ProtectionUnprotectAndErase) {
    h.tgt().eeprom()[5] = 0x12;
    h.tgt().erom()[7] = 0x3456;
    h.tgt().dataMemory()[9] = 0x78;
    EXPECT_EQ(run(C_PROTECT, {}, 1).words, W{0});
    EXPECT_EQ(devStat().words, W{0xD004});
    const Answer refused = run(C_GET_EE_BYTES, {0, 2}, 3);
    EXPECT_EQ(refused.words, (W{TAMSA_STATUS_CODE_CMD_ERROR, 0, 0}));
    EXPECT_EQ(refused.detail, 1);
    // The key travels last group of four digits first.
    const auto key = sim::keyWords("00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(key[0], 0xEEFF);
    EXPECT_EQ(key[7], 0x0011);
    EXPECT_EQ(sim::keyWords("00112233445566778899aabbccddeeff"), key);
    W wrong(key.begin(), key.end());
    wrong[3] ^= 1;
    EXPECT_EQ(run(C_UNPROTECT, wrong, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
    EXPECT_EQ(run(C_UNPROTECT, W(key.begin(), key.end()), 1).words, W{0});
    EXPECT_EQ(devStat().words, W{0xD003});
    EXPECT_EQ(h.tgt().eeprom()[5], 0x12);

    ASSERT_EQ(run(C_PROTECT, {}, 1).words, W{0});
    const std::array<std::uint16_t, 8> code = sim::kEraseAccessCode;
    W badCode(code.begin(), code.end());
    badCode[7] = 0;
    EXPECT_EQ(run(C_ERASE, badCode, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
    EXPECT_EQ(run(C_ERASE, W(code.begin(), code.end()), 1).words, W{0});
    EXPECT_EQ(devStat().words, W{0xD003});
    EXPECT_EQ(h.tgt().eeprom()[5], 0xFF);
    EXPECT_EQ(h.tgt().erom()[7], 0xFFFF);
    EXPECT_EQ(h.tgt().dataMemory()[9], 0x78); // DATA is not erased
}

TEST_F(TargetRequest, SignaturesMatchTheHostAlgorithmAlsoWhenProtected) {
    for (std::size_t i = 0; i < h.tgt().erom().size(); ++i) {
        h.tgt().erom()[i] = static_cast<std::uint16_t>(i * 31);
    }
    h.tgt().eeprom()[100] = 0x42;
    h.tgt().ulp()[3] = 0x11223344;
    const auto bytesOf = [](const auto &mem, std::size_t first, std::size_t count) {
        using T = std::decay_t<decltype(mem[0])>;
        std::vector<std::uint8_t> out;
        for (std::size_t i = first; i < first + count; ++i) {
            for (std::size_t b = 0; b < sizeof(T); ++b) {
                out.push_back(static_cast<std::uint8_t>(mem[i] >> (8 * b)));
            }
        }
        return out;
    };
    const auto &erom = h.tgt().erom();
    const std::uint32_t expected[] = {
        sim::imageSignature(bytesOf(erom, 0, erom.size()).data(), erom.size() * 2),
        sim::imageSignature(h.tgt().eeprom().data(), h.tgt().eeprom().size()),
        sim::imageSignature(bytesOf(h.tgt().ulp(), 0, 256).data(), 1024),
        sim::imageSignature(h.tgt().dataMemory().data(), h.tgt().dataMemory().size()),
        sim::imageSignature(bytesOf(erom, 4096, 4096).data(), 8192),
    };
    ASSERT_EQ(run(C_PROTECT, {}, 1).words, W{0});
    const std::uint16_t instances[] = {0, 1, 2, 3, 5};
    for (std::size_t i = 0; i < 5; ++i) {
        const Answer a = run(C_CALC_SIGN, {instances[i]}, 3);
        ASSERT_EQ(a.status, 0);
        EXPECT_EQ(a.words, (W{0, static_cast<std::uint16_t>(expected[i] >> 16),
                              static_cast<std::uint16_t>(expected[i] & 0xFFFF)}))
            << instances[i];
        EXPECT_LT(expected[i], 1u << 24);
    }
    EXPECT_NE(expected[0], expected[4]);
}

TEST_F(TargetRequest, VersionItemsAreCollectedOneRequestEach) {
    const Answer count = run(C_GET_VERSION, {}, 1);
    ASSERT_EQ(count.words, W{5});
    const auto &items = sim::Target::versionItems();
    for (std::uint32_t item : items) {
        const Answer a = h.target(Request().answer(2));
        EXPECT_EQ(a.words,
                  (W{static_cast<std::uint16_t>(item & 0xFFFF), static_cast<std::uint16_t>(item >> 16)}));
        EXPECT_EQ(a.status, 0);
    }
    EXPECT_EQ(h.target(Request().answer(2)).status, 1); // no sixth item
    EXPECT_EQ(items[3] & 0xFFFF, 0x1000u);
}

TEST_F(TargetRequest, InjectedProgrammingFailuresAndBrownOuts) {
    h.tgt().injectProgramFailures(2);
    EXPECT_EQ(run(C_PROG_EE_BYTES, {0, 1, 0x11}, 1).words, W{TAMSA_STATUS_CODE_NV_ERROR});
    EXPECT_EQ(run(C_PROG_ULP_PAGE, {0, 1, 2}, 1).words, W{TAMSA_STATUS_CODE_NV_ERROR});
    EXPECT_EQ(run(C_PROG_EE_BYTES, {0, 1, 0x11}, 1).words, W{0});
    EXPECT_EQ(h.tgt().ulp()[0], 0u);
    h.tgt().injectBrownOuts(1);
    EXPECT_NE(run(C_GET_EE_BYTES, {0, 2}, 3).words.back(), 0);
    EXPECT_EQ(run(C_GET_EE_BYTES, {0, 2}, 3).words.back(), 0);
}

TEST_F(TargetRequest, IoTestAbortAndStaleAnswers) {
    const std::array<std::uint16_t, 8> code = sim::kIoTestAccessCode;
    EXPECT_EQ(run(C_IO_TEST, W(code.begin(), code.end()), 1).words, W{0});
    EXPECT_TRUE(h.tgt().ioTestMode());
    EXPECT_EQ(h.target(Request().data({sim::kIoTestExitCode}).answer(1)).words, W{0});
    EXPECT_FALSE(h.tgt().ioTestMode());
    EXPECT_EQ(h.target(Request().data({sim::kIoTestExitCode}).answer(1)).words, W{0}); // also when not in it
    W wrongCode(code.begin(), code.end());
    wrongCode[0] ^= 0x8000;
    EXPECT_EQ(run(C_IO_TEST, wrongCode, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
    EXPECT_FALSE(h.tgt().ioTestMode());
    // Abort answers only when it cut a command short.
    const Answer idle = run(C_ABORT, {}, 1);
    EXPECT_EQ(idle.words, W{0});
    EXPECT_EQ(idle.status, 1);
    h.target(Request().command(C_SET_DATA).data({0x0000}));
    EXPECT_EQ(run(C_ABORT, {}, 1).words, W{TAMSA_STATUS_CODE_ABORT});
    // Answers nobody collected are gone when the next command comes.
    h.target(Request().command(C_GET_REGS));
    EXPECT_EQ(devStat().words, W{0xD003});
    // Baud rates 0 and 1 only.
    EXPECT_EQ(run(C_SET_BAUD_RATE + 1, {}, 1).words, W{0});
    EXPECT_EQ(h.tgt().linkSpeed(), 1);
    EXPECT_EQ(run(C_SET_BAUD_RATE + 2, {}, 1).words, W{TAMSA_STATUS_CODE_PARAMETER});
    EXPECT_EQ(run(0x0015, {}, 1).words, W{TAMSA_STATUS_CODE_CMD_ERROR});
}

TEST_F(TargetRequest, MalformedItemsAreRefusedByTheProbe) {
    const Bytes cases[] = {
        Request().word(0x0300).word(0).bytes(),                      // unknown item type
        Request().word(0x0501).word(1).bytes(),                      // type word with a low byte
        Bytes{0xCD, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0x01, 0x00}, // data item longer than the request
        Request().entry(3).data({kEntry}).answer(2).bytes(),         // entry parameter other than 1 or 8
        Request().word(0x0100).word(0x0002).word(C_RUN).word(1).bytes(),
        Bytes{0xCD, 0x02, 0x01}, // 258 words announced, none sent yet
    };
    for (const Bytes &c : cases) {
        Bytes request = c;
        if (request.size() == 3) {
            request.resize(3 + 2 * 258, 0);
        }
        const Answer a = simtest::parseAnswer(h.exchange(request));
        EXPECT_TRUE(a.wellFormed);
        EXPECT_EQ(a.status, sim::kProbeUnsupported);
    }
    EXPECT_EQ(devStat().words, W{0xD003});
}

TEST(TargetPower, PowerOffStateAndSupplyLoss) {
    Harness h;
    ASSERT_EQ(h.enterMonitor().status, 0);
    h.tgt().enterPowerOffState();
    Bytes hw = h.exchange({0x07});
    EXPECT_GT(simtest::le16(hw, 0), 1800);
    EXPECT_EQ(hw[2], 1); // SDA
    EXPECT_EQ(hw[3], 0); // SCL
    EXPECT_EQ(h.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1)).status, 1);
    const Answer woke = h.target(Request().entry(8).data({kEntry}).answer(2));
    EXPECT_EQ(woke.words, (W{0, TAMSA_STATUS_CODE_STOP, 0}));

    // With the target interface switched off nothing reaches the target.
    EXPECT_EQ(h.exchange({0xF3, 0x00}), Bytes{0});
    EXPECT_EQ(h.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1)).status, 1);
    EXPECT_EQ(h.exchange({0xF3, 0x01}), Bytes{0});
    EXPECT_EQ(h.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1)).words, W{0xD003});

    // Switched off: the supply falls below 800 mV within a few 10 ms polls.
    EXPECT_EQ(h.exchange({0xF2, 0x00}), Bytes{0});
    int polls = 0;
    while (simtest::le16(h.exchange({0x07}), 0) > 800 && polls < 200) {
        h.sleep(10);
        ++polls;
    }
    EXPECT_GE(polls, 2);
    EXPECT_LE(polls, 5);
    hw = h.exchange({0x07});
    EXPECT_EQ(hw[7], 0); // TargetPowerOn
    EXPECT_EQ(h.target(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1)).status, 1);
}

} // namespace

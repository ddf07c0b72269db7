// The memory, protection, erase, signature and version operations at wire
// level against the scripted probe: chunking, request layouts, merges of odd
// EROM bytes, answer judging, refusals that send nothing, and the answer
// time limits of the long operations.
#include "FerroxConst.h"
#include "api.h"
#include "capture.h"
#include "cpu_state.h"
#include "main_log.h"
#include "probe_script.h"
#include "scripted_probe.h"
#include "target.h"
#include "target_wire.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

using namespace ferrox_test;

namespace {

// Byte data as the words that carry it, first byte low.
Words packed(const std::uint8_t *p, std::size_t n) {
    Words w;
    for (std::size_t i = 0; i < n; i += 2) {
        w.push_back(static_cast<std::uint16_t>(p[i] | (i + 1 < n ? p[i + 1] : 0) << 8));
    }
    return w;
}

Bytes timeout(std::uint32_t v) {
    return {0xF4, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

constexpr std::uint16_t kIoTestCode[8] = TAMSA_IO_TEST_ACCESS_CODE;
constexpr std::uint16_t kEraseCode[8] = TAMSA_ERASE_ACCESS_CODE;
constexpr std::uint16_t kHaltedProtected = 0xD004;

class MemoryWire : public OpenedWire {
protected:
    void SetUp() override {
        OpenedWire::SetUp();
        CPU_SetMonitorEntered(1);
        CPU_SetMonitorEntryFailed(0);
    }
    // One entry pass that finds the target halted in the monitor.
    void scriptEntry(std::uint16_t devStat = kHaltedInit) {
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        probe_.expect({0x07}, hw(3300, 0, 1, 1));
        probe_.expect(kDevStatReq, answer({devStat}));
    }
    void clearErrors() {
        MAIN_SetErrorReported(0);
        MAIN_SetLastErrorCode(0);
        captured().errors.clear();
    }
    std::vector<std::string> errors(const char *message) const {
        return message != nullptr ? std::vector<std::string>{message} : std::vector<std::string>{};
    }
};

TEST_F(MemoryWire, GetDataSendsTheTwentyThreeByteRequestAndAsksForEightBytes) {
    scriptHalted();
    const Bytes request = {0xCD, 0x0A, 0x00, 0x00, 0x01, 0x01, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00,
                           0x00, 0x02, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00, 0x05, 0x03, 0x00};
    probe_.expect(request, answer({0, 0x2211, 0x4433}));
    U8 buf[4] = {};
    EXPECT_EQ(FERROX_CPU_GetData(0x0100, 4, buf), 4);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(writes().back(), request);
    EXPECT_EQ(probe_.readSizes().back(), 8u);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), 0);
}

TEST_F(MemoryWire, ReadsGoInChunksOf256Bytes) {
    std::vector<std::uint8_t> image(600);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    scriptHalted();
    for (const auto &[offset, k] : {std::pair<std::uint16_t, std::uint16_t>{0, 256}, {256, 256}, {512, 88}}) {
        Words words{0};
        const Words body = packed(image.data() + offset, k);
        words.insert(words.end(), body.begin(), body.end());
        probe_.expect(
            req({cmd(C_GET_DATA), data({static_cast<std::uint16_t>(0x0100 + offset), k}), ans(k / 2 + 1)}),
            answer(words));
    }
    std::vector<std::uint8_t> buf(600);
    EXPECT_EQ(FERROX_CPU_GetData(0x0100, 600, buf.data()), 600);
    EXPECT_EQ(buf, image);
    EXPECT_EQ(writes().size(), 4u + 3u);
}

TEST_F(MemoryWire, GetEromAsksForWholeWordsAndReturnsTheBytesAskedFor) {
    scriptHalted();
    probe_.expect(req({cmd(C_GET_PF_WORDS), data({0x0040, 2}), ans(4)}), answer({0, 0x2211, 0x4433, 0}));
    U8 buf[4] = {0, 0, 0, 0xEE};
    EXPECT_EQ(FERROX_CPU_GetEROM(0x80, 3, buf), 3);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x11, 0x22, 0x33, 0xEE}));
    // From an odd address the first byte is the high byte of the word below.
    scriptHalted();
    probe_.expect(req({cmd(C_GET_PF_WORDS), data({0x0020, 1}), ans(3)}), answer({0, 0xAB12, 0}));
    probe_.expect(req({cmd(C_GET_PF_WORDS), data({0x0021, 1}), ans(3)}), answer({0, 0x2211, 0}));
    EXPECT_EQ(FERROX_CPU_GetEROM(0x41, 3, buf), 3);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0xAB, 0x11, 0x22, 0xEE}));
    // EEPROM counts bytes and also carries the brown-out word.
    scriptHalted();
    probe_.expect(req({cmd(C_GET_EE_BYTES), data({0x0010, 3}), ans(4)}), answer({0, 0x2211, 0x0033, 0}));
    EXPECT_EQ(FERROX_CPU_GetEEPROM(0x10, 3, buf), 3);
}

TEST_F(MemoryWire, ReadAnswersAreJudged) {
    struct Case {
        const char *what;
        Bytes second; // answer to the second chunk; the first succeeds
        int result;
        int lastResponse;
        const char *message;
    };
    const Case cases[] = {
        {"brown-out", answer({0, 0x0101, 0x0101, 1}), -1, 1, "Brown out occurred."},
        {"target status", answer({6, 0, 0, 0}), -1, 6, "Target sent unexpected data."},
        {"timeout", answer({}, 0x0001), 256, TAMSA_STATUS_CODE_INVALID,
         "Rx/Tx timeout during communication to target."},
        {"refused", answer({4}, 0x0101), -1, 4, nullptr},
        {"bad parameter", answer({6}, 0x0101), -1, 6, "Invalid parameter sent to target CPU."},
        {"odd word", answer({9}, 0x0101), -1, 9, "Target sent unexpected data."},
        {"zero word", answer({0}, 0x0101), -1, 0, "Rx/Tx timeout during communication to target."},
        {"other detail", answer({5}, 0x0201), 256, 5, "Rx/Tx timeout during communication to target."},
        {"address", answer({0, 0, 0, 0}, 0x000B), -1, TAMSA_STATUS_CODE_INVALID,
         "Address parameter invalid on EEPROM read or write."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearErrors();
        scriptHalted();
        Words first{0};
        first.insert(first.end(), 128, 0xA5A5);
        first.push_back(0);
        probe_.expect(req({cmd(C_GET_EE_BYTES), data({0, 256}), ans(130)}), answer(first));
        probe_.expect(req({cmd(C_GET_EE_BYTES), data({256, 4}), ans(4)}), c.second);
        std::vector<std::uint8_t> buf(260, 0);
        EXPECT_EQ(FERROX_CPU_GetEEPROM(0, 260, buf.data()), c.result);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(captured().errors, errors(c.message));
        // The first chunk's bytes stay in the buffer whatever came after.
        EXPECT_EQ(buf[0], 0xA5);
        EXPECT_EQ(buf[255], 0xA5);
    }
}

TEST_F(MemoryWire, SetDataChunksAndStopsAtTheFirstRefusal) {
    std::vector<std::uint8_t> image(300);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i);
    }
    scriptHalted();
    probe_.expect(req({cmd(C_SET_DATA), data({0x0200, 256}), data(packed(image.data(), 256)), ans(1)}),
                  answer({0}));
    probe_.expect(req({cmd(C_SET_DATA), data({0x0300, 44}), data(packed(image.data() + 256, 44)), ans(1)}),
                  answer({0}));
    EXPECT_EQ(FERROX_CPU_SetData(0x0200, 300, image.data()), 300);
    scriptHalted();
    probe_.expect(req({cmd(C_SET_DATA), data({0x0200, 256}), data(packed(image.data(), 256)), ans(1)}),
                  answer({4}));
    EXPECT_EQ(FERROX_CPU_SetData(0x0200, 300, image.data()), -1);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), 4);
}

TEST_F(MemoryWire, ProgEepromNeverCrossesAPageBoundary) {
    const U8 bytes[4] = {1, 2, 3, 4};
    scriptHalted();
    probe_.expect(req({cmd(C_PROG_EE_BYTES), data({0x3E, 2}), data({0x0201}), ans(1)}), answer({0}));
    probe_.expect(req({cmd(C_PROG_EE_BYTES), data({0x40, 2}), data({0x0403}), ans(1)}), answer({0}));
    EXPECT_EQ(FERROX_CPU_ProgEEPROM(0x3E, 4, bytes), 4);
    // A whole page at an unaligned address goes as two pieces.
    std::vector<std::uint8_t> page(64, 0x5A);
    scriptHalted();
    probe_.expect(req({cmd(C_PROG_EE_BYTES), data({0x50, 48}), data(packed(page.data(), 48)), ans(1)}),
                  answer({0}));
    probe_.expect(req({cmd(C_PROG_EE_BYTES), data({0x80, 16}), data(packed(page.data(), 16)), ans(1)}),
                  answer({0}));
    EXPECT_EQ(FERROX_CPU_ProgEEPROM(0x50, 64, page.data()), 64);
}

TEST_F(MemoryWire, ProgrammingAnswersOfEepromAndUlp) {
    struct Case {
        Bytes reply;
        int lastResponse;
        const char *message;
    };
    const Case cases[] = {
        {answer({7}), 7, "Programming failed."},
        {answer({6}), 6, "Invalid parameter sent to target CPU."},
        {answer({4}), 4, "Unsupported command sent to Quidor."},
        {answer({3}), 3, "Target sent unexpected data."},
        {answer({}, 0x000B), TAMSA_STATUS_CODE_INVALID, "Address parameter invalid on EEPROM read or write."},
    };
    const U8 byte = 0x42;
    const U32 page = 0x12345678;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        clearErrors();
        scriptHalted();
        probe_.expect(req({cmd(C_PROG_EE_BYTES), data({0x10, 1}), data({0x0042}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_ProgEEPROM(0x10, 1, &byte), -1);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(captured().errors, errors(c.message));
        clearErrors();
        scriptHalted();
        probe_.expect(req({cmd(C_PROG_ULP_PAGE), data({0x20, 0x5678, 0x1234}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_ProgULP(0x20, 1, &page), -1);
        EXPECT_EQ(captured().errors, errors(c.message));
    }
}

TEST_F(MemoryWire, ProgEromMergesOddEndsAndProgramsWholePages) {
    std::vector<std::uint8_t> d(130);
    for (std::size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<std::uint8_t>(0x80 + i);
    }
    const auto word = [](std::uint16_t byteAddr, std::uint16_t value) {
        return req({cmd(C_PROG_PF_WORD), data({static_cast<std::uint16_t>(byteAddr / 2), value}), ans(1)});
    };
    scriptHalted();
    // Head: the byte at 0x41 joins the low byte already at 0x40.
    probe_.expect(req({cmd(C_GET_PF_WORDS), data({0x20, 1}), ans(3)}), answer({0, 0xAB12, 0}));
    probe_.expect(word(0x40, static_cast<std::uint16_t>(d[0] << 8 | 0x12)), answer({0}));
    for (std::uint16_t i = 1; i < 63; i += 2) {
        probe_.expect(
            word(static_cast<std::uint16_t>(0x41 + i), static_cast<std::uint16_t>(d[i + 1] << 8 | d[i])),
            answer({0}));
    }
    Words pageItem{0x40};
    const Words pageWords = packed(d.data() + 63, 64);
    pageItem.insert(pageItem.end(), pageWords.begin(), pageWords.end());
    probe_.expect(req({cmd(C_PROG_PF_PAGE), data(pageItem), ans(1)}), answer({0}));
    // Tail: one whole word, then the last byte under the high byte at 0xC3.
    probe_.expect(word(0xC0, static_cast<std::uint16_t>(d[128] << 8 | d[127])), answer({0}));
    probe_.expect(req({cmd(C_GET_PF_WORDS), data({0x61, 1}), ans(3)}), answer({0, 0x3456, 0}));
    probe_.expect(word(0xC2, static_cast<std::uint16_t>(0x3400 | d[129])), answer({0}));
    EXPECT_EQ(FERROX_CPU_ProgEROM(0x41, 130, d.data()), 130);
    EXPECT_EQ(writes().size(), 4u + 2u + 31u + 1u + 3u);
}

TEST_F(MemoryWire, ProgEromFailuresEndTheWalk) {
    const U8 bytes[64] = {};
    struct Case {
        const char *what;
        std::function<void(ScriptedProbe &)> script;
        U32 addr;
        U32 count;
        int result;
    };
    const Case cases[] = {
        {"word fails to program",
         [](ScriptedProbe &p) {
             p.expect(req({cmd(C_PROG_PF_WORD), data({0x10, 0}), ans(1)}), answer({7}));
         },
         0x20, 4, -4},
        {"word refused",
         [](ScriptedProbe &p) {
             p.expect(req({cmd(C_PROG_PF_WORD), data({0x10, 0}), ans(1)}), answer({6}));
         },
         0x20, 4, -1},
        {"page fails to program",
         [](ScriptedProbe &p) {
             Words item(33, 0);
             item[0] = 0x20;
             p.expect(req({cmd(C_PROG_PF_PAGE), data(item), ans(1)}), answer({7}));
         },
         0x40, 64, -4},
        {"page answered with a trailer",
         [](ScriptedProbe &p) {
             Words item(33, 0);
             item[0] = 0x20;
             p.expect(req({cmd(C_PROG_PF_PAGE), data(item), ans(1)}), answer({0}, 0x0100));
         },
         0x40, 64, -1},
        // A single word is judged by its answer word alone.
        {"word answered 0 with a trailer detail",
         [](ScriptedProbe &p) {
             p.expect(req({cmd(C_PROG_PF_WORD), data({0x10, 0}), ans(1)}), answer({0}, 0x0100));
             p.expect(req({cmd(C_PROG_PF_WORD), data({0x11, 0}), ans(1)}), answer({0}));
         },
         0x20, 4, 4},
        // A merge read that brings nothing is a failure, never "0 bytes".
        {"merge read times out",
         [](ScriptedProbe &p) {
             p.expect(req({cmd(C_GET_PF_WORDS), data({0x10, 1}), ans(3)}), answer({}, 0x0001));
         },
         0x21, 1, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clearErrors();
        scriptHalted();
        c.script(probe_);
        EXPECT_EQ(FERROX_CPU_ProgEROM(c.addr, c.count, bytes), c.result);
        EXPECT_TRUE(probe_.scriptDone());
    }
}

TEST_F(MemoryWire, UlpPagesTravelLowHalfFirstExceptInProgUlpBytes) {
    const U32 pages[3] = {0x11112222, 0x33334444, 0x55556666};
    scriptHalted();
    for (std::uint16_t i = 0; i < 3; ++i) {
        probe_.expect(req({cmd(C_PROG_ULP_PAGE),
                           data({static_cast<std::uint16_t>(0x10 + i), static_cast<std::uint16_t>(pages[i]),
                                 static_cast<std::uint16_t>(pages[i] >> 16)}),
                           ans(1)}),
                      answer({0}));
    }
    EXPECT_EQ(FERROX_CPU_ProgULP(0x10, 3, pages), 3);

    scriptHalted();
    probe_.expect(req({cmd(C_GET_ULP_PAGES), data({0x10, 2}), ans(5)}),
                  answer({0, 0x2222, 0x1111, 0x4444, 0x3333}));
    U32 back[2] = {};
    EXPECT_EQ(FERROX_CPU_GetULP(0x10, 2, back), 2);
    EXPECT_EQ(back[0], pages[0]);
    EXPECT_EQ(back[1], pages[1]);

    scriptHalted();
    probe_.expect(req({cmd(C_PROG_ULP_BYTES), data({0x07, 0x5, 0xAABB, 0xCCDD}), ans(1)}), answer({0}));
    EXPECT_EQ(FERROX_CPU_ProgUlpBytes(0x07, 0xF5, 0xAABBCCDD), 0);
    scriptHalted();
    probe_.expect(req({cmd(C_PROG_ULP_BYTES), data({0x07, 0x1, 0, 0}), ans(1)}), answer({7}));
    EXPECT_EQ(FERROX_CPU_ProgUlpBytes(0x07, 1, 0), 17);
    EXPECT_EQ(captured().errors, errors("Programming failed."));
}

TEST_F(MemoryWire, GetUlpReadsSixtyFourPagesARequest) {
    std::vector<U32> buf(70, 0);
    scriptHalted();
    Words first{0};
    for (std::uint16_t i = 0; i < 64; ++i) {
        first.push_back(i);
        first.push_back(0x8000);
    }
    probe_.expect(req({cmd(C_GET_ULP_PAGES), data({0, 64}), ans(129)}), answer(first));
    probe_.expect(req({cmd(C_GET_ULP_PAGES), data({64, 6}), ans(13)}), answer({4}, 0x0101));
    EXPECT_EQ(FERROX_CPU_GetULP(0, 70, buf.data()), -1);
    EXPECT_EQ(buf[63], 0x8000003Fu);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), 4);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(MemoryWire, RefusedArgumentsSendNothing) {
    U32 page = 0;
    const std::vector<std::pair<const char *, std::function<int()>>> ops = {
        {"GetData", [] { return FERROX_CPU_GetData(0, 4, nullptr); }},
        {"SetData", [] { return FERROX_CPU_SetData(0, 4, nullptr); }},
        {"GetEEPROM", [] { return FERROX_CPU_GetEEPROM(0, 4, nullptr); }},
        {"ProgEEPROM", [] { return FERROX_CPU_ProgEEPROM(0, 4, nullptr); }},
        {"GetEROM", [] { return FERROX_CPU_GetEROM(0, 4, nullptr); }},
        {"ProgEROM", [] { return FERROX_CPU_ProgEROM(0, 4, nullptr); }},
        {"GetULP", [] { return FERROX_CPU_GetULP(0, 4, nullptr); }},
        {"ProgULP", [] { return FERROX_CPU_ProgULP(0, 4, nullptr); }},
        {"ProgPfBits", [] { return FERROX_CPU_ProgPfBits(0, 0, 16, nullptr); }},
        {"CalcSign", [] { return FERROX_CPU_CalcSign(0, 4, nullptr); }},
        {"Unprotect null", [] { return FERROX_CPU_Unprotect(nullptr); }},
        {"Unprotect short", [] { return FERROX_CPU_Unprotect("0011223344556677889900AABBCCDDE"); }},
        {"GetULP overflow", [&] { return FERROX_CPU_GetULP(0, 0x20000000u, &page); }},
        {"GetData beyond int",
         [&] { return FERROX_CPU_GetData(0, 0x80000000u, reinterpret_cast<U8 *>(&page)); }},
        {"ProgPfBits 3921",
         [] { return FERROX_CPU_ProgPfBits(0, 1, 3920, reinterpret_cast<const U8 *>("")); }},
        {"ProgPfBits offset 16",
         [] { return FERROX_CPU_ProgPfBits(0, 16, 4, reinterpret_cast<const U8 *>("abcd")); }},
        {"ProgPfBits negative",
         [] { return FERROX_CPU_ProgPfBits(0, -1, 16, reinterpret_cast<const U8 *>("ab")); }},
    };
    for (const auto &[name, op] : ops) {
        SCOPED_TRACE(name);
        MAIN_SetLastErrorCode(0);
        EXPECT_EQ(op(), -1);
        EXPECT_EQ(MAIN_GetLastErrorCode(), 16);
    }
    // A count of 0 is done at once, buffer or not.
    EXPECT_EQ(FERROX_CPU_GetData(0, 0, nullptr), 0);
    EXPECT_EQ(FERROX_CPU_ProgULP(0, 0, nullptr), 0);
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(MemoryWire, ProgPfBitsSendsTheWordsThatHoldTheRun) {
    struct Case {
        int offset;
        int bits;
        Words words;
    };
    const U8 src[490] = {0x34, 0x12, 0x78, 0x56};
    const Case cases[] = {
        {3, 10, {0x1234}},
        {8, 10, {0x1234, 0x5678}},
        {0, 16, {0x1234}},
        {15, 3905, Words(245, 0)}, // the longest run one request carries
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bits);
        Words words = c.words;
        if (words.size() == 245) {
            words[0] = 0x1234;
            words[1] = 0x5678;
        }
        const std::uint16_t control = static_cast<std::uint16_t>((c.offset & 0xF) << 12 | (c.bits & 0xFFF));
        probe_.expect(req({cmd(C_PROG_PF_BITS), data({0x0123, control}), data(words), ans(1)}), answer({0}));
        EXPECT_EQ(FERROX_CPU_ProgPfBits(0x0123, c.offset, c.bits, src), 0);
    }
}

TEST_F(MemoryWire, SinglePieceOperationsMapTheirAnswer) {
    struct Case {
        Bytes reply;
        int copyPage; // also ProgPfBits
        int bitField; // also IoTest
        int lastResponse;
    };
    const Case cases[] = {
        {answer({0}), 0, 0, 0},
        {answer({4}), -1, -1, 4},
        {answer({6}), -1, -1, 6},
        {answer({7}), -1, 0, 7},
        {answer({9}), 0, 0, 9},
        {answer({}), -1, -1, TAMSA_STATUS_CODE_INVALID},
        {answer({}, 0x0001), 1, 1, TAMSA_STATUS_CODE_INVALID},
    };
    const U8 bits[2] = {0xFF, 0x00};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lastResponse);
        clearErrors();
        probe_.expect(req({cmd(C_COPY_PAGE), data({0x0003, 0x01FF}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_CopyPage(3, 0x1FF), c.copyPage);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        probe_.expect(req({cmd(C_PROG_PF_BITS), data({0x0010, 0x4004}), data({0x00FF}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_ProgPfBits(0x10, 4, 4, bits), c.copyPage);
        probe_.expect(req({cmd(C_SET_BIT_FIELD), data({0x0100, 0x0053, 0x0005}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_SetBitField(0x100, 3, 5, 5), c.bitField);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        Words on = cmd(C_IO_TEST);
        for (std::uint16_t w : kIoTestCode) {
            const Words item = data({w});
            on.insert(on.end(), item.begin(), item.end());
        }
        probe_.expect(req({on, ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_IoTest(1), c.bitField);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        probe_.expect(req({data({TAMSA_IO_TEST_EXIT_CODE}), ans(1)}), c.reply);
        EXPECT_EQ(FERROX_CPU_IoTest(0), c.bitField);
        EXPECT_EQ(captured().errors.size(), c.copyPage == 1 ? 1u : 0u);
    }
}

TEST_F(MemoryWire, UnprotectSendsTheKeyLastGroupFirst) {
    struct Case {
        const char *key;
        Words words;
    };
    const Words upper = {0xEEFF, 0xCCDD, 0xAABB, 0x8899, 0x6677, 0x4455, 0x2233, 0x0011};
    const Case cases[] = {
        {"00112233445566778899AABBCCDDEEFF", upper},
        {"00112233445566778899aabbccddeeff", upper},
        // Anything but a hex digit counts 0; only 32 characters are read.
        {"G0x1-2345678zzzz9abcdefABCDEF012!!",
         {0xF012, 0xBCDE, 0xDEFA, 0x9ABC, 0x0000, 0x5678, 0x0234, 0x0001}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        scriptEntry(kHaltedProtected);
        Words items = cmd(C_UNPROTECT);
        for (std::uint16_t w : c.words) {
            const Words item = data({w});
            items.insert(items.end(), item.begin(), item.end());
        }
        probe_.expect(req({items, ans(1)}), answer({0}));
        EXPECT_EQ(FERROX_CPU_Unprotect(c.key), 0);
    }
    // A wrong key is refused by the target without a message.
    scriptEntry(kHaltedProtected);
    Words items = cmd(C_UNPROTECT);
    for (int i = 0; i < 8; ++i) {
        const Words item = data({0});
        items.insert(items.end(), item.begin(), item.end());
    }
    probe_.expect(req({items, ans(1)}), answer({6}));
    EXPECT_EQ(FERROX_CPU_Unprotect("00000000000000000000000000000000"), -1);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), 6);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(MemoryWire, ProtectOnAProtectedTargetSendsNoProtectCommand) {
    scriptEntry();
    probe_.expect(kDevStatReq, answer({kHaltedProtected}));
    scriptEntry(kHaltedProtected); // the monitor is entered afresh all the same
    EXPECT_EQ(FERROX_CPU_Protect(), -1);
    EXPECT_EQ(writes().size(), 4u + 1u + 4u); // entry, device status, entry
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_INVALID);
    // Unprotected: the command goes, and the monitor is entered afresh.
    scriptEntry();
    probe_.expect(kDevStatReq, answer({kHaltedInit}));
    probe_.expect(req({cmd(C_PROTECT), ans(1)}), answer({0}));
    scriptEntry(kHaltedProtected);
    EXPECT_EQ(FERROX_CPU_Protect(), 0);
    EXPECT_EQ(CPU_IsMonitorEntered(), 1);
    scriptEntry();
    probe_.expect(kDevStatReq, answer({kHaltedInit}));
    probe_.expect(req({cmd(C_PROTECT), ans(1)}), answer({4}));
    scriptEntry();
    EXPECT_EQ(FERROX_CPU_Protect(), -2);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), 4);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(MemoryWire, EraseSetsTheAnswerTimeLimitAndAlwaysSetsItBack) {
    struct Case {
        Bytes reply;
        int result;
        const char *message;
    };
    const Case cases[] = {
        {answer({0}), 0, nullptr},
        {answer({4}), -1, nullptr},
        {answer({5}), 2, "Target sent unexpected data."},
        {answer({}), 1, "Rx/Tx timeout during communication to target."},
        {answer({}, 0x0001), 1, "Rx/Tx timeout during communication to target."},
    };
    Words items = cmd(C_ERASE);
    for (std::uint16_t w : kEraseCode) {
        const Words item = data({w});
        items.insert(items.end(), item.begin(), item.end());
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.result);
        clearErrors();
        scriptEntry(kHaltedProtected);
        probe_.expect(timeout(120000), {0});
        probe_.expect(req({items, ans(1)}), c.reply);
        scriptEntry();
        probe_.expect(timeout(0), {0});
        EXPECT_EQ(FERROX_CPU_Erase(), c.result);
        EXPECT_EQ(captured().errors, errors(c.message));
        EXPECT_EQ(writes().back(), timeout(0));
    }
}

TEST_F(MemoryWire, CalcSignCopiesWhatTheBufferHoldsAndSetsTheTimeLimitBack) {
    struct Case {
        Bytes reply;
        int numBytes;
        int result;
        Bytes buffer;
        int lastResponse;
        const char *message;
    };
    const Case cases[] = {
        {answer({0, 0x00AB, 0xCDEF}), 4, 4, {0xEF, 0xCD, 0xAB, 0x00}, 0, nullptr},
        {answer({0, 0x00AB, 0xCDEF}), 2, 4, {0xEF, 0xCD, 0xEE, 0xEE}, 0, nullptr},
        {answer({3, 0, 0}), 4, -1, {0xEE, 0xEE, 0xEE, 0xEE}, 3, "Target sent unexpected data."},
        {answer({6}, 0x0101), 4, -1, {0xEE, 0xEE, 0xEE, 0xEE}, 6, nullptr},
        {answer({9}, 0x0101),
         4,
         -1,
         {0xEE, 0xEE, 0xEE, 0xEE},
         9,
         "Rx/Tx timeout during communication to target."},
        {answer({}, 0x0001),
         4,
         -1,
         {0xEE, 0xEE, 0xEE, 0xEE},
         TAMSA_STATUS_CODE_INVALID,
         "Rx/Tx timeout during communication to target."},
        // Probe status 0 but the answer words are missing: no response.
        {answer({}),
         4,
         -1,
         {0xEE, 0xEE, 0xEE, 0xEE},
         TAMSA_STATUS_CODE_INVALID,
         "Target sent unexpected data."},
        {answer({0, 0x00AB}),
         4,
         -1,
         {0xEE, 0xEE, 0xEE, 0xEE},
         TAMSA_STATUS_CODE_INVALID,
         "Target sent unexpected data."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.numBytes);
        clearErrors();
        probe_.expect(timeout(600000), {0});
        probe_.expect(req({cmd(C_CALC_SIGN), data({0x0005}), ans(3)}), c.reply);
        probe_.expect(timeout(0), {0});
        U8 buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(FERROX_CPU_CalcSign(5, c.numBytes, buf), c.result);
        EXPECT_EQ(Bytes(buf, buf + 4), c.buffer);
        EXPECT_EQ(FERROX_CPU_GetLastResponse(), c.lastResponse);
        EXPECT_EQ(captured().errors, errors(c.message));
    }
}

TEST_F(MemoryWire, TheSignatureLogStaysInsideTheCallersBuffer) {
    const std::string path = ferrox_test::tempLogPath("calcsign");
    FERROX_SetLogFile(path.c_str());
    probe_.expect(timeout(600000), {0});
    probe_.expect(req({cmd(C_CALC_SIGN), data({0x0000}), ans(3)}), answer({0, 0x00AB, 0xCDEF}));
    probe_.expect(timeout(0), {0});
    const auto two = std::make_unique<U8[]>(2); // exactly as large as the count says
    EXPECT_EQ(FERROX_CPU_CalcSign(0, 2, two.get()), 4);
    FERROX_SetLogFile(nullptr);
    const std::string log = ferrox_test::readFile(path);
    EXPECT_NE(log.find("EF CD"), std::string::npos) << log;
    EXPECT_EQ(log.find("EF CD AB"), std::string::npos) << log;
}

TEST_F(MemoryWire, GetVersionCountsWithoutABufferAndFillsOne) {
    for (int pass = 0; pass < 2; ++pass) {
        probe_.expect(req({cmd(C_GET_VERSION), ans(1)}), answer({2}));
        probe_.expect(req({ans(2)}), answer({0x0001, 0x1002}));
        probe_.expect(req({ans(2)}), answer({0x1000, 0x0703}));
    }
    EXPECT_EQ(FERROX_CPU_GetVersion(nullptr), 2);
    U32 items[3] = {0, 0, 0xDEAD};
    EXPECT_EQ(FERROX_CPU_GetVersion(items), 2);
    EXPECT_EQ(items[0], 0x10020001u);
    EXPECT_EQ(items[1], 0x07031000u);
    EXPECT_EQ(items[2], 0xDEADu);
    // A lost item ends the call.
    probe_.expect(req({cmd(C_GET_VERSION), ans(1)}), answer({2}));
    probe_.expect(req({ans(2)}), answer({0x0001}));
    EXPECT_EQ(FERROX_CPU_GetVersion(items), -1);
    EXPECT_EQ(captured().errors, errors("Rx/Tx timeout during communication to target."));
}

TEST_F(MemoryWire, GetVersionDumpsWheneverABufferIsGiven) {
    const std::string path = ferrox_test::tempLogPath("versiondump");
    FERROX_SetLogFile(path.c_str());
    probe_.expect(req({cmd(C_GET_VERSION), ans(1)}), answer({0}));
    probe_.expect(req({cmd(C_GET_VERSION), ans(1)}), answer({0}));
    U32 items[1] = {0xDEAD};
    EXPECT_EQ(FERROX_CPU_GetVersion(items), 0);
    EXPECT_EQ(FERROX_CPU_GetVersion(nullptr), 0);
    FERROX_SetLogFile(nullptr);
    const std::string log = ferrox_test::readFile(path);
    EXPECT_NE(log.find("FERROX_CPU_GetVersion() -- Data:   returns 0x00"), std::string::npos) << log;
    EXPECT_NE(log.find("FERROX_CPU_GetVersion()  returns 0x00"), std::string::npos) << log;
}

} // namespace

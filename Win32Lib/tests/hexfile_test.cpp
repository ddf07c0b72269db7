#include "test_util.h"

#include "plat/file.h"

#include <cctype>
#include <cstdio>
#include <random>

namespace {

using testutil::Progress;
using testutil::rec;

std::string lower(std::string s) {
    for (char &c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

const std::string kEof = ":00000001FF";

struct ReadCase {
    const char *name;
    std::string text;
    int result;
    std::string error;
    std::vector<std::pair<U32, std::vector<U8>>> stored; // address, bytes
};

void PrintTo(const ReadCase &c, std::ostream *os) {
    *os << c.name;
}

class HexRead : public testutil::ScratchDir, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(HexRead, ParsesOrReportsTheFirstFault) {
    const ReadCase &c = GetParam();
    const std::string file = writeFile("in.hex", c.text);
    char err[512];
    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(MEMAREA_ReadHexFile(h_, file.c_str(), err, sizeof err), c.result);
    EXPECT_EQ(std::string(err), c.error);
    U32 total = 0;
    for (const auto &[adr, data] : c.stored) {
        EXPECT_EQ(bytes(adr, static_cast<U32>(data.size())), data) << std::hex << adr;
        total += static_cast<U32>(data.size());
    }
    EXPECT_EQ(MEMAREA__GetNumBytes(h_), static_cast<I32>(total));
    EXPECT_EQ(h_->ModifyCnt, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexRead,
    ::testing::Values(
        ReadCase{"OneRecord", ":0400000001020304F2\r\n:00000001FF\r\n", 0, "", {{0, {1, 2, 3, 4}}}},
        ReadCase{"EmptyFile", "", -4, "Error in line 1: Not a hex file", {}},
        ReadCase{"LeadingEmptyLine", "\r\n" + kEof + "\r\n", -4, "Error in line 1: Not a hex file", {}},
        ReadCase{"ByteOrderMark", "\xEF\xBB\xBF" + kEof + "\r\n", -4, "Error in line 1: Not a hex file", {}},
        ReadCase{"TrailingEmptyCrLfLine",
                 ":0400000001020304F2\r\n\r\n",
                 -5,
                 "Error in line 2: Unexpected character",
                 {{0, {1, 2, 3, 4}}}},
        ReadCase{"EmptyLfLineIsPassedOverAndNotCounted",
                 ":0400000001020304F2\n\n:00000006FA\n",
                 -5,
                 "Error in line 2: Unknown record !",
                 {{0, {1, 2, 3, 4}}}},
        ReadCase{"LowerCaseHex",
                 lower(rec(0, 0x10, {0xAB, 0xCD, 0xEF})) + "\r\n",
                 0,
                 "",
                 {{0x10, {0xAB, 0xCD, 0xEF}}}},
        ReadCase{"BadHexCharacter",
                 ":04000000010G0304F2\r\n",
                 -5,
                 "Error in line 1: Expected Hex character : 0..9, A..F",
                 {}},
        ReadCase{
            "RecordsAfterEndOfFile", kEof + "\r\n" + rec(0, 0x20, {0xAA}) + "\r\n", 0, "", {{0x20, {0xAA}}}},
        ReadCase{"NoLineEndAtTheEnd", rec(0, 0x20, {0xAA}), 0, "", {{0x20, {0xAA}}}},
        ReadCase{"CtrlZEndsTheText", rec(0, 0x20, {0xAA}) + "\r\n\x1A" + "garbage", 0, "", {{0x20, {0xAA}}}},
        ReadCase{"ChecksumErrorKeepsEarlierRecords",
                 ":0400000001020304F2\r\n:0400100001020304E3\r\n",
                 -5,
                 "Error in line 2: Checksum error !\nExpected: 0xE2, found: 0xE3",
                 {{0, {1, 2, 3, 4}}}},
        ReadCase{"AreasOverlap",
                 rec(0, 0, {1, 2}) + "\r\n" + rec(0, 1, {3}) + "\r\n",
                 -5,
                 "Error in line 2: Areas overlap",
                 {{0, {1, 2}}}},
        ReadCase{
            "SegmentBase", ":020000021000EC\r\n" + rec(0, 0, {0x55}) + "\r\n", 0, "", {{0x10000, {0x55}}}},
        ReadCase{
            "LinearBase", ":020000040001F9\r\n" + rec(0, 0, {0x55}) + "\r\n", 0, "", {{0x10000, {0x55}}}},
        ReadCase{"TypeFFIsLinearBase",
                 ":020000FF0001FE\r\n" + rec(0, 0, {0x55}) + "\r\n",
                 0,
                 "",
                 {{0x10000, {0x55}}}},
        ReadCase{"BothBasesAddUp",
                 ":020000021000EC\r\n:020000040001F9\r\n" + rec(0, 0, {0x55}) + "\r\n",
                 0,
                 "",
                 {{0x20000, {0x55}}}},
        ReadCase{"RecordRunsOnPastItsPage",
                 ":020000040001F9\r\n" + rec(0, 0xFFFF, {1, 2}) + "\r\n",
                 0,
                 "",
                 {{0x1FFFF, {1, 2}}}},
        ReadCase{
            "StartAddressRecordsIgnored", ":0400000300001000E9\r\n:0400000500001000E7\r\n" + kEof, 0, "", {}},
        ReadCase{"UnknownRecordOnLineThree",
                 kEof + "\r\n" + kEof + "\r\n:00000006FA\r\n",
                 -5,
                 "Error in line 3: Unknown record !",
                 {}},
        // The record is stored before its line end is looked at.
        ReadCase{"GarbageAfterChecksum",
                 rec(0, 0, {1}) + "X\r\n",
                 -5,
                 "Error in line 1: Expected CR or LF",
                 {{0, {1}}}},
        ReadCase{"LastByteOfAddressSpace",
                 ":02000004FFFFFC\r\n" + rec(0, 0xFFFE, {1, 2}) + "\r\n",
                 0,
                 "",
                 {{0xFFFFFFFE, {1, 2}}}},
        ReadCase{"PastTheTopIsRefused",
                 ":02000004FFFFFC\r\n" + rec(0, 0xFFFF, {1, 2}) + "\r\n",
                 -5,
                 "Error in line 2: Address out of range",
                 {}},
        ReadCase{"BasesSummingPastTheTop",
                 ":02000004FFFFFC\r\n" + rec(2, 0, {0xF0, 0x00}) + "\r\n" + rec(0, 0, {1}),
                 -5,
                 "Error in line 3: Address out of range",
                 {}},
        ReadCase{"ShortAddressRecord",
                 ":0100000410EB\r\n" + rec(0, 0, {1}) + "\r\n",
                 -5,
                 "Error in line 1: Invalid address record",
                 {}}),
    [](const auto &p) { return std::string(p.param.name); });

class HexFile : public testutil::ScratchDir {};

TEST_F(HexFile, LongFileAcrossBufferRefillsCountsLines) {
    std::string text;
    std::vector<U8> all;
    for (U32 i = 0; i < 5000; ++i) {
        std::vector<U8> d(16);
        for (U32 k = 0; k < 16; ++k) {
            d[k] = static_cast<U8>(i * 13 + k);
        }
        all.insert(all.end(), d.begin(), d.end());
        // Mixed line ends, all of which count once.
        text += rec(0, (i * 16) & 0xFFFF, d) + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\n\r");
        if ((i * 16 & 0xFFFF) == 0xFFF0) {
            const U32 seg = ((i + 1) * 16) >> 4;
            text += rec(2, 0, {static_cast<U8>(seg >> 8), static_cast<U8>(seg)}) + "\r\n";
        }
    }
    const int extraLines = 5000 * 16 / 0x10000;
    text += ":0000000BF5\r\n"; // unknown type on the last line
    const std::string file = writeFile("long.hex", text);
    char err[128];
    ASSERT_EQ(MEMAREA_ReadHexFile(h_, file.c_str(), err, sizeof err), -5);
    EXPECT_EQ(std::string(err), "Error in line " + std::to_string(5001 + extraLines) + ": Unknown record !");
    ASSERT_EQ(ranges().size(), 1u);
    EXPECT_EQ(bytes(0, static_cast<U32>(all.size())), all);
}

TEST_F(HexFile, AFailedReadIsNotTheEndOfTheFile) {
    // 5000 records fill the text buffer more than once: the refill fails.
    std::string text;
    for (U32 i = 0; i < 5000; ++i) {
        text += rec(0, (i * 16) & 0xFFFF, std::vector<U8>(16, static_cast<U8>(i))) + "\r\n";
    }
    const std::string file = writeFile("refill.hex", text);
    char err[128];
    plat::failReadAfter(1);
    EXPECT_EQ(MEMAREA_ReadHexFile(h_, file.c_str(), err, sizeof err), -1);
    EXPECT_STREQ(err, "Could not read file.");
}

TEST_F(HexFile, OpenFailuresNameTheFile) {
    const std::string missing = path("missing.hex");
    const std::string noDir = path("nodir/x.hex");
    struct Case {
        std::string name, expected;
    } cases[] = {
        {missing, "Could not open file [" + missing + "]\nFile not found!"},
        {noDir, "Could not open file [" + noDir + "]\nPath not found!"},
        {dir_.string(), "Could not open file [" + dir_.string() + "]\nAccess is denied!"},
        {"", "Could not open file []\nThe filename syntax is incorrect!"},
    };
    for (const auto &c : cases) {
        char err[512];
        EXPECT_EQ(MEMAREA_ReadHexFile(h_, c.name.c_str(), err, sizeof err), -1);
        EXPECT_EQ(std::string(err), c.expected);
    }
}

TEST_F(HexFile, ErrorTextIsCutToTheCallersBuffer) {
    const std::string file = writeFile("bad.txt", "hello");
    char err[16];
    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(MEMAREA_ReadHexFile(h_, file.c_str(), err, 10), -4);
    EXPECT_EQ(std::string(err), "Error in ");
    EXPECT_EQ(err[10], 'x');
    // No buffer at all still reads and reports by result.
    EXPECT_EQ(MEMAREA_ReadHexFile(h_, file.c_str(), nullptr, 0), -4);
}

TEST_F(HexFile, ReadAddsToTheImageAndReportsProgress) {
    ASSERT_EQ(MEMAREA_Add(h_, 0x1000, 1, "\x77"), 0);
    const std::string file = writeFile("in.hex", rec(0, 0x10, {1, 2}) + "\r\n" + rec(0, 0x12, {3}) + "\r\n" +
                                                     rec(0, 0x1000, {9}) + "\r\n");
    Progress progress;
    char err[128];
    EXPECT_EQ(MEMAREA_ReadHexFileEx(h_, file.c_str(), err, sizeof err, &Progress::callback, &progress), -5);
    EXPECT_EQ(std::string(err), "Error in line 3: Areas overlap");
    ASSERT_EQ(progress.calls.size(), 3u);
    EXPECT_EQ(progress.calls[0].Addr, 0x10u);
    EXPECT_EQ(progress.calls[0].NumBlocks, 1u);
    EXPECT_EQ(progress.calls[1].Addr, 0x12u);
    EXPECT_EQ(progress.calls[1].NumBlocks, 2u);
    EXPECT_EQ(ranges(), (std::vector<std::pair<U32, U32>>{{0x10, 3}, {0x1000, 1}}));
}

struct WriteCase {
    const char *name;
    std::vector<std::pair<U32, U32>> ranges; // address, length; byte = low byte of address
    std::vector<std::string> lines;          // expected, without line ends
};

std::vector<U8> addressBytes(U32 adr, U32 len) {
    std::vector<U8> v(len);
    for (U32 i = 0; i < len; ++i) {
        v[i] = static_cast<U8>(adr + i);
    }
    return v;
}

void PrintTo(const WriteCase &c, std::ostream *os) {
    *os << c.name;
}

class HexWrite : public testutil::ScratchDir, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(HexWrite, WritesRecordsAndAddressRecords) {
    for (auto [adr, len] : GetParam().ranges) {
        ASSERT_EQ(MEMAREA_Add(h_, adr, len, addressBytes(adr, len).data()), 0);
    }
    const std::string file = path("out.hex");
    char err[256];
    ASSERT_EQ(MEMAREA_WriteHexFile(h_, file.c_str(), err, sizeof err), 0) << err;
    EXPECT_STREQ(err, "");
    EXPECT_EQ(h_->ModifyCnt, 0u);
    std::string expected;
    for (const auto &l : GetParam().lines) {
        expected += l + "\r\n";
    }
    EXPECT_EQ(readFile(file), expected);

    // Our own reader puts every byte back where it was.
    MEMAREA_HANDLE back = MEMAREA_Create();
    ASSERT_EQ(MEMAREA_ReadHexFile(back, file.c_str(), err, sizeof err), 0) << err;
    for (auto [adr, len] : GetParam().ranges) {
        std::vector<U8> got(len);
        MEMAREA_ReadMem(back, adr, len, got.data(), 0);
        EXPECT_EQ(got, addressBytes(adr, len)) << std::hex << adr;
    }
    EXPECT_EQ(MEMAREA__GetNumBytes(back), MEMAREA__GetNumBytes(h_));
    MEMAREA_Delete(back);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexWrite,
    ::testing::Values(WriteCase{"Empty", {}, {kEof}},
                      WriteCase{
                          "FortyBytes",
                          {{0x10, 40}},
                          {rec(0, 0x10, addressBytes(0x10, 32)), rec(0, 0x30, addressBytes(0x30, 8)), kEof}},
                      WriteCase{"GapsSplitRecords",
                                {{0x00, 4}, {0x08, 4}},
                                {rec(0, 0, addressBytes(0, 4)), rec(0, 8, addressBytes(8, 4)), kEof}},
                      WriteCase{"LinearAboveOneMiB",
                                {{0x123456, 2}},
                                {":020000040012E8", rec(0, 0x3456, addressBytes(0x123456, 2)), kEof}},
                      WriteCase{"SegmentBelowOneMiB",
                                {{0x1FF08, 2}},
                                {rec(2, 0, {0x1F, 0xF0}), rec(0, 0x8, addressBytes(0x1FF08, 2)), kEof}},
                      WriteCase{"SegmentBaseClearedBeforeLinear",
                                {{0x10000, 1}, {0x200000, 1}},
                                {rec(2, 0, {0x10, 0x00}), rec(0, 0, {0x00}), ":020000020000FC",
                                 ":020000040020DA", rec(0, 0, {0x00}), kEof}},
                      WriteCase{"LinearRepeatedPerRecordPastFF00",
                                {{0x10FF00, 64}},
                                {":020000040010EA", rec(0, 0xFF00, addressBytes(0x10FF00, 32)),
                                 ":020000040010EA", rec(0, 0xFF20, addressBytes(0x10FF20, 32)), kEof}},
                      WriteCase{"TopOfAddressSpace",
                                {{0xFFFFFFF0, 16}},
                                {":02000004FFFFFC", rec(0, 0xFFF0, addressBytes(0xFFFFFFF0, 16)), kEof}}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(HexFile, RandomImagesRoundTrip) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 4; ++round) {
        MEMAREA_HANDLE img = MEMAREA_Create();
        U32 adr = rng() % 0x1000;
        for (int i = 0; i < 50; ++i) {
            const U32 len = 1 + static_cast<U32>(rng() % 300);
            std::vector<U8> d(len);
            for (auto &b : d) {
                b = static_cast<U8>(rng());
            }
            ASSERT_EQ(MEMAREA_Add(img, adr, len, d.data()), 0);
            adr += len + 1 + static_cast<U32>(rng() % (round == 3 ? 0x400000 : 0x3000));
        }
        const std::string file = path("rt" + std::to_string(round) + ".hex");
        char err[256];
        ASSERT_EQ(MEMAREA_WriteHexFile(img, file.c_str(), err, sizeof err), 0);
        MEMAREA_HANDLE back = MEMAREA_Create();
        ASSERT_EQ(MEMAREA_ReadHexFile(back, file.c_str(), err, sizeof err), 0) << err;
        ASSERT_EQ(MEMAREA_GetNumRanges(back), MEMAREA_GetNumRanges(img));
        for (int i = 0; i < MEMAREA_GetNumRanges(img); ++i) {
            U32 a1 = 0, s1 = 0, a2 = 0, s2 = 0;
            MEMAREA_GetRangeInfo(img, i, &a1, &s1);
            MEMAREA_GetRangeInfo(back, i, &a2, &s2);
            ASSERT_EQ(a1, a2);
            ASSERT_EQ(s1, s2);
            std::vector<U8> x(s1), y(s1);
            MEMAREA_ReadMem(img, a1, s1, x.data(), 0);
            MEMAREA_ReadMem(back, a2, s2, y.data(), 0);
            ASSERT_EQ(x, y);
        }
        MEMAREA_Delete(back);
        MEMAREA_Delete(img);
    }
}

TEST_F(HexFile, FailedWritesSayWhyAndKeepTheModifyCount) {
    ASSERT_EQ(MEMAREA_Add(h_, 0, 4, "abcd"), 0);
    ASSERT_EQ(MEMAREA_Add(h_, 8, 4, "efgh"), 0);
    ASSERT_EQ(h_->ModifyCnt, 3u);

    const std::string ro = writeFile("ro.hex", "old");
    testutil::makeReadOnly(ro);
    char err[512];
    EXPECT_EQ(MEMAREA_WriteHexFile(h_, ro.c_str(), err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "Could not write file. File has read only attribute.\n" + ro);
    EXPECT_EQ(h_->ModifyCnt, 3u);
    EXPECT_EQ(readFile(ro), "old");

    // A full disk on the final flush.
    plat::failNextWrites(1);
    EXPECT_EQ(MEMAREA_WriteHexFile(h_, path("full.hex").c_str(), err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "Error writing file.");
    EXPECT_EQ(h_->ModifyCnt, 3u);

    // Without room for the text the failure still shows in the result.
    plat::failNextWrites(1);
    EXPECT_EQ(MEMAREA_WriteHexFile(h_, path("full2.hex").c_str(), err, 0), -1);
    EXPECT_EQ(MEMAREA_WriteHexFile(h_, path("x.hex").c_str(), nullptr, 10), -1);
    EXPECT_EQ(MEMAREA_WriteHexFile(nullptr, path("x.hex").c_str(), err, 10), -1);

    Progress progress;
    EXPECT_EQ(
        MEMAREA_WriteHexFileEx(h_, path("ok.hex").c_str(), err, sizeof err, &Progress::callback, &progress),
        0);
    ASSERT_EQ(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls[1].Addr, 8u);
    EXPECT_EQ(progress.calls[1].NumBlocks, 2u);
    EXPECT_EQ(h_->ModifyCnt, 0u);
}

} // namespace

#include "test_util.h"

#include "plat/file.h"

namespace {

using testutil::Progress;

std::vector<U8> addressBytes(U32 adr, U32 len) {
    std::vector<U8> v(len);
    for (U32 i = 0; i < len; ++i) {
        v[i] = static_cast<U8>((adr + i) ^ 0x5A);
    }
    return v;
}

std::string asString(const std::vector<U8> &v) {
    return std::string(v.begin(), v.end());
}

struct WriteCase {
    const char *name;
    std::vector<std::pair<U32, U32>> ranges;
    U32 sAddr, eAddr;
    std::string expected;
};

void PrintTo(const WriteCase &c, std::ostream *os) {
    *os << c.name;
}

class BinWrite : public testutil::ScratchDir, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(BinWrite, WritesTheWindowWithErasedGaps) {
    for (auto [adr, len] : GetParam().ranges) {
        ASSERT_EQ(MEMAREA_Add(h_, adr, len, addressBytes(adr, len).data()), 0);
    }
    const std::string file = path("out.bin");
    char err[256];
    ASSERT_EQ(MEMAREA_WriteBinFile(h_, file.c_str(), err, sizeof err, GetParam().sAddr, GetParam().eAddr), 0);
    EXPECT_STREQ(err, "");
    EXPECT_EQ(readFile(file), GetParam().expected);
    EXPECT_EQ(h_->ModifyCnt, 0u);
}

const std::string kFF16(16, '\xFF');

INSTANTIATE_TEST_SUITE_P(
    Cases, BinWrite,
    ::testing::Values(
        WriteCase{"ExactWindow", {{0x100, 16}}, 0x100, 0x10F, asString(addressBytes(0x100, 16))},
        WriteCase{"LeadingGap", {{0x100, 16}}, 0x0F0, 0x10F, kFF16 + asString(addressBytes(0x100, 16))},
        WriteCase{"InnerGap",
                  {{0x00, 16}, {0x20, 16}},
                  0,
                  0xFF,
                  asString(addressBytes(0, 16)) + kFF16 + asString(addressBytes(0x20, 16))},
        WriteCase{"CutAtWindowEnd", {{0x00, 16}}, 0, 7, asString(addressBytes(0, 8))},
        WriteCase{"StartsInsideRange", {{0x00, 16}}, 8, 0xFFFFFFFF, asString(addressBytes(8, 8))},
        WriteCase{"NothingInWindow", {{0x100, 16}}, 0x200, 0x2FF, ""},
        WriteCase{"InvertedWindow", {{0x100, 16}}, 0x10F, 0x100, ""},
        WriteCase{"TopOfAddressSpace",
                  {{0xFFFFFFF8, 8}},
                  0xFFFFFFF0,
                  0xFFFFFFFF,
                  std::string(8, '\xFF') + asString(addressBytes(0xFFFFFFF8, 8))}),
    [](const auto &p) { return std::string(p.param.name); });

class BinFile : public testutil::ScratchDir {};

TEST_F(BinFile, LargeWindowSpansManyBlocksAndBigGaps) {
    // More than one 64 KiB block of data, a gap larger than a block inside.
    const auto a = addressBytes(0x1000, 100000);
    const auto b = addressBytes(0x200000, 300);
    ASSERT_EQ(MEMAREA_Add(h_, 0x1000, 100000, a.data()), 0);
    ASSERT_EQ(MEMAREA_Add(h_, 0x200000, 300, b.data()), 0);
    const std::string file = path("big.bin");
    char err[256];
    Progress progress;
    ASSERT_EQ(MEMAREA_WriteBinFileEx(h_, file.c_str(), err, sizeof err, 0x1000, 0xFFFFFFFF,
                                     &Progress::callback, &progress),
              0);
    const std::string got = readFile(file);
    ASSERT_EQ(got.size(), 0x200000u + 300 - 0x1000);
    EXPECT_EQ(got.substr(0, 100000), asString(a));
    EXPECT_EQ(got.substr(100000, 0x200000 - 0x1000 - 100000),
              std::string(0x200000 - 0x1000 - 100000, '\xFF'));
    EXPECT_EQ(got.substr(0x200000 - 0x1000), asString(b));
    ASSERT_FALSE(progress.calls.empty());
    EXPECT_EQ(progress.calls[0].Addr, 0x1000u);
}

TEST_F(BinFile, ReadPlacesTheFileInChunksAtTheLoadAddress) {
    const auto data = addressBytes(0, 70000);
    const std::string file = writeFile("in.bin", asString(data));
    char err[256];
    Progress progress;
    ASSERT_EQ(
        MEMAREA_ReadBinFileEx(h_, file.c_str(), err, sizeof err, 0x8000, &Progress::callback, &progress), 0);
    EXPECT_STREQ(err, "");
    EXPECT_EQ(ranges(), (std::vector<std::pair<U32, U32>>{{0x8000, 70000}}));
    EXPECT_EQ(bytes(0x8000, 70000), data);
    ASSERT_EQ(progress.calls.size(), 3u);
    EXPECT_EQ(progress.calls[0].Addr, 0x8000u);
    EXPECT_EQ(progress.calls[1].Addr, 0x8000u + 32768);
    EXPECT_EQ(progress.calls[2].Addr, 0x8000u + 65536);
    EXPECT_EQ(h_->ModifyCnt, 0u);
}

TEST_F(BinFile, ReadEdgeCases) {
    char err[256];
    // Empty file: nothing added, success.
    EXPECT_EQ(MEMAREA_ReadBinFile(h_, writeFile("empty.bin", "").c_str(), err, sizeof err, 0), 0);
    EXPECT_EQ(MEMAREA_GetNumRanges(h_), 0);

    // A chunk that overlaps stored data is refused with the first address
    // it would have overwritten; the image keeps what it held.
    ASSERT_EQ(MEMAREA_Add(h_, 0x10, 1, "\x01"), 0);
    EXPECT_EQ(MEMAREA_ReadBinFile(h_, writeFile("four.bin", "wxyz").c_str(), err, sizeof err, 0x0E), -1);
    EXPECT_STREQ(err, "Could not read file. It overlaps data already in the image at 0x00000010.");
    EXPECT_EQ(ranges(), (std::vector<std::pair<U32, U32>>{{0x10, 1}}));

    // A file that would run past 0xFFFFFFFF is refused, not wrapped to 0.
    EXPECT_EQ(MEMAREA_ReadBinFile(h_, path("four.bin").c_str(), err, sizeof err, 0xFFFFFFFE), -1);
    EXPECT_STREQ(err, "Could not read file. File does not fit below 4 GB.");
    EXPECT_EQ(ranges(), (std::vector<std::pair<U32, U32>>{{0x10, 1}}));
    EXPECT_EQ(MEMAREA_ReadBinFile(h_, path("four.bin").c_str(), err, sizeof err, 0xFFFFFFFC), 0);

    const std::string missing = path("missing.bin");
    EXPECT_EQ(MEMAREA_ReadBinFile(h_, missing.c_str(), err, sizeof err, 0), -1);
    EXPECT_EQ(std::string(err), "Could not open file [" + missing + "]\nFile not found!");
    EXPECT_EQ(h_->ModifyCnt, 0u);

    MEMAREA__SetAllocFailAfter(0);
    EXPECT_EQ(MEMAREA_ReadBinFile(h_, path("four.bin").c_str(), err, sizeof err, 0x100), -1);
    EXPECT_STREQ(err, "Could not read file. Out of memory.");
}

TEST_F(BinFile, AFailedReadIsReported) {
    const std::string file = writeFile("big.bin", std::string(70000, 'x'));
    char err[256];
    plat::failReadAfter(1); // the second chunk cannot be read
    EXPECT_EQ(MEMAREA_ReadBinFile(h_, file.c_str(), err, sizeof err, 0), -1);
    EXPECT_STREQ(err, "Could not read file.");
}

TEST_F(BinFile, OutFileCreateFailures) {
    char err[512];
    const std::string ro = writeFile("ro.bin", "keep");
    testutil::makeReadOnly(ro);
    const std::string noDir = path("nodir/x.bin");
    struct Case {
        std::string name, expected;
    } cases[] = {
        {"", "Could not write file. Invalid filename."},
        {ro, "Could not write file. File has read only attribute.\n" + ro},
        {dir_.string(), "Could not write file. Access denied.\n" + dir_.string()},
        {noDir, "Could not write file.\n" + noDir},
    };
    for (const auto &c : cases) {
        std::memset(err, 'x', sizeof err);
        OUTFILE_HANDLE h = OUTFILE_Create(c.name.c_str(), err, sizeof err);
        EXPECT_EQ(h, nullptr) << c.name;
        EXPECT_EQ(std::string(err), c.expected);
        OUTFILE_Write(h, "abc", 3); // a null handle does nothing
        OUTFILE_Close(h);
    }
    EXPECT_EQ(readFile(ro), "keep");
    EXPECT_EQ(OUTFILE_Create(nullptr, nullptr, 0), nullptr);

    MEMAREA__SetAllocFailAfter(0);
    EXPECT_EQ(OUTFILE_Create(path("a.bin").c_str(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "Could not write file. Out of memory.");
    MEMAREA__SetAllocFailAfter(-1);

    // The first fault wins, cut to the buffer.
    char small[12];
    EXPECT_EQ(OUTFILE_Create("", small, sizeof small), nullptr);
    EXPECT_STREQ(small, "Could not w");
}

TEST_F(BinFile, OutFileWritesWholeBuffersAndKeepsTheFirstFault) {
    const std::string file = path("o.bin");
    char err[64];
    OUTFILE_HANDLE h = OUTFILE_Create(file.c_str(), err, sizeof err);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(err, "");
    std::vector<U8> data(40000, 0x42);
    // The first full buffer (32768 bytes) is lost to a failed write; the
    // remaining 7232 bytes reach the file at close.
    plat::failNextWrites(1);
    OUTFILE_Write(h, data.data(), 40000);
    OUTFILE_Write(h, nullptr, 8); // padding
    OUTFILE_Close(h);
    EXPECT_STREQ(err, "Error writing file.");
    const std::string got = readFile(file);
    ASSERT_EQ(got.size(), 7232u + 8);
    EXPECT_EQ(got.substr(0, 7232), std::string(7232, 0x42));
    EXPECT_EQ(got.substr(7232), std::string(8, '\xFF'));
}

TEST_F(BinFile, FailedWriteKeepsModifyCount) {
    ASSERT_EQ(MEMAREA_Add(h_, 0, 4, "abcd"), 0);
    char err[256];
    EXPECT_EQ(MEMAREA_WriteBinFile(h_, "", err, sizeof err, 0, 3), -1);
    EXPECT_STREQ(err, "Could not write file. Invalid filename.");
    EXPECT_EQ(h_->ModifyCnt, 2u);
    EXPECT_EQ(MEMAREA_WriteBinFile(h_, path("a.bin").c_str(), nullptr, 0, 0, 3), -1);
    EXPECT_EQ(MEMAREA_WriteBinFile(nullptr, path("a.bin").c_str(), err, sizeof err, 0, 3), -1);
}

} // namespace

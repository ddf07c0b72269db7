#include "MEMAREA_Int.h"

#include "plat/clock.h"
#include "plat/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

namespace {

struct Range {
    U32 adr;
    U32 len;
    bool operator==(const Range &o) const { return adr == o.adr && len == o.len; }
};

std::ostream &operator<<(std::ostream &os, const Range &r) {
    return os << "[0x" << std::hex << r.adr << " +0x" << r.len << std::dec << "]";
}

// Bytes whose value tells their address, so misplaced data shows.
std::vector<U8> pattern(U32 adr, U32 len) {
    std::vector<U8> v(len);
    for (U32 i = 0; i < len; ++i) {
        v[i] = static_cast<U8>((adr + i) * 7 + 3);
    }
    return v;
}

class MemArea : public ::testing::Test {
protected:
    void SetUp() override {
        h_ = MEMAREA_Create();
        ASSERT_NE(h_, nullptr);
    }
    void TearDown() override {
        MEMAREA__SetAllocFailAfter(-1);
        MEMAREA_Delete(h_);
    }

    int add(U32 adr, U32 len) {
        auto d = pattern(adr, len);
        return MEMAREA_Add(h_, adr, len, d.data());
    }

    std::vector<Range> ranges() const {
        std::vector<Range> out;
        const int n = MEMAREA_GetNumRanges(h_);
        for (int i = 0; i < n; ++i) {
            Range r{0xDEAD, 0xBEEF};
            MEMAREA_GetRangeInfo(h_, i, &r.adr, &r.len);
            out.push_back(r);
        }
        return out;
    }

    // Every stored byte still carries the pattern of its address.
    void expectPatternIntact() const {
        for (const Range &r : ranges()) {
            std::vector<U8> got(r.len);
            MEMAREA_ReadMem(h_, r.adr, r.len, got.data(), 0);
            EXPECT_EQ(got, pattern(r.adr, r.len)) << r;
        }
        EXPECT_EQ(h_->NumBlocks, ranges().size());
    }

    MEMAREA_HANDLE h_ = nullptr;
};

TEST_F(MemArea, NewImageIsEmptyAndModified) {
    EXPECT_EQ(h_->ModifyCnt, 1u);
    EXPECT_EQ(MEMAREA_GetNumRanges(h_), 0);
    EXPECT_EQ(MEMAREA_GetFirstAddr(h_), 0u);
    EXPECT_EQ(MEMAREA_GetLastAddr(h_), 0u);
    U32 a = 0x55, s = 0x66;
    MEMAREA_GetRangeInfo(h_, 0, &a, &s);
    EXPECT_EQ(a, 0x55u);
    EXPECT_EQ(s, 0x66u);
}

struct AddCase {
    const char *name;
    std::vector<std::pair<U32, U32>> adds; // address, length
    std::vector<int> results;
    std::vector<Range> expected;
};

void PrintTo(const AddCase &c, std::ostream *os) {
    *os << c.name;
}

class MemAreaAdd : public MemArea, public ::testing::WithParamInterface<AddCase> {};

TEST_P(MemAreaAdd, MergesAndRefusesOverlaps) {
    const AddCase &c = GetParam();
    std::vector<int> results;
    for (auto [adr, len] : c.adds) {
        results.push_back(add(adr, len));
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(ranges(), c.expected);
    EXPECT_EQ(h_->ModifyCnt, 1u + c.adds.size());
    expectPatternIntact();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemAreaAdd,
    ::testing::Values(
        AddCase{"AppendThenPrepend", {{0x100, 16}, {0x110, 16}, {0x0F0, 16}}, {0, 0, 0}, {{0x0F0, 48}}},
        AddCase{"FillsGapAndMeltsThree", {{0x00, 16}, {0x20, 16}, {0x10, 16}}, {0, 0, 0}, {{0x00, 0x30}}},
        AddCase{"OverlapAtEnd", {{0x100, 16}, {0x108, 16}}, {0, -1}, {{0x100, 16}}},
        AddCase{"OverlapAtStart", {{0x100, 16}, {0x0F8, 16}}, {0, -1}, {{0x100, 16}}},
        AddCase{"TouchesFirstOverlapsSecond",
                {{0x00, 16}, {0x14, 12}, {0x10, 8}},
                {0, 0, -1},
                {{0x00, 16}, {0x14, 12}}},
        AddCase{"DescendingInsertsKeepOrder",
                {{0x300, 4}, {0x100, 4}, {0x200, 4}, {0x000, 4}},
                {0, 0, 0, 0},
                {{0x000, 4}, {0x100, 4}, {0x200, 4}, {0x300, 4}}},
        AddCase{"PrependToMiddleRange",
                {{0x000, 4}, {0x200, 4}, {0x1F0, 16}},
                {0, 0, 0},
                {{0x000, 4}, {0x1F0, 20}}},
        AddCase{"TopOfAddressSpace", {{0xFFFFFFF0, 16}, {0xFFFFFFE0, 16}}, {0, 0}, {{0xFFFFFFE0, 32}}},
        AddCase{"WrapPastTopRefused",
                {{0xFFFFFFF0, 17}, {0xFFFFFFFF, 1}},
                {MEMAREA_ADD_OUT_OF_RANGE, 0},
                {{0xFFFFFFFF, 1}}}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(MemArea, ZeroLengthRangeAndLastAddress) {
    ASSERT_EQ(MEMAREA_Add(h_, 0x200, 0, nullptr), 0);
    EXPECT_EQ(ranges(), (std::vector<Range>{{0x200, 0}}));
    EXPECT_EQ(MEMAREA_GetLastAddr(h_), 0x1FFu);
    // Data arriving at it grows it like any range.
    ASSERT_EQ(add(0x200, 8), 0);
    EXPECT_EQ(ranges(), (std::vector<Range>{{0x200, 8}}));
    // An empty add inside a stored range has nothing to store.
    ASSERT_EQ(MEMAREA_Add(h_, 0x204, 0, nullptr), 0);
    EXPECT_EQ(ranges(), (std::vector<Range>{{0x200, 8}}));
    expectPatternIntact();
}

TEST_F(MemArea, RangeCoveringAnEmptyRangeKeepsTheListInOrder) {
    ASSERT_EQ(MEMAREA_Add(h_, 0x5F3, 0, nullptr), 0);
    ASSERT_EQ(add(0x519, 242), 0); // covers 0x5F3
    EXPECT_EQ(ranges(), (std::vector<Range>{{0x519, 242}}));
    // and overlaps are still seen afterwards
    EXPECT_EQ(add(0x520, 16), -1);
    expectPatternIntact();
}

TEST_F(MemArea, BufferGrowsByTheExpansionRule) {
    ASSERT_EQ(add(0x1000, 128), 0);
    EXPECT_EQ(h_->pFirstDataObj->AllocLen, 128u);
    ASSERT_EQ(add(0x1080, 16), 0);
    EXPECT_EQ(h_->pFirstDataObj->AllocLen, 416u);
    EXPECT_EQ(h_->pFirstDataObj->Len, 144u);
    // Many ascending appends stay one range and the last-range cache holds.
    for (U32 a = 0x1090; a < 0x1090 + 64 * 1024; a += 32) {
        ASSERT_EQ(add(a, 32), 0);
    }
    EXPECT_EQ(ranges(), (std::vector<Range>{{0x1000, 0x90 + 64 * 1024}}));
    EXPECT_EQ(h_->pLastDataObj, h_->pFirstDataObj);
    expectPatternIntact();
}

struct DeleteCase {
    const char *name;
    U32 from, to;
    std::vector<Range> expected;
};

void PrintTo(const DeleteCase &c, std::ostream *os) {
    *os << c.name;
}

class MemAreaDelete : public MemArea, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(MemAreaDelete, CutsSplitsAndRemoves) {
    ASSERT_EQ(add(0x100, 16), 0);
    ASSERT_EQ(add(0x200, 16), 0);
    const U32 before = h_->ModifyCnt;
    MEMAREA_DeleteArea(h_, GetParam().from, GetParam().to);
    EXPECT_EQ(ranges(), GetParam().expected);
    EXPECT_EQ(h_->ModifyCnt, before + 1);
    expectPatternIntact();
    // The cached last range must still be the list's end.
    EXPECT_EQ(MEMAREA__GetpLastData(h_), h_->pLastDataObj);
    MEMAREA_DATA *r = h_->pFirstDataObj;
    while (r != nullptr && r->pNext != nullptr) {
        r = r->pNext;
    }
    EXPECT_EQ(MEMAREA__GetpLastData(h_), r);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemAreaDelete,
    ::testing::Values(DeleteCase{"Split", 0x104, 0x107, {{0x100, 4}, {0x108, 8}, {0x200, 16}}},
                      DeleteCase{"HeadCut", 0x0F0, 0x103, {{0x104, 12}, {0x200, 16}}},
                      DeleteCase{"TailCut", 0x108, 0x120, {{0x100, 8}, {0x200, 16}}},
                      DeleteCase{"SplitLastRange", 0x204, 0x20B, {{0x100, 16}, {0x200, 4}, {0x20C, 4}}},
                      DeleteCase{"SpansBoth", 0x10C, 0x203, {{0x100, 12}, {0x204, 12}}},
                      DeleteCase{"Everything", 0, 0xFFFFFFFF, {}},
                      DeleteCase{"InvertedWindowHoldsNothing", 0x108, 0x104, {{0x100, 16}, {0x200, 16}}}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(MemArea, ReadMemFillsGapsAndWrapsAtTheTop) {
    ASSERT_EQ(add(0x100, 16), 0);
    U8 out[4];
    EXPECT_EQ(MEMAREA_ReadMem(h_, 0x0FE, 4, out, 0xFF), 0);
    auto p = pattern(0x100, 2);
    EXPECT_EQ(std::vector<U8>(out, out + 4), (std::vector<U8>{0xFF, 0xFF, p[0], p[1]}));

    ASSERT_EQ(add(0xFFFFFFFE, 2), 0);
    ASSERT_EQ(add(0x0, 2), 0);
    MEMAREA_ReadMem(h_, 0xFFFFFFFD, 4, out, 0x1AB); // only the low byte fills
    auto top = pattern(0xFFFFFFFE, 2);
    auto low = pattern(0, 1);
    EXPECT_EQ(std::vector<U8>(out, out + 4), (std::vector<U8>{0xAB, top[0], top[1], low[0]}));
}

TEST_F(MemArea, GetDataBlockWalksInRequestedPieces) {
    ASSERT_EQ(add(0x10, 0x40), 0);
    U8 buf[64];
    U32 a = 0;
    EXPECT_EQ(MEMAREA__GetDataBlock(h_, 0, 0xFFFFFFFF, 0, buf, &a, 32, 0, 0), 32);
    EXPECT_EQ(a, 0x10u);
    EXPECT_EQ(std::vector<U8>(buf, buf + 32), pattern(0x10, 32));
    EXPECT_EQ(MEMAREA__GetDataBlock(h_, 0x30, 0xFFFFFFFF, 0, buf, &a, 32, 0, 0), 32);
    EXPECT_EQ(a, 0x30u);
    a = 0x1234;
    EXPECT_EQ(MEMAREA__GetDataBlock(h_, 0x50, 0xFFFFFFFF, 0, buf, &a, 32, 0, 0), 0);
    EXPECT_EQ(a, 0x1234u);
    // A window whose last address is a range's first address holds that byte.
    EXPECT_EQ(MEMAREA__GetDataBlock(h_, 0, 0x10, 0, buf, &a, 32, 0, 0), 1);
    EXPECT_EQ(a, 0x10u);
}

TEST_F(MemArea, GetDataBlockBridgesGapsUpToMaxGap) {
    ASSERT_EQ(add(0x00, 16), 0);
    ASSERT_EQ(add(0x20, 16), 0);
    U8 buf[64];
    U32 a = 0x99;
    ASSERT_EQ(MEMAREA__GetDataBlock(h_, 0, 0xFFFFFFFF, 16, buf, &a, 48, 0, 0), 48);
    EXPECT_EQ(a, 0u);
    std::vector<U8> expected = pattern(0, 16);
    expected.insert(expected.end(), 16, 0xFF);
    auto tail = pattern(0x20, 16);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(std::vector<U8>(buf, buf + 48), expected);
    EXPECT_EQ(MEMAREA__GetDataBlock(h_, 0, 0xFFFFFFFF, 15, buf, &a, 48, 0, 0), 16);
}

TEST_F(MemArea, GetDataBlockAlignsStartAndEnd) {
    ASSERT_EQ(add(0x13, 5), 0); // 0x13..0x17
    U8 buf[64];
    U32 a = 0;
    // Start aligned down to 16, end padded up to a 16-byte boundary.
    ASSERT_EQ(MEMAREA__GetDataBlock(h_, 0, 0xFFFFFFFF, 0, buf, &a, 64, 4, 4), 16);
    EXPECT_EQ(a, 0x10u);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[3], pattern(0x13, 1)[0]);
    EXPECT_EQ(buf[15], 0xFF);
    // A request shorter than the aligned block is cut back to a boundary.
    ASSERT_EQ(add(0x18, 0x30), 0); // 0x13..0x47
    ASSERT_EQ(MEMAREA__GetDataBlock(h_, 0, 0xFFFFFFFF, 0, buf, &a, 0x2B, 4, 3), 0x28);
    EXPECT_EQ(a, 0x10u);
}

TEST_F(MemArea, ModifiedByteTableOverlaysReadsUntilConsolidated) {
    ASSERT_EQ(add(0x100, 16), 0);
    // Nothing in the library adds entries; fill the table by hand.
    h_->paModByte = static_cast<MEMAREA_MODBYTE *>(std::malloc(3 * sizeof(MEMAREA_MODBYTE)));
    h_->paModByte[0] = {0x105, 0x11};
    h_->paModByte[1] = {0x105, 0x22}; // the later entry wins
    h_->paModByte[2] = {0x300, 0x33}; // outside every range
    h_->NumModifiedBytes = h_->ModBytesAllocSize = 3;

    EXPECT_EQ(MEMAREA__GetByte(h_, 0x105), 0x122);
    EXPECT_EQ(MEMAREA__GetByte(h_, 0x106), pattern(0x106, 1)[0]);
    EXPECT_EQ(MEMAREA__GetByte(h_, 0x200), -1);
    U8 buf[32];
    U32 a = 0;
    ASSERT_EQ(MEMAREA__GetDataBlock(h_, 0x100, 0xFFFFFFFF, 0, buf, &a, 32, 0, 0), 16);
    EXPECT_EQ(buf[5], 0x22);

    EXPECT_EQ(MEMAREA_Consolidate(h_), 1);
    EXPECT_EQ(h_->NumModifiedBytes, 0u);
    EXPECT_EQ(h_->paModByte, nullptr);
    EXPECT_EQ(h_->ModifyCnt, 0u);
    EXPECT_EQ(MEMAREA__GetByte(h_, 0x105), 0x22);
    EXPECT_EQ(MEMAREA__GetByte(h_, 0x300), -1);
    EXPECT_EQ(MEMAREA_Consolidate(h_), 0);
}

TEST_F(MemArea, RangesWithoutStorageReadAsErased) {
    ASSERT_EQ(MEMAREA__Add(h_, 0x100, 8, nullptr, -1), 0);
    EXPECT_EQ(h_->pFirstDataObj->pData, nullptr);
    EXPECT_EQ(MEMAREA__GetByte(h_, 0x104), 0xFF);
    // Data appended to it gives the whole range a buffer.
    ASSERT_EQ(add(0x108, 8), 0);
    ASSERT_EQ(ranges(), (std::vector<Range>{{0x100, 16}}));
    U8 buf[16];
    MEMAREA_ReadMem(h_, 0x100, 16, buf, 0);
    EXPECT_EQ(buf[7], 0xFF);
    EXPECT_EQ(buf[8], pattern(0x108, 1)[0]);
    // And an empty add with a fill value stores that value.
    ASSERT_EQ(MEMAREA__Add(h_, 0x110, 4, nullptr, 0x5A), 0);
    EXPECT_EQ(MEMAREA__GetByte(h_, 0x113), 0x5A);
    EXPECT_EQ(MEMAREA__GetNumBytes(h_), 20);
}

TEST_F(MemArea, AllocationFailuresLeaveTheImageConsistent) {
    ASSERT_EQ(add(0x100, 128), 0);
    ASSERT_EQ(add(0x300, 16), 0);
    const auto before = ranges();

    MEMAREA__SetAllocFailAfter(0);
    EXPECT_EQ(add(0x180, 16), MEMAREA_ADD_NO_MEMORY); // append needs a bigger buffer
    EXPECT_EQ(add(0x500, 16), MEMAREA_ADD_NO_MEMORY); // new range
    EXPECT_EQ(add(0x0F0, 16), MEMAREA_ADD_NO_MEMORY); // prepend
    EXPECT_EQ(ranges(), before);
    expectPatternIntact();

    // A split without memory keeps the range whole instead of losing its tail.
    EXPECT_EQ(MEMAREA__DeleteArea(h_, 0x140, 0x14F), -2);
    EXPECT_EQ(ranges(), before);
    // Cuts need no memory.
    EXPECT_EQ(MEMAREA__DeleteArea(h_, 0x170, 0x2FF), 0);
    EXPECT_EQ(ranges(), (std::vector<Range>{{0x100, 0x70}, {0x300, 16}}));
    MEMAREA__SetAllocFailAfter(-1);
    expectPatternIntact();

    MEMAREA__SetAllocFailAfter(0);
    EXPECT_EQ(MEMAREA_Create(), nullptr);
}

TEST_F(MemArea, LockIsRecursiveAndWaitsAtMostTenSeconds) {
    plat::ScopedVirtualClock clock;
    ASSERT_EQ(MEMAREA__Lock(h_), 0);
    ASSERT_EQ(MEMAREA__Lock(h_), 0); // the owner may lock again
    EXPECT_EQ(add(0x10, 4), 0);

    std::atomic<int> other{1};
    std::atomic<U32> waited{0};
    std::thread t([&] {
        const U32 start = plat::tickMs();
        other = MEMAREA__Lock(h_);
        waited = plat::tickMs() - start;
    });
    // The wait ends when virtual time has passed its ten seconds.
    const auto *lock = static_cast<plat::TimedRecursiveMutex *>(h_->hMutex);
    while (lock->waiting() == 0) {
        std::this_thread::yield();
    }
    clock->advance(10000);
    t.join();
    EXPECT_EQ(other.load(), -1);
    EXPECT_EQ(waited.load(), 10000u);
    std::thread publicAdd([&] {
        other = add(0x20, 4); // the public add gives up as well
    });
    while (lock->waiting() == 0) {
        std::this_thread::yield();
    }
    clock->advance(10000);
    publicAdd.join();
    EXPECT_EQ(other.load(), -2);
    MEMAREA__Unlock(h_);
    MEMAREA__Unlock(h_);

    std::thread t2([&] {
        other = MEMAREA__Lock(h_);
        MEMAREA__Unlock(h_);
    });
    t2.join();
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(ranges(), (std::vector<Range>{{0x10, 4}}));
}

TEST(MemAreaNull, NullHandlesAreRefusedQuietly) {
    U8 buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(MEMAREA_Add(nullptr, 0, 4, buf), -1);
    EXPECT_EQ(MEMAREA_ReadMem(nullptr, 0, 4, buf, 0x77), -1);
    EXPECT_EQ(buf[3], 0x77);
    EXPECT_EQ(MEMAREA_GetNumRanges(nullptr), 0);
    EXPECT_EQ(MEMAREA_GetFirstAddr(nullptr), 0u);
    EXPECT_EQ(MEMAREA_GetLastAddr(nullptr), 0u);
    MEMAREA_DeleteArea(nullptr, 0, 1);
    MEMAREA_GetRangeInfo(nullptr, 0, nullptr, nullptr);
    MEMAREA_Delete(nullptr);
}

} // namespace

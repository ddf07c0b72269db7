// Every public function of the memory image library and its buffered writer,
// called the way careless or hostile callers call them: null handles, names
// and buffers, zero and huge sizes, windows that wrap or run backwards, error
// buffers of length 0, 1 or less, callbacks that pull the image away, and
// files that are directories, fifos, devices, unreadable or enormous.
//
// Each call must give its documented answer, write nothing outside the
// caller's buffers (guard bytes on both sides, error texts cut to their
// length with the terminating zero inside), leave the image as it was when
// it refuses, and leave the library usable. Under the sanitizer build any
// overrun or undefined behaviour fails the test by itself; a hang trips the
// watchdog alarm.
#include "test_util.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <sys/stat.h>

namespace {

using testutil::rec;

using Range = std::pair<U32, U32>;
using Bytes = std::vector<U8>;

constexpr U8 kCanary = 0xA5;
constexpr size_t kGuard = 16;

// A caller's buffer with guard bytes in front of and behind it.
class Guarded {
public:
    explicit Guarded(size_t size) : size_(size), mem_(size + 2 * kGuard, kCanary) {}
    U8 *data() { return mem_.data() + kGuard; }
    char *text() { return reinterpret_cast<char *>(data()); }
    // True when no byte at or past `limit`, and none in front, was written.
    bool untouchedFrom(size_t limit) const {
        for (size_t i = 0; i < mem_.size(); ++i) {
            if ((i < kGuard || i >= kGuard + limit) && mem_[i] != kCanary) {
                return false;
            }
        }
        return true;
    }
    Bytes head(size_t n) const {
        const auto from = mem_.begin() + static_cast<std::ptrdiff_t>(kGuard);
        return Bytes(from, from + static_cast<std::ptrdiff_t>(n));
    }
    size_t size() const { return size_; }

private:
    size_t size_;
    Bytes mem_;
};

Bytes pattern(U32 adr, U32 len) {
    Bytes v(len);
    for (U32 i = 0; i < len; ++i) {
        v[i] = static_cast<U8>((adr + i) * 7 + 3);
    }
    return v;
}

// The image as a caller sees it: every range with its bytes.
using Dump = std::vector<std::pair<Range, Bytes>>;

Dump dump(MEMAREA_HANDLE h) {
    Dump d;
    for (int i = 0; i < MEMAREA_GetNumRanges(h); ++i) {
        U32 a = 0, s = 0;
        MEMAREA_GetRangeInfo(h, i, &a, &s);
        Bytes b(s);
        MEMAREA_ReadMem(h, a, s, b.data(), 0);
        d.emplace_back(Range{a, s}, b);
    }
    return d;
}

// Byte-by-byte reference image; its runs are the ranges a dump must show.
using Model = std::map<U32, U8>;

Dump dumpOf(const Model &m) {
    Dump d;
    U64 runEnd = 0;
    for (auto [a, b] : m) {
        if (d.empty() || a != runEnd) {
            d.emplace_back(Range{a, 0}, Bytes{});
        }
        d.back().first.second++;
        d.back().second.push_back(b);
        runEnd = static_cast<U64>(a) + 1;
    }
    return d;
}

// Three ranges, one of them ending at the top of the address space.
const std::vector<Range> kSeed = {{0x100, 16}, {0x200, 16}, {0xFFFFFFF0, 16}};

Model seedModel() {
    Model m;
    for (auto [a, n] : kSeed) {
        const Bytes b = pattern(a, n);
        for (U32 i = 0; i < n; ++i) {
            m[a + i] = b[i];
        }
    }
    return m;
}

std::string fill(std::string text, const std::string &name) {
    const auto at = text.find("%s");
    return at == std::string::npos ? text : text.replace(at, 2, name);
}

class Hostile : public testutil::ScratchDir {
public:
    // Files of every kind a caller may name.
    std::string at(const std::string &name) const { return path(name); }
    std::string with(const std::string &name, const std::string &text) const { return writeFile(name, text); }
    std::string directory() const { return dir_.string(); }
    std::string fifo() const {
        const std::string p = path("fifo");
        ::mkfifo(p.c_str(), 0666);
        return p;
    }
    std::string readOnly() const {
        const std::string p = writeFile("ro.bin", "keep");
        ::chmod(p.c_str(), 0444);
        return p;
    }
    // Several GiB to look at, none of it on disk.
    std::string enormous() const {
        const std::string p = path("enormous.bin");
        std::ofstream(p, std::ios::binary).flush();
        std::filesystem::resize_file(p, 6ULL << 30);
        return p;
    }

protected:
    void SetUp() override {
        testutil::ScratchDir::SetUp();
        ::alarm(120); // a call that hangs ends the test instead of the run
        seed();
    }
    void TearDown() override {
        ::alarm(0);
        testutil::ScratchDir::TearDown();
    }

    void seed() {
        for (auto [a, n] : kSeed) {
            ASSERT_EQ(MEMAREA_Add(h_, a, n, pattern(a, n).data()), 0);
        }
    }
    void reset() {
        MEMAREA_Delete(h_);
        h_ = MEMAREA_Create();
        ASSERT_NE(h_, nullptr);
        seed();
    }

    // The library still stores and reads after whatever came before.
    void stillWorks() {
        MEMAREA_DeleteArea(h_, 0x5000, 0x5003);
        ASSERT_EQ(MEMAREA_Add(h_, 0x5000, 4, "\x11\x22\x33\x44"), 0);
        U8 b[6] = {};
        EXPECT_EQ(MEMAREA_ReadMem(h_, 0x4FFF, 6, b, 0xEE), 0);
        EXPECT_EQ(Bytes(b, b + 6), (Bytes{0xEE, 0x11, 0x22, 0x33, 0x44, 0xEE}));
        char err[64];
        const std::string out = path("works.hex");
        EXPECT_EQ(MEMAREA_WriteHexFile(h_, out.c_str(), err, sizeof err), 0) << err;
        MEMAREA_HANDLE copy = MEMAREA_Create();
        EXPECT_EQ(MEMAREA_ReadHexFile(copy, out.c_str(), err, sizeof err), 0) << err;
        EXPECT_EQ(dump(copy), dump(h_));
        MEMAREA_Delete(copy);
    }
};

/*********************************************************************
 * Building and reading the image
 */

struct ImageCase {
    ImageCase(const char *n, std::function<I64(MEMAREA_HANDLE, Guarded &)> c, I64 r, Bytes o = {},
              std::vector<Range> a = {})
        : name(n), call(std::move(c)), result(r), out(std::move(o)), added(std::move(a)) {}
    const char *name;
    std::function<I64(MEMAREA_HANDLE, Guarded &)> call;
    I64 result;
    Bytes out;                // what the call writes at the start of the caller's buffer
    std::vector<Range> added; // ranges the call stores (pattern bytes)
};

void PrintTo(const ImageCase &c, std::ostream *os) {
    *os << c.name;
}

class HostileImage : public Hostile, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(HostileImage, AnswersAndTouchesNothingElse) {
    const ImageCase &c = GetParam();
    Model want = seedModel();
    for (auto [a, n] : c.added) {
        const Bytes b = pattern(a, n);
        for (U32 i = 0; i < n; ++i) {
            want[a + i] = b[i];
        }
    }
    Guarded out(64);
    EXPECT_EQ(c.call(h_, out), c.result);
    EXPECT_EQ(out.head(c.out.size()), c.out);
    EXPECT_TRUE(out.untouchedFrom(c.out.size()));
    EXPECT_EQ(dump(h_), dumpOf(want));
    stillWorks();
}

U32 *u32At(Guarded &g) {
    return reinterpret_cast<U32 *>(g.data());
}

Bytes le32(U32 v) {
    return {static_cast<U8>(v), static_cast<U8>(v >> 8), static_cast<U8>(v >> 16), static_cast<U8>(v >> 24)};
}

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kData = pattern(0, 0x200);

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileImage,
    ::testing::Values(
        ImageCase{"AddNullHandle", [](auto, auto &) { return MEMAREA_Add(nullptr, 0, 4, kData.data()); }, -1},
        ImageCase{"AddWrapsPastTop",
                  [](auto h, auto &) { return MEMAREA_Add(h, 0xFFFFFF00, 0x200, kData.data()); },
                  MEMAREA_ADD_OUT_OF_RANGE},
        ImageCase{"AddEndsExactlyAtTop",
                  [](auto h, auto &) {
                      return MEMAREA_Add(h, 0xFFFFFFE0, 16, pattern(0xFFFFFFE0, 16).data());
                  },
                  0,
                  {},
                  {{0xFFFFFFE0, 16}}},
        ImageCase{"AddOverlaps", [](auto h, auto &) { return MEMAREA_Add(h, 0x108, 16, kData.data()); }, -1},
        ImageCase{"AddWholeSpaceWithoutData",
                  [](auto h, auto &) { return MEMAREA_Add(h, 0, 0xFFFFFFFF, nullptr); },
                  -1},
        ImageCase{"AddNothingInsideARange", [](auto h, auto &) { return MEMAREA_Add(h, 0x104, 0, nullptr); }, 0},
        ImageCase{"ReadNullHandleFillsTheBuffer",
                  [](auto, auto &o) { return MEMAREA_ReadMem(nullptr, 0x100, 8, o.data(), 0x1234); },
                  -1,
                  Bytes(8, 0x34)},
        ImageCase{"ReadNothing", [](auto h, auto &o) { return MEMAREA_ReadMem(h, 0x100, 0, o.data(), 0); }, 0},
        ImageCase{"ReadHugeCountIntoNoBuffer",
                  [](auto h, auto &) { return MEMAREA_ReadMem(h, 0, 0xFFFFFFFF, nullptr, 0); },
                  0},
        ImageCase{"ReadWrapsAtTheTop",
                  [](auto h, auto &o) { return MEMAREA_ReadMem(h, 0xFFFFFFF8, 16, o.data(), -1); },
                  0,
                  cat(pattern(0xFFFFFFF8, 8), Bytes(8, 0xFF))},
        ImageCase{"ReadFillTakesTheLowByte",
                  [](auto h, auto &o) { return MEMAREA_ReadMem(h, 0x0FE, 4, o.data(), 0x7FFFFF5A); },
                  0,
                  cat(Bytes{0x5A, 0x5A}, pattern(0x100, 2))},
        ImageCase{"RangeInfoNegativeIndex",
                  [](auto h, auto &o) {
                      MEMAREA_GetRangeInfo(h, -1, u32At(o), u32At(o) + 1);
                      return 0;
                  },
                  0},
        ImageCase{"RangeInfoPastTheEnd",
                  [](auto h, auto &o) {
                      MEMAREA_GetRangeInfo(h, 3, u32At(o), u32At(o) + 1);
                      MEMAREA_GetRangeInfo(h, INT_MAX, u32At(o), u32At(o) + 1);
                      return 0;
                  },
                  0},
        ImageCase{"RangeInfoNoOutputs",
                  [](auto h, auto &) {
                      MEMAREA_GetRangeInfo(h, 0, nullptr, nullptr);
                      MEMAREA_GetRangeInfo(nullptr, 0, nullptr, nullptr);
                      return 0;
                  },
                  0},
        ImageCase{"RangeInfoOneOutput",
                  [](auto h, auto &o) {
                      MEMAREA_GetRangeInfo(h, 2, nullptr, u32At(o));
                      MEMAREA_GetRangeInfo(h, 2, u32At(o) + 1, nullptr);
                      return 0;
                  },
                  0,
                  cat(le32(16), le32(0xFFFFFFF0))},
        ImageCase{"CountsOfNoImage",
                  [](auto, auto &) {
                      return static_cast<I64>(MEMAREA_GetNumRanges(nullptr)) + MEMAREA_GetFirstAddr(nullptr) +
                             MEMAREA_GetLastAddr(nullptr);
                  },
                  0},
        ImageCase{"LastAddressAtTheTop", [](auto h, auto &) { return I64{MEMAREA_GetLastAddr(h)}; }, 0xFFFFFFFF},
        ImageCase{"ConsolidateNoImage", [](auto, auto &) { return MEMAREA_Consolidate(nullptr); }, -1},
        ImageCase{"ConsolidateKeepsTheBytes", [](auto h, auto &) { return MEMAREA_Consolidate(h); }, 0},
        ImageCase{"DeleteNoImage",
                  [](auto, auto &) {
                      MEMAREA_Delete(nullptr);
                      return 0;
                  },
                  0}),
    [](const auto &p) { return std::string(p.param.name); });

/*********************************************************************
 * Windows: cutting, splitting and consolidating
 */

struct Window {
    const char *name;
    U32 adr, endAdr;
};

void PrintTo(const Window &w, std::ostream *os) {
    *os << w.name;
}

const Window kWindows[] = {
    {"Inverted", 0x20F, 0x100},
    {"InvertedWholeSpace", 0xFFFFFFFF, 0},
    {"WholeSpace", 0, 0xFFFFFFFF},
    {"TopByte", 0xFFFFFFFF, 0xFFFFFFFF},
    {"ByteZero", 0, 0},
    {"EndsAtTheTop", 0xFFFFFFF8, 0xFFFFFFFF},
    {"SplitsTheTopRange", 0xFFFFFFF4, 0xFFFFFFF7},
    {"FromZeroCutsAHead", 0, 0x103},
    {"Splits", 0x104, 0x107},
    {"SpansTwoRanges", 0x10C, 0x203},
    {"ExactlyOneRange", 0x200, 0x20F},
    {"OnlyTheGap", 0x110, 0x1FF},
    {"LastByteOfARange", 0x10F, 0x10F},
};

class HostileWindow : public Hostile, public ::testing::WithParamInterface<Window> {};

void cut(Model &m, U32 adr, U32 endAdr) {
    if (adr <= endAdr) {
        m.erase(m.lower_bound(adr), m.upper_bound(endAdr));
    }
}

TEST_P(HostileWindow, DeletesExactlyTheWindow) {
    const Window &w = GetParam();
    Model want = seedModel();
    cut(want, w.adr, w.endAdr);
    MEMAREA_DeleteArea(nullptr, w.adr, w.endAdr);
    MEMAREA_DeleteArea(h_, w.adr, w.endAdr);
    EXPECT_EQ(dump(h_), dumpOf(want));
    const Dump d = dumpOf(want);
    EXPECT_EQ(MEMAREA_GetFirstAddr(h_), d.empty() ? 0u : d.front().first.first);
    EXPECT_EQ(MEMAREA_GetLastAddr(h_), d.empty() ? 0u : d.back().first.first + d.back().first.second - 1);
    EXPECT_EQ(MEMAREA_Consolidate(h_), 0);
    EXPECT_EQ(dump(h_), dumpOf(want));

    // Refilling the window's stored part restores the seed: the cut pieces
    // were left in order and merge again.
    for (auto [a, n] : kSeed) {
        for (U32 i = 0; i < n; ++i) {
            if (want.count(a + i) == 0) {
                const Bytes b = pattern(a + i, 1);
                ASSERT_EQ(MEMAREA_Add(h_, a + i, 1, b.data()), 0) << a + i;
            }
        }
    }
    EXPECT_EQ(dump(h_), dumpOf(seedModel()));
    stillWorks();
}

TEST_F(Hostile, AllWindowsInARowMatchTheModel) {
    Model want = seedModel();
    for (const Window &w : kWindows) {
        cut(want, w.adr, w.endAdr);
        MEMAREA_DeleteArea(h_, w.adr, w.endAdr);
        ASSERT_EQ(dump(h_), dumpOf(want)) << w.name;
        // Put a little back each time so that later windows find something.
        const U32 a = 0x100 + static_cast<U32>(want.size() % 16);
        if (want.count(a) == 0 && MEMAREA_Add(h_, a, 1, "\x42") == 0) {
            want[a] = 0x42;
        }
        ASSERT_EQ(dump(h_), dumpOf(want)) << w.name;
    }
    stillWorks();
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileWindow, ::testing::ValuesIn(kWindows),
                         [](const auto &p) { return std::string(p.param.name); });

/*********************************************************************
 * Files: one table per format; every case runs once for each shape of the
 * caller's error buffer.
 */

struct ErrBuf {
    const char *name;
    bool null;
    int len;
};

const ErrBuf kErrBufs[] = {
    {"null", true, 64}, {"negative", false, -1}, {"zero", false, 0},
    {"one", false, 1},  {"ten", false, 10},      {"whole", false, 64},
};

// Calls that refuse before they look at the error buffer.
const std::string kUntouched = "(untouched)";

// The text a call left, checked against the one it should have left, cut to
// the declared length with its terminating zero inside.
void expectText(Guarded &g, const ErrBuf &e, const std::string &want) {
    if (e.null || e.len <= 0 || want == kUntouched) {
        EXPECT_TRUE(g.untouchedFrom(0)) << e.name;
        return;
    }
    const size_t len = static_cast<size_t>(e.len);
    EXPECT_TRUE(g.untouchedFrom(len)) << e.name;
    const Bytes head = g.head(len);
    const auto zero = std::find(head.begin(), head.end(), 0);
    ASSERT_NE(zero, head.end()) << e.name << ": no terminating zero";
    EXPECT_EQ(std::string(head.begin(), zero), want.substr(0, len - 1)) << e.name;
}

enum class Count { Zero, Kept, Any };

using FileCall = std::function<int(MEMAREA_HANDLE, const char *, char *, int)>;
using FileName = std::function<std::optional<std::string>(Hostile &)>;

struct FileCase {
    FileCase(const char *n, FileName f, FileCall c, int r, std::string t, Count m,
             std::vector<std::pair<U32, Bytes>> a = {}, std::optional<std::string> w = std::nullopt)
        : name(n), file(std::move(f)), call(std::move(c)), result(r), text(std::move(t)), modifyCount(m),
          added(std::move(a)), written(std::move(w)) {}
    const char *name;
    std::function<std::optional<std::string>(Hostile &)> file; // nullopt: a null name
    std::function<int(MEMAREA_HANDLE, const char *, char *, int)> call;
    int result;
    std::string text; // %s: the file's name
    Count modifyCount;
    std::vector<std::pair<U32, Bytes>> added; // what the call stores
    std::optional<std::string> written;       // the file a writer leaves
};

void PrintTo(const FileCase &c, std::ostream *os) {
    *os << c.name;
}

class HostileFile : public Hostile, public ::testing::WithParamInterface<FileCase> {};

TEST_P(HostileFile, AnswersWithinTheCallersBuffer) {
    const FileCase &c = GetParam();
    for (const ErrBuf &e : kErrBufs) {
        SCOPED_TRACE(e.name);
        reset();
        const std::optional<std::string> name = c.file(*this);
        Model want = seedModel();
        for (const auto &[a, b] : c.added) {
            for (size_t i = 0; i < b.size(); ++i) {
                want[a + static_cast<U32>(i)] = b[i];
            }
        }
        const U32 countBefore = h_->ModifyCnt;
        Guarded err(64);
        const int r = c.call(h_, name ? name->c_str() : nullptr, e.null ? nullptr : err.text(), e.len);
        // The writers (the cases named so) refuse a null text buffer at once.
        const bool refused = e.null && std::string(c.name).rfind("Write", 0) == 0;
        EXPECT_EQ(r, refused ? -1 : c.result);
        expectText(err, e, fill(c.text, name.value_or("")));
        EXPECT_EQ(dump(h_), refused ? dumpOf(seedModel()) : dumpOf(want));
        if (refused || c.modifyCount == Count::Kept) {
            EXPECT_EQ(h_->ModifyCnt, countBefore);
        } else if (c.modifyCount == Count::Zero) {
            EXPECT_EQ(h_->ModifyCnt, 0u);
        }
        if (c.written && !refused) {
            EXPECT_EQ(readFile(*name), *c.written);
        }
        stillWorks();
    }
}

// Calls that hand the image the whole error buffer of an ErrBuf.
int readHex(MEMAREA_HANDLE h, const char *f, char *e, int n) {
    return MEMAREA_ReadHexFile(h, f, e, n);
}
int writeHex(MEMAREA_HANDLE h, const char *f, char *e, int n) {
    return MEMAREA_WriteHexFile(h, f, e, n);
}
std::function<int(MEMAREA_HANDLE, const char *, char *, int)> readBin(U32 sAddr) {
    return [sAddr](MEMAREA_HANDLE h, const char *f, char *e, int n) {
        return MEMAREA_ReadBinFile(h, f, e, n, sAddr);
    };
}
std::function<int(MEMAREA_HANDLE, const char *, char *, int)> writeBin(U32 sAddr, U32 eAddr) {
    return [sAddr, eAddr](MEMAREA_HANDLE h, const char *f, char *e, int n) {
        return MEMAREA_WriteBinFile(h, f, e, n, sAddr, eAddr);
    };
}

auto named(const char *n) {
    return [n](Hostile &) -> std::optional<std::string> { return std::string(n); };
}
auto scratch(const char *n) {
    return [n](Hostile &t) -> std::optional<std::string> { return t.at(n); };
}
auto content(const char *n, std::string text) {
    return [n, text](Hostile &t) -> std::optional<std::string> { return t.with(n, text); };
}
const auto kNullName = [](Hostile &) -> std::optional<std::string> { return std::nullopt; };
const auto kDirectory = [](Hostile &t) -> std::optional<std::string> { return t.directory(); };
const auto kFifo = [](Hostile &t) -> std::optional<std::string> { return t.fifo(); };
const auto kReadOnly = [](Hostile &t) -> std::optional<std::string> { return t.readOnly(); };
const auto kEnormous = [](Hostile &t) -> std::optional<std::string> { return t.enormous(); };

const std::string kOpen = "Could not open file [%s]\n";
const char *const kOverlong = [] {
    static const std::string name = "/tmp/" + std::string(5000, 'n');
    return name.c_str();
}();
const std::string kEof = ":00000001FF\r\n";

// The seed image as the HEX writer puts it.
std::string seedHex() {
    return rec(0, 0x100, pattern(0x100, 16)) + "\r\n" + rec(0, 0x200, pattern(0x200, 16)) + "\r\n" +
           rec(4, 0, {0xFF, 0xFF}) + "\r\n" + rec(0, 0xFFF0, pattern(0xFFFFFFF0, 16)) + "\r\n" + kEof;
}

INSTANTIATE_TEST_SUITE_P(
    Hex, HostileFile,
    ::testing::Values(
        FileCase{"ReadNullName", kNullName, readHex, -1, kOpen + "The filename syntax is incorrect!",
                 Count::Zero},
        FileCase{"ReadMissing", scratch("missing.hex"), readHex, -1, kOpen + "File not found!", Count::Zero},
        // The name is text in the message, never a format.
        FileCase{"ReadNameWithFormatDirectives", scratch("%n%s%x%%.hex"), readHex, -1,
                 kOpen + "File not found!", Count::Zero},
        FileCase{"ReadOverlongName", named(kOverlong), readHex, -1,
                 kOpen + "The filename syntax is incorrect!", Count::Zero},
        FileCase{"ReadDirectory", kDirectory, readHex, -1, kOpen + "Access is denied!", Count::Zero},
        FileCase{"ReadFifoWithoutWriter", kFifo, readHex, -4, "Error in line 1: Not a hex file", Count::Zero},
        FileCase{"ReadEmptyDevice", named("/dev/null"), readHex, -4, "Error in line 1: Not a hex file",
                 Count::Zero},
        // A read error counts as the end of the text.
        FileCase{"ReadUnreadable", named("/proc/self/mem"), readHex, -1, "Could not read file.", Count::Zero},
        FileCase{"ReadEnormous", kEnormous, readHex, -4, "Error in line 1: Not a hex file", Count::Zero},
        FileCase{"ReadTruncatedRecord", content("t.hex", ":0400000001020304"), readHex, -5,
                 "Error in line 1: Expected Hex character : 0..9, A..F", Count::Zero},
        FileCase{
            "ReadPastTheTop",
            content("top.hex", rec(4, 0, {0xFF, 0xFF}) + "\r\n" + rec(0, 0xFFF8, pattern(0, 16)) + "\r\n"),
            readHex, -5, "Error in line 2: Address out of range", Count::Zero},
        FileCase{"ReadOverlap", content("o.hex", rec(0, 0x108, {1}) + "\r\n"), readHex, -5,
                 "Error in line 1: Areas overlap", Count::Zero},
        FileCase{"ReadAdds",
                 content("ok.hex", rec(0, 0x300, {1, 2, 3}) + "\r\n" + kEof),
                 readHex,
                 0,
                 "",
                 Count::Zero,
                 {{0x300, {1, 2, 3}}}},
        FileCase{"ReadNoImage", content("ok.hex", kEof),
                 [](auto, const char *f, char *e, int n) { return MEMAREA_ReadHexFile(nullptr, f, e, n); },
                 -1, "", Count::Any},
        FileCase{"WriteNullName", kNullName, writeHex, -1, "Could not write file. Invalid filename.",
                 Count::Kept},
        FileCase{"WriteDirectory", kDirectory, writeHex, -1, "Could not write file. Access denied.\n%s",
                 Count::Kept},
        FileCase{"WriteFifoWithoutReader", kFifo, writeHex, -1, "Could not write file.\n%s", Count::Kept},
        FileCase{"WriteReadOnly",
                 kReadOnly,
                 writeHex,
                 -1,
                 "Could not write file. File has read only attribute.\n%s",
                 Count::Kept,
                 {},
                 "keep"},
        FileCase{"WriteMissingDirectory", scratch("no/dir.hex"), writeHex, -1, "Could not write file.\n%s",
                 Count::Kept},
        FileCase{"WriteFullDevice", named("/dev/full"), writeHex, -1, "Error writing file.", Count::Kept},
        FileCase{"WriteNoImage", scratch("none.hex"),
                 [](auto, const char *f, char *e, int n) { return MEMAREA_WriteHexFile(nullptr, f, e, n); },
                 -1, kUntouched, Count::Any},
        FileCase{"Write", scratch("ok.hex"), writeHex, 0, "", Count::Zero, {}, seedHex()}),
    [](const auto &p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Bin, HostileFile,
    ::testing::Values(
        FileCase{"ReadNullName", kNullName, readBin(0x300), -1, kOpen + "The filename syntax is incorrect!",
                 Count::Zero},
        FileCase{"ReadDirectory", kDirectory, readBin(0x300), -1, kOpen + "Access is denied!", Count::Zero},
        FileCase{"ReadFifoWithoutWriter", kFifo, readBin(0x300), 0, "", Count::Zero},
        FileCase{"ReadEmptyDevice", named("/dev/null"), readBin(0x300), 0, "", Count::Zero},
        FileCase{"ReadUnreadable", named("/proc/self/mem"), readBin(0x300), -1, "Could not read file.",
                 Count::Zero},
        FileCase{"ReadEndlessDevicePastTheTop", named("/dev/zero"), readBin(0xFFFFF000), -1,
                 "Could not read file. File does not fit below 4 GB.", Count::Zero},
        FileCase{"ReadEnormousPastTheTop", kEnormous, readBin(0xFFFFF000), -1,
                 "Could not read file. File does not fit below 4 GB.", Count::Zero},
        // Refused up front: nothing of it is loaded first.
        FileCase{"ReadEnormousFromZero", kEnormous, readBin(0), -1,
                 "Could not read file. File does not fit below 4 GB.", Count::Zero},
        FileCase{"ReadOneBytePastTheTop", content("over.bin", std::string(0x10001, 'x')), readBin(0xFFFF0000),
                 -1, "Could not read file. File does not fit below 4 GB.", Count::Zero},
        FileCase{"ReadOverlapIsRefused", content("o.bin", "abcd"), readBin(0x10E), -1,
                 "Could not read file. It overlaps data already in the image at 0x00000110.", Count::Zero},
        FileCase{"ReadFitsUnderTheTop",
                 content("t.bin", "abcd"),
                 readBin(0xFFFFFFEC),
                 0,
                 "",
                 Count::Zero,
                 {{0xFFFFFFEC, {'a', 'b', 'c', 'd'}}}},
        FileCase{"ReadNoImage", content("o.bin", "abcd"),
                 [](auto, const char *f, char *e, int n) { return MEMAREA_ReadBinFile(nullptr, f, e, n, 0); },
                 -1, "", Count::Any},
        FileCase{"WriteNullName", kNullName, writeBin(0, 0xFFFFFFFF), -1,
                 "Could not write file. Invalid filename.", Count::Kept},
        FileCase{"WriteOverlongName", named(kOverlong), writeBin(0x100, 0x10F), -1,
                 "Could not write file.\n%s", Count::Kept},
        FileCase{"WriteDirectory", kDirectory, writeBin(0x100, 0x10F), -1,
                 "Could not write file. Access denied.\n%s", Count::Kept},
        FileCase{"WriteFifoWithoutReader", kFifo, writeBin(0x100, 0x10F), -1, "Could not write file.\n%s",
                 Count::Kept},
        FileCase{"WriteFullDevice", named("/dev/full"), writeBin(0x100, 0x10F), -1, "Error writing file.",
                 Count::Kept},
        FileCase{
            "WriteInvertedWindow", scratch("inv.bin"), writeBin(0x20F, 0x100), 0, "", Count::Zero, {}, ""},
        FileCase{"WriteTopByte",
                 scratch("top.bin"),
                 writeBin(0xFFFFFFFF, 0xFFFFFFFF),
                 0,
                 "",
                 Count::Zero,
                 {},
                 std::string(1, static_cast<char>(pattern(0xFFFFFFFF, 1)[0]))},
        FileCase{"WriteToTheTop",
                 scratch("top.bin"),
                 writeBin(0xFFFFFFEE, 0xFFFFFFFF),
                 0,
                 "",
                 Count::Zero,
                 {},
                 "\xFF\xFF" +
                     std::string(reinterpret_cast<const char *>(pattern(0xFFFFFFF0, 16).data()), 16)},
        FileCase{"WriteNoImage", scratch("none.bin"),
                 [](auto, const char *f, char *e,
                    int n) { return MEMAREA_WriteBinFile(nullptr, f, e, n, 0, 0xFFFFFFFF); },
                 -1, kUntouched, Count::Any}),
    [](const auto &p) { return std::string(p.param.name); });

// A null error buffer makes the writers refuse at once: no file appears.
TEST_F(Hostile, WritersWithoutAnErrorBufferCreateNoFile) {
    const std::string hex = path("n.hex");
    const std::string bin = path("n.bin");
    EXPECT_EQ(MEMAREA_WriteHexFile(h_, hex.c_str(), nullptr, 64), -1);
    EXPECT_EQ(MEMAREA_WriteBinFile(h_, bin.c_str(), nullptr, 64, 0, 0xFFFFFFFF), -1);
    EXPECT_FALSE(std::filesystem::exists(hex));
    EXPECT_FALSE(std::filesystem::exists(bin));
    EXPECT_EQ(dump(h_), dumpOf(seedModel()));
    stillWorks();
}

// Progress callbacks that empty the image under the file functions' feet.
TEST_F(Hostile, CallbacksThatEmptyTheImage) {
    auto wipe = [](void *ctx, const MEMAREA_STATUS_INFO *) {
        MEMAREA_DeleteArea(static_cast<MEMAREA_HANDLE>(ctx), 0, 0xFFFFFFFF);
    };
    char err[64];
    // Reads: every record or chunk lands on an emptied image; the last stays.
    const std::string hex = writeFile("in.hex", rec(0, 0x10, {1}) + "\r\n" + rec(0, 0x20, {2}) + "\r\n");
    EXPECT_EQ(MEMAREA_ReadHexFileEx(h_, hex.c_str(), err, sizeof err, wipe, h_), 0) << err;
    EXPECT_EQ(dump(h_), (Dump{{{0x20, 1}, {2}}}));
    const std::string bin = writeFile("in.bin", std::string(0x9000, 'b'));
    EXPECT_EQ(MEMAREA_ReadBinFileEx(h_, bin.c_str(), err, sizeof err, 0x1000, wipe, h_), 0) << err;
    EXPECT_EQ(dump(h_), (Dump{{{0x9000, 0x1000}, Bytes(0x1000, 'b')}}));

    // Writes: what was taken before the wipe is written, nothing after it.
    reset();
    const std::string outHex = path("out.hex");
    EXPECT_EQ(MEMAREA_WriteHexFileEx(h_, outHex.c_str(), err, sizeof err, wipe, h_), 0) << err;
    EXPECT_EQ(readFile(outHex), rec(0, 0x100, pattern(0x100, 16)) + "\r\n" + kEof);
    reset();
    const std::string outBin = path("out.bin");
    EXPECT_EQ(MEMAREA_WriteBinFileEx(h_, outBin.c_str(), err, sizeof err, 0x100, 0x20F, wipe, h_), 0) << err;
    EXPECT_EQ(readFile(outBin), "");
    EXPECT_EQ(MEMAREA_GetNumRanges(h_), 0);
    stillWorks();
}

/*********************************************************************
 * The buffered writer
 */

struct OutCase {
    const char *name;
    std::function<std::optional<std::string>(Hostile &)> file;
    bool created;
    std::string text; // after create, writes and close; %s: the file's name
};

void PrintTo(const OutCase &c, std::ostream *os) {
    *os << c.name;
}

class HostileOutFile : public Hostile, public ::testing::WithParamInterface<OutCase> {};

TEST_P(HostileOutFile, KeepsTheFirstFaultWithinTheBuffer) {
    const OutCase &c = GetParam();
    const Bytes data = pattern(0, 64);
    for (const ErrBuf &e : kErrBufs) {
        if (e.len < 0) {
            continue; // the length is unsigned here
        }
        SCOPED_TRACE(e.name);
        const std::optional<std::string> name = c.file(*this);
        Guarded err(64);
        char *sErr = e.null ? nullptr : err.text();
        OUTFILE_HANDLE f = OUTFILE_Create(name ? name->c_str() : nullptr, sErr, static_cast<U32>(e.len));
        EXPECT_EQ(f != nullptr, c.created);
        // A null handle takes every call quietly; a live one collects.
        OUTFILE_Write(f, nullptr, 0);
        OUTFILE_Write(f, data.data(), 0);
        OUTFILE_Write(f, data.data(), 40);
        OUTFILE_Write(f, nullptr, OUTFILE_BUFFER_SIZE); // padding, one whole buffer
        OUTFILE_Close(f);
        OUTFILE_Close(nullptr);
        expectText(err, e, fill(c.text, name.value_or("")));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileOutFile,
    ::testing::Values(OutCase{"NullName", kNullName, false, "Could not write file. Invalid filename."},
                      OutCase{"EmptyName", named(""), false, "Could not write file. Invalid filename."},
                      OutCase{"Directory", kDirectory, false, "Could not write file. Access denied.\n%s"},
                      OutCase{"FifoWithoutReader", kFifo, false, "Could not write file.\n%s"},
                      OutCase{"ReadOnly", kReadOnly, false,
                              "Could not write file. File has read only attribute.\n%s"},
                      OutCase{"MissingDirectory", scratch("no/dir.bin"), false, "Could not write file.\n%s"},
                      OutCase{"FullDevice", named("/dev/full"), true, "Error writing file."},
                      OutCase{"Regular", scratch("ok.bin"), true, ""}),
    [](const auto &p) { return std::string(p.param.name); });

// What the writer leaves: the bytes, then the padding, nothing else.
TEST_F(Hostile, OutFileWritesWhatItWasGiven) {
    const std::string p = path("o.bin");
    char err[8];
    std::memset(err, 'x', sizeof err);
    OUTFILE_HANDLE f = OUTFILE_Create(p.c_str(), err, 1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(err[0], '\0');
    EXPECT_EQ(err[1], 'x');
    OUTFILE_Write(f, "ab", 2);
    OUTFILE_Write(f, nullptr, 3);
    OUTFILE_Close(f);
    EXPECT_EQ(readFile(p), "ab\xFF\xFF\xFF");
    EXPECT_EQ(std::string(err + 1, 7), "xxxxxxx");
}

} // namespace

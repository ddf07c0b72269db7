// Intel HEX interchange with the tools people actually use next to us:
// files that objcopy and srec_cat write must load byte-exact, and files we
// write must give objcopy and srec_cat the same bytes at the same addresses.
#include "MEMAREA.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Chunk {
    U32 adr;
    U32 len;
};

// Chunks are listed in ascending order and never touch, so each one must
// come back as exactly one range.
struct PeerCase {
    const char *name;
    unsigned seed;
    std::vector<Chunk> fixed;
    // Optional random scatter after the fixed chunks: count chunks of 1..maxLen
    // bytes, separated by gaps of 1..maxGap bytes, starting at scatterBase.
    int scatterCount;
    U32 scatterBase;
    U32 maxLen;
    U32 maxGap;
};

struct Image {
    std::vector<Chunk> chunks;
    std::vector<std::vector<U8>> data;

    U64 first() const { return chunks.front().adr; }
    U64 last() const { return static_cast<U64>(chunks.back().adr) + chunks.back().len - 1; }
    bool hasBytesIn(U64 lo, U64 hi) const {
        return std::any_of(chunks.begin(), chunks.end(), [&](const Chunk &c) {
            return c.adr <= hi && static_cast<U64>(c.adr) + c.len - 1 >= lo;
        });
    }
    // The window [first, last] as a flat file: 0xFF wherever nothing is stored.
    std::vector<U8> flat() const {
        std::vector<U8> out(static_cast<size_t>(last() - first() + 1), 0xFF);
        for (size_t i = 0; i < chunks.size(); ++i) {
            std::copy(data[i].begin(), data[i].end(),
                      out.begin() + static_cast<long>(chunks[i].adr - first()));
        }
        return out;
    }
    std::map<U64, U8> bytes() const {
        std::map<U64, U8> out;
        for (size_t i = 0; i < chunks.size(); ++i) {
            for (U32 k = 0; k < chunks[i].len; ++k) {
                out[static_cast<U64>(chunks[i].adr) + k] = data[i][k];
            }
        }
        return out;
    }
};

Image MakeImage(const PeerCase &pc) {
    std::mt19937 rng(pc.seed);
    Image img;
    img.chunks = pc.fixed;
    U64 adr = pc.scatterBase;
    for (int i = 0; i < pc.scatterCount; ++i) {
        const U32 len = 1 + static_cast<U32>(rng() % pc.maxLen);
        img.chunks.push_back({static_cast<U32>(adr), len});
        adr += len + 1 + rng() % pc.maxGap;
    }
    for (const Chunk &c : img.chunks) {
        std::vector<U8> d(c.len);
        for (U8 &b : d) {
            b = static_cast<U8>(rng());
        }
        img.data.push_back(std::move(d));
    }
    return img;
}

const PeerCase kCases[] = {
    {"Below64K", 1, {{0x0, 1}, {0x2, 31}, {0x40, 33}, {0x100, 1000}, {0xFEF0, 0x110}}, 0, 0, 0, 0},
    // Below 1 MiB: a chunk across the first 64 KiB boundary and one that
    // ends on the last byte below 1 MiB.
    {"SegmentArea",
     2,
     {{0x1000, 16}, {0xFFF0, 64}, {0x12345, 5000}, {0x80000, 1}, {0xFFF00, 0x100}},
     0,
     0,
     0,
     0},
    // Segment records below 1 MiB, linear ones above, and a chunk that runs
    // across the 1 MiB line.
    {"SegmentAndLinear",
     3,
     {{0x100, 200}, {0xFF80, 300}, {0xFFFE0, 0x40}, {0x10FFF0, 100}, {0x123456, 4000}, {0x1FFFFF, 1}},
     0,
     0,
     0,
     0},
    {"TopOfAddressSpace", 4, {{0xFFF80000, 77}, {0xFFFEFFF0, 64}, {0xFFFFFF00, 256}}, 0, 0, 0, 0},
    // Many small chunks from 56 KiB to past 1 MiB.
    {"Scattered", 5, {}, 300, 0xE000, 600, 5000},
};

std::string Hex(U64 v) {
    char s[32];
    std::snprintf(s, sizeof s, "0x%llX", static_cast<unsigned long long>(v));
    return s;
}

std::string Quote(const fs::path &p) {
    return "'" + p.string() + "'";
}

std::string Slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<U8> SlurpBytes(const fs::path &p) {
    const std::string s = Slurp(p);
    return {s.begin(), s.end()};
}

void WriteBytes(const fs::path &p, const std::vector<U8> &d) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(d.data()), static_cast<std::streamsize>(d.size()));
}

// Record types of an Intel HEX file, in file order, with their data bytes.
struct Record {
    int type;
    std::string line;
    std::vector<U8> data;
};

std::vector<Record> ParseRecords(const fs::path &p) {
    std::vector<Record> out;
    std::istringstream in(Slurp(p));
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.pop_back();
        }
        if (line.size() < 11 || line[0] != ':') {
            continue;
        }
        auto byteAt = [&](size_t i) {
            return static_cast<U8>(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16));
        };
        Record r{byteAt(3), line, {}};
        for (size_t i = 0; i < byteAt(0); ++i) {
            r.data.push_back(byteAt(4 + i));
        }
        out.push_back(std::move(r));
    }
    return out;
}

bool HasType(const std::vector<Record> &recs, int type) {
    return std::any_of(recs.begin(), recs.end(), [&](const Record &r) { return r.type == type; });
}

// "@ADDR" followed by byte tokens: objcopy's verilog and srec_cat's vmem output.
std::map<U64, U8> ParseAddressedDump(const fs::path &p) {
    std::map<U64, U8> out;
    std::istringstream in(Slurp(p));
    std::string tok;
    U64 adr = 0;
    bool inComment = false;
    while (in >> tok) {
        if (inComment || tok.rfind("/*", 0) == 0) {
            inComment = tok.find("*/") == std::string::npos;
            continue;
        }
        if (tok[0] == '@') {
            adr = std::stoull(tok.substr(1), nullptr, 16);
        } else {
            out[adr++] = static_cast<U8>(std::stoul(tok, nullptr, 16));
        }
    }
    return out;
}

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "ferrox-peer-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    ::testing::AssertionResult Run(const std::string &cmd) const {
        const fs::path log = dir_ / "tool.log";
        const int st = std::system((cmd + " >" + Quote(log) + " 2>&1").c_str());
        if (st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << cmd << "\n  exit status " << st << ": " << Slurp(log);
    }

    // Writes each chunk as its own binary file; returns their paths.
    std::vector<fs::path> WriteChunkFiles(const Image &img) const {
        std::vector<fs::path> paths;
        for (size_t i = 0; i < img.chunks.size(); ++i) {
            paths.push_back(dir_ / ("c" + std::to_string(i) + ".bin"));
            WriteBytes(paths.back(), img.data[i]);
        }
        return paths;
    }

    fs::path dir_;
};

/*********************************************************************
 * Files written by the peers, read by us
 */

enum class Producer { Objcopy, SrecCat, SrecCat20Bit, SrecCatLongRecords };

struct ReadCase {
    const PeerCase *pc;
    Producer producer;
};

const char *ProducerName(Producer p);

// Test names carry the case names; without these gtest would print pointers.
void PrintTo(const ReadCase &c, std::ostream *os) {
    *os << c.pc->name << " from " << ProducerName(c.producer);
}

const char *ProducerName(Producer p) {
    switch (p) {
    case Producer::Objcopy:
        return "objcopy";
    case Producer::SrecCat:
        return "srec_cat";
    case Producer::SrecCat20Bit:
        return "srec_cat_20bit";
    case Producer::SrecCatLongRecords:
        return "srec_cat_255";
    }
    return "?";
}

std::vector<ReadCase> ReadCases() {
    std::vector<ReadCase> out;
    for (const PeerCase &pc : kCases) {
        const Image img = MakeImage(pc);
        for (Producer p :
             {Producer::Objcopy, Producer::SrecCat, Producer::SrecCat20Bit, Producer::SrecCatLongRecords}) {
            // 20-bit addresses reach only 1 MiB.
            if (p == Producer::SrecCat20Bit && img.last() > 0xFFFFF) {
                continue;
            }
            out.push_back({&pc, p});
        }
    }
    return out;
}

class PeerWrittenHex : public PeerTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(PeerWrittenHex, LoadsByteExact) {
    const Image img = MakeImage(*GetParam().pc);
    const Producer producer = GetParam().producer;
    const std::vector<fs::path> parts = WriteChunkFiles(img);
    const fs::path hex = dir_ / "peer.hex";

    if (producer == Producer::Objcopy) {
        // One ELF section per chunk, placed at the chunk's address.
        const fs::path elf = dir_ / "img.elf";
        ASSERT_TRUE(Run(std::string(FERROX_OBJCOPY) + " -I binary -O elf32-i386 -B i386 --change-addresses " +
                        Hex(img.chunks[0].adr) + " " + Quote(parts[0]) + " " + Quote(elf)));
        if (parts.size() > 1) {
            std::string cmd = FERROX_OBJCOPY;
            for (size_t i = 1; i < parts.size(); ++i) {
                const std::string sec = ".c" + std::to_string(i);
                cmd += " --add-section " + sec + "=" + Quote(parts[i]) + " --set-section-flags " + sec +
                       "=alloc,load,contents --change-section-address " + sec + "=" + Hex(img.chunks[i].adr);
            }
            ASSERT_TRUE(Run(cmd + " " + Quote(elf)));
        }
        ASSERT_TRUE(Run(std::string(FERROX_OBJCOPY) + " -O ihex " + Quote(elf) + " " + Quote(hex)));
    } else {
        std::string cmd = FERROX_SREC_CAT;
        for (size_t i = 0; i < parts.size(); ++i) {
            cmd += " " + Quote(parts[i]) + " -binary -offset " + Hex(img.chunks[i].adr);
        }
        cmd += " -o " + Quote(hex) + " -intel";
        if (producer == Producer::SrecCat20Bit) {
            cmd += " -address-length=3";
        } else if (producer == Producer::SrecCatLongRecords) {
            cmd += " -obs=255";
        }
        ASSERT_TRUE(Run(cmd));
    }

    // The file must really use the extended address records this case is
    // about, or the test would prove less than it claims.
    const std::vector<Record> recs = ParseRecords(hex);
    const bool segmentArea = img.hasBytesIn(0x10000, 0xFFFFF);
    const bool above1M = img.hasBytesIn(0x100000, 0xFFFFFFFF);
    if (producer == Producer::Objcopy) {
        EXPECT_EQ(HasType(recs, 0x02), segmentArea);
        EXPECT_EQ(HasType(recs, 0x04), above1M);
    } else if (producer == Producer::SrecCat20Bit) {
        // srec_cat may open with a zero base record; only presence counts.
        EXPECT_TRUE(HasType(recs, 0x02) || !segmentArea);
        EXPECT_FALSE(HasType(recs, 0x04));
    } else {
        EXPECT_TRUE(HasType(recs, 0x04) || !(segmentArea || above1M));
    }
    if (producer == Producer::SrecCatLongRecords) {
        EXPECT_TRUE(
            std::any_of(recs.begin(), recs.end(), [](const Record &r) { return r.data.size() > 200; }));
    }

    MEMAREA_HANDLE h = MEMAREA_Create();
    ASSERT_NE(h, nullptr);
    char err[512] = "untouched";
    ASSERT_EQ(MEMAREA_ReadHexFile(h, hex.c_str(), err, sizeof err), 0) << err;
    EXPECT_STREQ(err, "");
    ASSERT_EQ(MEMAREA_GetNumRanges(h), static_cast<int>(img.chunks.size()));
    for (size_t i = 0; i < img.chunks.size(); ++i) {
        U32 adr = 0;
        U32 len = 0;
        MEMAREA_GetRangeInfo(h, static_cast<int>(i), &adr, &len);
        ASSERT_EQ(Hex(adr), Hex(img.chunks[i].adr)) << "range " << i;
        ASSERT_EQ(len, img.chunks[i].len) << "range " << i;
        std::vector<U8> got(len);
        EXPECT_EQ(MEMAREA_ReadMem(h, adr, len, got.data(), 0), 0);
        EXPECT_TRUE(got == img.data[i]) << "contents of range " << i << " at " << Hex(adr);
    }
    MEMAREA_Delete(h);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerWrittenHex, ::testing::ValuesIn(ReadCases()),
                         [](const ::testing::TestParamInfo<ReadCase> &p) {
                             std::string n =
                                 std::string(p.param.pc->name) + "_" + ProducerName(p.param.producer);
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

/*********************************************************************
 * Files written by us, read by the peers
 */

struct CaseRef {
    const PeerCase *pc;
};

void PrintTo(const CaseRef &c, std::ostream *os) {
    *os << c.pc->name;
}

class OwnHex : public PeerTest, public ::testing::WithParamInterface<CaseRef> {};

std::vector<CaseRef> AllCases() {
    std::vector<CaseRef> out;
    for (const PeerCase &pc : kCases) {
        out.push_back({&pc});
    }
    return out;
}

TEST_P(OwnHex, PeersReadTheSameBytes) {
    const Image img = MakeImage(*GetParam().pc);
    const std::vector<U8> flat = img.flat();
    const std::map<U64, U8> bytes = img.bytes();

    // Added out of order, so that the image is built by inserts, prepends
    // and merges rather than by appends only.
    MEMAREA_HANDLE h = MEMAREA_Create();
    ASSERT_NE(h, nullptr);
    std::vector<size_t> order(img.chunks.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(GetParam().pc->seed));
    for (size_t i : order) {
        ASSERT_EQ(MEMAREA_Add(h, img.chunks[i].adr, img.chunks[i].len, img.data[i].data()), 0)
            << "chunk " << i;
    }
    const fs::path hex = dir_ / "own.hex";
    const fs::path bin = dir_ / "own.bin";
    char err[512] = "untouched";
    ASSERT_EQ(MEMAREA_WriteHexFile(h, hex.c_str(), err, sizeof err), 0) << err;
    ASSERT_EQ(MEMAREA_WriteBinFile(h, bin.c_str(), err, sizeof err, static_cast<U32>(img.first()),
                                   static_cast<U32>(img.last())),
              0)
        << err;
    MEMAREA_Delete(h);
    ASSERT_TRUE(SlurpBytes(bin) == flat) << "own binary file differs from the image";

    // A linear base record must never be written while a segment base is
    // still in force: every reader adds the two.
    const std::vector<Record> recs = ParseRecords(hex);
    U32 segment = 0;
    bool sawLinear = false;
    for (size_t i = 0; i < recs.size(); ++i) {
        if (recs[i].type == 0x02) {
            segment = static_cast<U32>(recs[i].data.at(0) << 8 | recs[i].data.at(1));
        } else if (recs[i].type == 0x04) {
            EXPECT_EQ(segment, 0U) << "line " << i + 1 << ": " << recs[i].line;
            if (!sawLinear && i > 0 && HasType({recs.begin(), recs.begin() + static_cast<long>(i)}, 0x02)) {
                EXPECT_EQ(recs[i - 1].line, ":020000020000FC") << "line " << i;
            }
            sawLinear = true;
        }
    }
    // Records start at the data and hold at most 32 bytes, so a byte at or
    // above 64 KiB needs a base record and nothing at or below 0xFF00 does.
    if (img.hasBytesIn(0x10000, 0xFFFFF)) {
        EXPECT_TRUE(HasType(recs, 0x02));
    }
    if (!img.hasBytesIn(0xFF01, 0xFFFFF)) {
        EXPECT_FALSE(HasType(recs, 0x02));
    }
    EXPECT_EQ(HasType(recs, 0x04), std::any_of(img.chunks.begin(), img.chunks.end(),
                                               [](const Chunk &c) { return c.adr > 0xFFFFF; }));

    // objcopy: binary from the lowest address, gaps as 0xFF, and the
    // absolute placement of every byte.
    const fs::path objBin = dir_ / "objcopy.bin";
    const fs::path objDump = dir_ / "objcopy.v";
    ASSERT_TRUE(Run(std::string(FERROX_OBJCOPY) + " -I ihex -O binary --gap-fill 0xFF " + Quote(hex) + " " +
                    Quote(objBin)));
    EXPECT_TRUE(SlurpBytes(objBin) == flat) << "objcopy -O binary differs";
    ASSERT_TRUE(
        Run(std::string(FERROX_OBJCOPY) + " -I ihex -O verilog " + Quote(hex) + " " + Quote(objDump)));
    EXPECT_TRUE(ParseAddressedDump(objDump) == bytes) << "objcopy places bytes elsewhere";

    // srec_cat: gaps inside the file's own span filled with 0xFF, moved down
    // to the first address.
    const fs::path srecBin = dir_ / "srec_cat.bin";
    const fs::path srecDump = dir_ / "srec_cat.vmem";
    ASSERT_TRUE(Run(std::string(FERROX_SREC_CAT) + " '(' " + Quote(hex) + " -intel -fill 0xFF -over '(' " +
                    Quote(hex) + " -intel ')' ')' -offset -" + Hex(img.first()) + " -o " + Quote(srecBin) +
                    " -binary"));
    EXPECT_TRUE(SlurpBytes(srecBin) == flat) << "srec_cat -binary differs";
    ASSERT_TRUE(
        Run(std::string(FERROX_SREC_CAT) + " " + Quote(hex) + " -intel -o " + Quote(srecDump) + " -vmem 8"));
    EXPECT_TRUE(ParseAddressedDump(srecDump) == bytes) << "srec_cat places bytes elsewhere";
}

INSTANTIATE_TEST_SUITE_P(Peers, OwnHex, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<CaseRef> &p) {
                             return std::string(p.param.pc->name);
                         });

} // namespace

// The memories, protection, erase, signatures and version items against the
// simulated probe and target, in-process and over TCP/IP.
#include "FerroxConst.h"
#include "capture.h"
#include "cpu_state.h"
#include "main_log.h"
#include "sim_tcp_server.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using ferrox_test::captured;

namespace {

constexpr const char *kKey = "00112233445566778899AABBCCDDEEFF";

// The 24-bit signature the target reports for an image, as the host
// computes it: little-endian words through a register shifting towards bit
// 0 with feedback 0xD80000, each word entering at bits 8..23.
std::uint32_t hostSignature(const std::vector<std::uint8_t> &image) {
    std::uint32_t s = 0;
    for (std::size_t i = 0; i + 1 < image.size(); i += 2) {
        const std::uint32_t w = image[i] | static_cast<std::uint32_t>(image[i + 1]) << 8;
        s = (s >> 1) ^ ((s & 1u) != 0 ? 0xD80000u : 0u) ^ (w << 8);
    }
    return s;
}

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>((i * 37 + seed) ^ (i >> 8));
    }
    return v;
}

// Counts the target commands of every request the library sends.
class CommandCount {
public:
    void record(const std::uint8_t *p, std::size_t n) {
        if (n < 3 || p[0] != 0xCD) {
            return;
        }
        const std::size_t count = static_cast<std::size_t>(p[1] | p[2] << 8);
        ++requests_;
        for (std::size_t i = 0; i + 3 < count && 3 + 2 * (i + 3) + 1 < n;) {
            const auto word = [p](std::size_t k) {
                return static_cast<std::uint16_t>(p[3 + 2 * k] | p[4 + 2 * k] << 8);
            };
            switch (word(i) >> 8) {
            case 0:
                i += 2u + word(i + 1);
                break;
            case 1:
                codes_.push_back(word(i + 2));
                i += 4;
                break;
            case 2:
                i += 5;
                break;
            case 8:
                i += 6;
                break;
            default:
                i += 2;
            }
        }
    }
    std::size_t count(std::uint16_t code) const {
        std::size_t c = 0;
        for (std::uint16_t x : codes_) {
            c += x == code ? 1u : 0u;
        }
        return c;
    }
    std::size_t requests() const { return requests_; }

private:
    std::vector<std::uint16_t> codes_;
    std::size_t requests_ = 0;
};

class MemorySim : public ::testing::Test {
protected:
    MemorySim() : front_(probe_) {
        probe_.setTrace([this](bool toProbe, const std::uint8_t *p, std::size_t n) {
            if (toProbe) {
                commands_.record(p, n);
            }
        });
    }
    void SetUp() override {
        ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
        ASSERT_EQ(FERROX_CPU_EnterMonitor(), 0);
    }
    template <typename F> auto target(F &&f) {
        return front_.withProbe([&](sim::Probe &p) { return f(p.target()); });
    }

    plat::ScopedVirtualClock clock_{1000};
    sim::Probe probe_{*clock_};
    sim::DeviceFront front_;
    CommandCount commands_;
};

// Writes through one export and reads back through the other, across
// chunk and page boundaries, and checks the target's own copy.
void roundTrips() {
    struct Case {
        const char *what;
        std::function<int(U32, U32, const U8 *)> write;
        std::function<int(U32, U32, U8 *)> read;
        U32 addr;
        U32 count;
    };
    const Case cases[] = {
        {"DATA", FERROX_CPU_SetData, FERROX_CPU_GetData, 0x00F1, 600},
        {"EEPROM", FERROX_CPU_ProgEEPROM, FERROX_CPU_GetEEPROM, 0x003E, 331},
        {"EROM", FERROX_CPU_ProgEROM, FERROX_CPU_GetEROM, 0x0042, 603},
        {"EROM from an odd address", FERROX_CPU_ProgEROM, FERROX_CPU_GetEROM, 0x0341, 301},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::uint8_t> image = pattern(c.count, c.addr);
        EXPECT_EQ(c.write(c.addr, c.count, image.data()), static_cast<int>(c.count));
        std::vector<std::uint8_t> back(c.count + 2, 0xEE);
        EXPECT_EQ(c.read(c.addr, c.count, back.data()), static_cast<int>(c.count));
        EXPECT_EQ(std::vector<std::uint8_t>(back.begin(), back.begin() + c.count), image);
        EXPECT_EQ(back[c.count], 0xEE); // nothing beyond the count
    }
}

TEST_F(MemorySim, EveryMemoryIsWrittenAndReadBackAcrossChunksAndPages) {
    roundTrips();
    // The target holds what was written, next to what it held before.
    const auto image = pattern(603, 0x42);
    target([&](sim::Target &t) {
        EXPECT_EQ(t.erom()[0x20], 0xFFFF);
        EXPECT_EQ(t.erom()[0x21], image[0] | image[1] << 8);
        EXPECT_EQ(t.dataMemory()[0x00F1], pattern(600, 0xF1)[0]);
        EXPECT_EQ(t.eeprom()[0x3D], 0xFF);
        return 0;
    });
    // An odd EROM start keeps the byte below it.
    const U8 two[2] = {0x12, 0x34};
    EXPECT_EQ(FERROX_CPU_ProgEROM(0x1001, 2, two), 2);
    target([](sim::Target &t) {
        EXPECT_EQ(t.erom()[0x800], 0x12FF);
        EXPECT_EQ(t.erom()[0x801], 0xFF34);
        return 0;
    });
    // ULP: 70 pages from page 0x3E, two read requests.
    std::vector<U32> pages(70);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        pages[i] = 0x01000193u * static_cast<U32>(i + 1);
    }
    EXPECT_EQ(FERROX_CPU_ProgULP(0x3E, 70, pages.data()), 70);
    std::vector<U32> back(70);
    EXPECT_EQ(FERROX_CPU_GetULP(0x3E, 70, back.data()), 70);
    EXPECT_EQ(back, pages);
    EXPECT_EQ(FERROX_CPU_ProgUlpBytes(0x3E, 0x6, 0xAABBCCDD), 0);
    EXPECT_EQ(FERROX_CPU_GetULP(0x3E, 1, back.data()), 1);
    EXPECT_EQ(back[0], (pages[0] & 0xFF0000FFu) | 0x00BBCC00u);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(MemorySim, AReadFailingAfterSomeChunksKeepsWhatItRead) {
    const auto image = pattern(256, 7);
    target([&](sim::Target &t) {
        std::copy(image.begin(), image.end(), t.dataMemory().end() - 300);
        return 0;
    });
    std::vector<std::uint8_t> buf(400, 0);
    // The second chunk runs past the end of DATA: the probe refuses its
    // address, the call fails, and the first chunk's bytes stay.
    EXPECT_EQ(FERROX_CPU_GetData(8192 - 300, 400, buf.data()), -1);
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 256), image);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_INVALID);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"Address parameter invalid on DATA read or write."});
    // A brown-out in a later EEPROM chunk fails the call.
    MAIN_SetErrorReported(0);
    captured().errors.clear();
    target([](sim::Target &t) {
        t.injectBrownOuts(-1);
        return 0;
    });
    EXPECT_EQ(FERROX_CPU_GetEEPROM(0, 300, buf.data()), -1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Brown out occurred."});
}

// The probe refuses addresses beyond each memory itself; its trailer's code
// reaches the user as that memory's address message, on reads and writes.
TEST_F(MemorySim, AddressesBeyondAMemoryAreToldByTheProbe) {
    const char *const dataText = "Address parameter invalid on DATA read or write.";
    const char *const eepromText = "Address parameter invalid on EEPROM read or write.";
    const char *const eromText = "Address parameter invalid on EROM read or write.";
    std::vector<std::uint8_t> buf(64, 0x5A);
    struct Case {
        const char *what;
        std::function<int()> call;
        const char *text;
        int code;
    };
    const Case cases[] = {
        {"GetData", [&] { return FERROX_CPU_GetData(0x1FFE, 4, buf.data()); }, dataText, 15},
        {"SetData", [&] { return FERROX_CPU_SetData(0x2000, 2, buf.data()); }, dataText, 15},
        {"GetEEPROM", [&] { return FERROX_CPU_GetEEPROM(0x0FFF, 2, buf.data()); }, eepromText, 11},
        {"ProgEEPROM", [&] { return FERROX_CPU_ProgEEPROM(0x1000, 1, buf.data()); }, eepromText, 11},
        {"GetEROM", [&] { return FERROX_CPU_GetEROM(0x7FFE, 4, buf.data()); }, eromText, 10},
        {"ProgEROM word", [&] { return FERROX_CPU_ProgEROM(0x8000, 2, buf.data()); }, eromText, 10},
        {"ProgEROM page", [&] { return FERROX_CPU_ProgEROM(0x8000, 64, buf.data()); }, eromText, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FERROX_ClrError();
        captured().errors.clear();
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(captured().errors, std::vector<std::string>{c.text});
        EXPECT_EQ(MAIN_GetLastErrorCode(), c.code);
    }
}

TEST_F(MemorySim, ProgrammingFailuresAreReported) {
    target([](sim::Target &t) {
        t.injectProgramFailures(1);
        return 0;
    });
    const auto image = pattern(128, 3);
    EXPECT_EQ(FERROX_CPU_ProgEEPROM(0, 128, image.data()), -1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Programming failed."});
    MAIN_SetErrorReported(0); // a pending error refuses every guarded call
    target([](sim::Target &t) {
        t.injectProgramFailures(1);
        return 0;
    });
    EXPECT_EQ(FERROX_CPU_ProgEROM(0x40, 128, image.data()), -4);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_NV_ERROR);
}

TEST_F(MemorySim, BitRunsBitFieldsAndPageCopies) {
    const U8 ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    // Bits 4..19 of the run from word 0x100: the high 12 bits of the first
    // word and the low 4 of the second.
    EXPECT_EQ(FERROX_CPU_ProgPfBits(0x100, 4, 16, ones), 0);
    U8 zeros[4] = {};
    EXPECT_EQ(FERROX_CPU_ProgPfBits(0x100, 0, 4, zeros), 0);
    target([](sim::Target &t) {
        EXPECT_EQ(t.erom()[0x100], 0xFFF0);
        EXPECT_EQ(t.erom()[0x101], 0xFFFF);
        return 0;
    });
    EXPECT_EQ(FERROX_CPU_SetBitField(0x0200, 4, 8, 0xAB), 0);
    U8 word[2] = {};
    EXPECT_EQ(FERROX_CPU_GetData(0x0200, 2, word), 2);
    EXPECT_EQ(word[0], 0xB0);
    EXPECT_EQ(word[1], 0x0A);
    const auto page = pattern(64, 9);
    EXPECT_EQ(FERROX_CPU_ProgEROM(0x40, 64, page.data()), 64);
    EXPECT_EQ(FERROX_CPU_CopyPage(1, 0x1FF), 0);
    std::vector<std::uint8_t> back(64);
    EXPECT_EQ(FERROX_CPU_GetEROM(0x1FF * 64, 64, back.data()), 64);
    EXPECT_EQ(back, page);
    EXPECT_EQ(FERROX_CPU_IoTest(1), 0);
    EXPECT_TRUE(target([](sim::Target &t) { return t.ioTestMode(); }));
    EXPECT_EQ(FERROX_CPU_IoTest(0), 0);
    EXPECT_FALSE(target([](sim::Target &t) { return t.ioTestMode(); }));
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(MemorySim, ProtectionIsLiftedByTheKeyOrByErase) {
    EXPECT_EQ(FERROX_CPU_IsProtected(), 0);
    const auto image = pattern(64, 1);
    ASSERT_EQ(FERROX_CPU_ProgEROM(0, 64, image.data()), 64);
    EXPECT_EQ(FERROX_CPU_Protect(), 0);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 1);
    U8 buf[64] = {};
    EXPECT_EQ(FERROX_CPU_GetEROM(0, 64, buf), -1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{"Target is protected."});
    MAIN_SetErrorReported(0);
    // Protecting again sends no protect command.
    EXPECT_EQ(FERROX_CPU_Protect(), -1);
    EXPECT_EQ(commands_.count(C_PROTECT), 1u);
    EXPECT_EQ(FERROX_CPU_Unprotect("FF112233445566778899AABBCCDDEEFF"), -1);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_PARAMETER);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 1);
    EXPECT_EQ(FERROX_CPU_Unprotect("00112233445566778899aabbccddeeff"), 0);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 0);
    EXPECT_EQ(FERROX_CPU_GetEROM(0, 64, buf), 64);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 64), image);

    EXPECT_EQ(FERROX_CPU_Protect(), 0);
    EXPECT_EQ(FERROX_CPU_Erase(), 0);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 0);
    EXPECT_EQ(FERROX_CPU_GetEROM(0, 64, buf), 64);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 64), std::vector<std::uint8_t>(64, 0xFF));
    EXPECT_EQ(front_.withProbe([](sim::Probe &p) { return p.answerTimeout(); }), 0u);
}

TEST_F(MemorySim, TargetSignatureMatchesTheHostOnesOverTheSameErom) {
    const auto image = pattern(2048, 5);
    ASSERT_EQ(FERROX_CPU_ProgEROM(0x1000, 2048, image.data()), 2048);
    std::vector<std::uint8_t> erom(32768);
    ASSERT_EQ(FERROX_CPU_GetEROM(0, 32768, erom.data()), 32768);
    U8 sig[4] = {};
    EXPECT_EQ(FERROX_CPU_CalcSign(0, 4, sig), 4);
    const std::uint32_t value = static_cast<std::uint32_t>(sig[0] | sig[1] << 8 | sig[2] << 16) |
                                static_cast<std::uint32_t>(sig[3]) << 24;
    EXPECT_EQ(value, hostSignature(erom));
    EXPECT_NE(value, hostSignature(std::vector<std::uint8_t>(32768, 0xFF)));
    // An instance the target does not know is refused silently.
    EXPECT_EQ(FERROX_CPU_CalcSign(99, 4, sig), -1);
    EXPECT_EQ(FERROX_CPU_GetLastResponse(), TAMSA_STATUS_CODE_PARAMETER);
    // Version items: count first, then the items.
    const int n = FERROX_CPU_GetVersion(nullptr);
    ASSERT_EQ(n, static_cast<int>(sim::Target::versionItems().size()));
    std::vector<U32> items(static_cast<std::size_t>(n));
    EXPECT_EQ(FERROX_CPU_GetVersion(items.data()), n);
    EXPECT_EQ(items, sim::Target::versionItems());
    EXPECT_TRUE(captured().errors.empty());
}

TEST(MemorySimProtected, EraseSetsTheTimeLimitBackWhenTheTargetIsLostAfterwards) {
    plat::ScopedVirtualClock clock(1000);
    sim::ProbeOptions options;
    options.targetProtected = true;
    sim::Probe probe(*clock, options);
    sim::DeviceFront front(probe);
    // The target goes away as soon as it has answered the erase.
    bool eraseSent = false;
    probe.setTrace([&](bool toProbe, const std::uint8_t *p, std::size_t n) {
        if (toProbe) {
            CommandCount c;
            c.record(p, n);
            eraseSent = eraseSent || c.count(C_ERASE) == 1;
        } else if (eraseSent) {
            eraseSent = false;
            probe.setTargetPresent(false);
        }
    });
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 1);
    EXPECT_EQ(FERROX_CPU_Erase(), 0);
    EXPECT_EQ(CPU_IsMonitorEntryFailed(), 1); // the entry after the erase found no target
    EXPECT_EQ(front.withProbe([](sim::Probe &p) { return p.answerTimeout(); }), 0u);
    EXPECT_TRUE(front.withProbe([](sim::Probe &p) { return !p.target().isProtected(); }));
    EXPECT_TRUE(captured().errors.empty());
    // Without a target the next guarded call cannot reach the monitor.
    U8 b = 0;
    EXPECT_EQ(FERROX_CPU_GetEROM(0, 1, &b), -1);
}

TEST(MemorySimTcp, MemoriesAndProtectionOverTcp) {
    plat::ScopedVirtualClock clock(1000);
    sim::Probe probe(*clock);
    ferrox_test::SimTcpServer tcp(probe);
    ASSERT_TRUE(tcp.start());
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(FERROX_CPU_EnterMonitor(), 0);
    roundTrips();
    U32 page = 0xCAFEF00D;
    EXPECT_EQ(FERROX_CPU_ProgULP(5, 1, &page), 1);
    page = 0;
    EXPECT_EQ(FERROX_CPU_GetULP(5, 1, &page), 1);
    EXPECT_EQ(page, 0xCAFEF00Du);
    EXPECT_EQ(FERROX_CPU_Protect(), 0);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 1);
    U8 sig[4] = {};
    EXPECT_EQ(FERROX_CPU_CalcSign(1, 4, sig), 4);
    EXPECT_EQ(FERROX_CPU_Unprotect(kKey), 0);
    EXPECT_EQ(FERROX_CPU_IsProtected(), 0);
    EXPECT_EQ(FERROX_CPU_GetVersion(nullptr), static_cast<int>(sim::Target::versionItems().size()));
    EXPECT_TRUE(captured().errors.empty());
    FERROX_CloseEx(2);
}

} // namespace

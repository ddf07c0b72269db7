// The probe layer at wire level against the scripted probe: command bytes,
// answer layouts, caches, range checks, one-shot reporting, the firmware
// download and the text commands.
#include "api.h"
#include "capture.h"
#include "cpu_state.h"
#include "firmware.h"
#include "link.h"
#include "main_log.h"
#include "probe.h"
#include "probe_script.h"
#include "scripted_probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <cstring>

using ferrox_test::Bytes;
using ferrox_test::captured;
using ferrox_test::firmwareAnswer;
using ferrox_test::hwStatus;
using ferrox_test::le32;
using ferrox_test::OpenScript;
using ferrox_test::ScriptedProbe;

namespace {

constexpr std::uint32_t kConfigCaps = 0x30; // configuration memory readable and writable

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return b;
}

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An open connection to the scripted probe; every test ends with the
// script played exactly.
class ProbeWire : public ::testing::Test {
protected:
    void open(const OpenScript &s = {}) {
        ferrox_test::scriptOpen(probe_, s);
        ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
        opened_ = probe_.writes().size();
    }
    // Only the test's own exchanges.
    std::vector<Bytes> writes() const {
        const auto all = probe_.writes();
        return std::vector<Bytes>(all.begin() + static_cast<std::ptrdiff_t>(opened_), all.end());
    }
    void TearDown() override {
        EXPECT_TRUE(probe_.mismatches().empty()) << probe_.mismatches().front();
        EXPECT_TRUE(probe_.scriptDone());
    }
    plat::ScopedVirtualClock clock_{0};
    ScriptedProbe probe_;
    std::size_t opened_ = 0;
};

TEST_F(ProbeWire, OpenReadsFirmwareCapsAndConfigTwiceAroundTheSupplySwitch) {
    OpenScript s;
    s.caps = kConfigCaps;
    s.config = pattern(256, 3);
    open(s);
    const auto all = probe_.writes();
    EXPECT_EQ(all,
              (std::vector<Bytes>{{0x01}, {0xE8}, {0x8E}, {0x07}, {0xF2, 0x00}, {0x01}, {0xE8}, {0x8E}}));
    EXPECT_EQ(FERROX_EMU_GetCaps(), kConfigCaps);
    U8 config[256] = {};
    EXPECT_EQ(FERROX_EMU_ReadConfigMem(config, 0, 256), 0);
    EXPECT_EQ(Bytes(config, config + 256), s.config);
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(ProbeWire, ExtendedCapabilitiesReplaceTheFirstWord) {
    open();
    const Bytes extended = cat(le32(0x80000071u), pattern(28, 1));
    probe_.expect({0xE8}, le32(0x80000000u));
    probe_.expect({0xED}, extended);
    EMU_ReadCaps();
    EXPECT_EQ(FERROX_EMU_GetCaps(), 0x80000071u);
    EXPECT_EQ(EMU_GetCaps(7), (U32{extended[28]} | U32{extended[29]} << 8 | U32{extended[30]} << 16 |
                               U32{extended[31]} << 24));
    EXPECT_FALSE(EMU_IsProbeUnusable());

    // A short extended answer counts as far as it came and is reported once.
    probe_.expect({0xE8}, le32(0x80000001u));
    probe_.expect({0xED}, extended, ScriptedProbe::Reply::Short, 2);
    FERROX_ClrError();
    API_Lock("test");
    EMU_ReadCaps();
    API_Unlock();
    // Two bytes of 0xED over the word of 0xE8.
    EXPECT_EQ(EMU_GetCaps(0), 0x80000071u);
    EXPECT_TRUE(EMU_IsProbeUnusable());
    ASSERT_FALSE(captured().errors.empty());
    EXPECT_EQ(captured().errors.back(), "Could not read Quidor capabilities.");
}

TEST_F(ProbeWire, ConfigMemoryRangeChecks) {
    OpenScript s;
    s.caps = kConfigCaps;
    s.config = pattern(256, 9);
    open(s);
    struct Case {
        U32 off;
        U32 num;
        bool nullData;
        int result;
    };
    for (const Case &c : {Case{255, 1, false, 0}, Case{255, 2, false, 1}, Case{256, 0, false, 1},
                          Case{0, 257, false, 1}, Case{0, 256, false, 0}, Case{0xFFFFFFFFu, 2, false, 1},
                          Case{10, 1, true, 1}, Case{10, 0, true, 0}}) {
        SCOPED_TRACE(testing::Message() << c.off << "/" << c.num);
        U8 out[258];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(FERROX_EMU_ReadConfigMem(c.nullData ? nullptr : out, c.off, c.num), c.result);
        if (c.result == 0 && !c.nullData) {
            EXPECT_EQ(Bytes(out, out + c.num),
                      Bytes(s.config.begin() + c.off, s.config.begin() + c.off + c.num));
            EXPECT_EQ(out[c.num], 0xEE); // nothing beyond the count
        }
        // The write export applies the same check before any exchange.
        if (c.result == 1) {
            EXPECT_EQ(FERROX_EMU_WriteConfigMem(c.nullData ? nullptr : out, c.off, c.num), 1);
        }
    }
    EXPECT_TRUE(writes().empty());
}

TEST_F(ProbeWire, ConfigMemoryNeedsItsCapabilityBits) {
    OpenScript s;
    s.caps = 0x10; // readable only
    open(s);
    U8 b[2] = {1, 2};
    EXPECT_EQ(FERROX_EMU_WriteConfigMem(b, 4, 1), 2);
    EXPECT_EQ(FERROX_EMU_SetUSBAddr(1), 2);
    EXPECT_EQ(FERROX_EMU_ReadConfigMem(b, 4, 1), 0);
    EXPECT_TRUE(writes().empty());
}

TEST(ProbeWireCaps, WithoutReadBitConfigIsNeitherLoadedNorRead) {
    plat::ScopedVirtualClock clock(0);
    ScriptedProbe probe;
    ferrox_test::scriptOpen(probe); // caps 0: no 0x8E in the open
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    U8 b[1];
    EXPECT_EQ(FERROX_EMU_ReadConfigMem(b, 0, 1), 2);
    EXPECT_TRUE(probe.mismatches().empty());
}

TEST_F(ProbeWire, WriteConfigStoresTheWholeMemoryAndComparesTheReadBack) {
    OpenScript s;
    s.caps = kConfigCaps;
    s.config = pattern(256, 0);
    open(s);
    Bytes expected = s.config;
    expected[4] = 2;
    expected[5] = 7;
    probe_.expect(cat({0x8F}, expected), {});
    probe_.expect({0x8E}, expected);
    const U8 sel[2] = {2, 7};
    EXPECT_EQ(FERROX_EMU_WriteConfigMem(sel, CONFIG_OFF_VOLTAGE_SEL, 2), 0);

    // The probe keeps its own value: the copy holds what it read back.
    Bytes sent = expected;
    sent[4] = 1;
    Bytes probeHas = expected;
    probeHas[4] = 0xFF;
    probe_.expect(cat({0x8F}, sent), {});
    probe_.expect({0x8E}, probeHas);
    const U8 one = 1;
    EXPECT_EQ(FERROX_EMU_WriteConfigMem(&one, CONFIG_OFF_VOLTAGE_SEL, 1), -1);
    U8 now[256];
    EXPECT_EQ(FERROX_EMU_ReadConfigMem(now, 0, 256), 0);
    EXPECT_EQ(Bytes(now, now + 256), probeHas);
}

TEST_F(ProbeWire, SetUsbAddrWritesByteZeroOrRefusesWithoutExchange) {
    OpenScript s;
    s.caps = kConfigCaps;
    open(s);
    EXPECT_EQ(FERROX_EMU_SetUSBAddr(4), 1);
    EXPECT_TRUE(writes().empty());
    Bytes config(256, 0);
    config[0] = 3;
    probe_.expect(cat({0x8F}, config), {});
    probe_.expect({0x8E}, config);
    EXPECT_EQ(FERROX_EMU_SetUSBAddr(3), 0);
    // No read-back at all.
    probe_.expect(cat({0x8F}, config), {});
    probe_.expect({0x8E}, config, ScriptedProbe::Reply::None);
    EXPECT_EQ(FERROX_EMU_SetUSBAddr(3), -1);
    // The link is down now: refused before anything is sent.
    EXPECT_EQ(FERROX_EMU_SetUSBAddr(1), -1);
    EXPECT_EQ(writes().size(), 4u);
}

TEST_F(ProbeWire, BufferReadTakesItemsAndChecksTheStatus) {
    open();
    probe_.expect({0xD2, 0x10, 10, 0}, {3, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0});
    U16 items[10] = {};
    EXPECT_EQ(FERROX_EMU_ReadUserBuffer(10, items), 3);
    EXPECT_EQ(items[0], 0x2211);
    EXPECT_EQ(items[2], 0x6655);
    EXPECT_EQ(items[3], 0);

    probe_.expect({0xD3, 0x10, 0, 1}, {0, 0, 1, 0});
    std::vector<U16> many(256);
    EXPECT_EQ(FERROX_EMU_ReadSystemBuffer(256, many.data()), -1); // status 1

    // Null buffers and counts beyond 16 bits are refused without exchange.
    EXPECT_EQ(FERROX_EMU_ReadUserBuffer(1, nullptr), -1);
    EXPECT_EQ(FERROX_EMU_ReadSystemBuffer(0, nullptr), -1);
    EXPECT_EQ(EMU_ReadBuffer(EMU_KIND_USER_BUFFER, 65536, many.data()), -1);
    EXPECT_EQ(writes().size(), 2u);
}

TEST_F(ProbeWire, BufferReadOfMoreItemsThanAskedDrainsThemAndTheStatus) {
    open();
    Bytes answer{12, 0};
    for (int i = 0; i < 13; ++i) {
        answer.push_back(static_cast<U8>(i));
        answer.push_back(0);
    }
    probe_.expect({0xD2, 0x10, 10, 0}, answer);
    U16 items[10] = {};
    const std::size_t reads = probe_.readSizes().size();
    EXPECT_EQ(FERROX_EMU_ReadUserBuffer(10, items), -1);
    const auto sizes = probe_.readSizes();
    EXPECT_EQ(std::vector<std::uint32_t>(sizes.begin() + static_cast<std::ptrdiff_t>(reads), sizes.end()),
              std::vector<std::uint32_t>(14, 2)); // the count, then 13 words one by one
    // The next exchange starts clean.
    probe_.expect({0xD2, 0x04}, {5, 0});
    EXPECT_EQ(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0), 5);
}

TEST_F(ProbeWire, FirmwareStringLengthIsCheckedWithOneRetry) {
    open();
    struct Case {
        std::vector<std::uint16_t> lengths;
        int result;
        const char *error;
    };
    for (const Case &c :
         {Case{{40, 40},
               2,
               "EMU_GetFirmwareString: Quidor reports unsupported firmware string size of 40 (expected 112)"},
          Case{{40, 37}, 0, nullptr}, Case{{112}, 0, nullptr}}) {
        SCOPED_TRACE(c.lengths.size());
        ProbeDisconnect();
        ASSERT_EQ(LINK_Connect(), 0);
        captured().errors.clear();
        for (const std::uint16_t length : c.lengths) {
            // A length of another kind is all this probe sends.
            probe_.expect({0x01}, length == 112 || length == 37 ? firmwareAnswer("Quidor Rev 9", length)
                                                                : Bytes{static_cast<U8>(length), 0});
        }
        char text[256];
        API_Lock("test");
        EXPECT_EQ(EMU_GetFirmwareString(text, 255), c.result);
        API_Unlock();
        if (c.error != nullptr) {
            EXPECT_EQ(captured().errors, std::vector<std::string>{c.error});
            EXPECT_TRUE(EMU_IsProbeUnusable());
        } else {
            EXPECT_STREQ(text, "Quidor Rev 9");
        }
    }
}

TEST_F(ProbeWire, FirmwareStringNeverPassesTheBufferAndIsCached) {
    open();
    const std::string fw(111, 'Q'); // fills 111 of the 112 bytes
    probe_.expect({0x01}, firmwareAnswer(fw));
    ProbeDisconnect();
    ASSERT_EQ(LINK_Connect(), 0);
    for (int size : {8, 200, 1}) {
        SCOPED_TRACE(size);
        char buf[256];
        std::memset(buf, '#', sizeof buf);
        FERROX_EMU_GetFirmwareString(buf, size);
        EXPECT_EQ(buf[size], '#'); // nothing past BufferSize
        EXPECT_EQ(std::strlen(buf), std::min<std::size_t>(111, static_cast<std::size_t>(size - 1)));
    }
    EXPECT_EQ(writes().size(), 1u); // read once, then from the cache
}

TEST_F(ProbeWire, HardwareStatusFieldsAndTheUnusableProbe) {
    open();
    probe_.expect({0x07}, {0xE4, 0x0C, 1, 2, 3, 4, 5, 1});
    FERROX_HW_STATUS st{};
    EXPECT_EQ(FERROX_EMU_GetHWStatus(&st), 0);
    EXPECT_EQ(st.VTarget, 3300);
    EXPECT_EQ(st.SDA, 1);
    EXPECT_EQ(st.SCL, 2);
    EXPECT_EQ(st.SDAout, 3);
    EXPECT_EQ(st.Wakeout, 4);
    EXPECT_EQ(st.FPGA, 5);
    EXPECT_EQ(st.TargetPowerOn, 1);

    // A short answer makes the probe unusable, silently, until a new connect.
    probe_.expect({0x07}, {1, 2, 3}, ScriptedProbe::Reply::Short, 3);
    EXPECT_EQ(FERROX_EMU_GetHWStatus(&st), 1);
    FERROX_ClrError(); // clears the link, not the probe
    EXPECT_EQ(FERROX_EMU_GetHWStatus(&st), 1);
    EXPECT_EQ(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0), -1);
    U16 items[2];
    EXPECT_EQ(FERROX_EMU_ReadUserBuffer(2, items), -1);
    char fw[256];
    FERROX_EMU_GetFirmwareString(fw, sizeof fw);
    EXPECT_STREQ(fw, "");
    EXPECT_EQ(writes().size(), 1u + 1u);
    ASSERT_EQ(captured().errors.size(), 1u); // only the transport's own text
}

TEST_F(ProbeWire, HardwareVersionIsReadOnce) {
    open();
    probe_.expect({0xF0}, le32(22000));
    EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);
    EXPECT_EQ(FERROX_EMU_GetHWVersion(), 22000);
    EXPECT_EQ(writes().size(), 1u);
}

TEST_F(ProbeWire, SerialNumberIsSignedAndNoUpdateSNHidesNegativeOnes) {
    open();
    struct Case {
        U32 stored;
        bool hide;
        int result;
    };
    for (const Case &c : {Case{77, false, 77}, Case{0x80000005u, false, static_cast<int>(0x80000005u)},
                          Case{0xFFFFFFFFu, false, -1}, Case{0x80000005u, true, -1}, Case{77, true, 77}}) {
        SCOPED_TRACE(c.stored);
        if (c.hide) {
            char reply[8];
            ASSERT_EQ(FERROX_EMU_ExecCommand("NoUpdateSN", reply, sizeof reply), 0);
        }
        ProbeDisconnect();
        ASSERT_EQ(LINK_Connect(), 0);
        Bytes config = cat(le32(c.stored), Bytes(252, 0xFF));
        probe_.expect({0xE6}, config);
        EXPECT_EQ(FERROX_EMU_GetSN(), c.result);
        EXPECT_EQ(FERROX_EMU_GetSN(), c.result); // cached: no second exchange
    }
    ProbeDisconnect();
    ASSERT_EQ(LINK_Connect(), 0);
    probe_.expect({0xE6}, Bytes(256, 0), ScriptedProbe::Reply::Short, 100);
    EXPECT_EQ(FERROX_EMU_GetSN(), -3);
}

TEST_F(ProbeWire, SwitchInterfaceReturnsTheModeItWasGiven) {
    open();
    probe_.expect({0xF3, 0x02}, {0x55});
    EXPECT_EQ(FERROX_EMU_SwitchInterface(2), 2);
    probe_.expect({0xF3, 0x01}, {}, ScriptedProbe::Reply::None);
    EXPECT_EQ(FERROX_EMU_SwitchInterface(1), -1);
}

TEST_F(ProbeWire, SwitchPowerOffWaitsForTheProbeSuppliedTargetToFall) {
    open();
    CPU_SetTargetTouched(1);
    CPU_SetMonitorEntered(1);
    CPU_SetTargetRunning(1);
    CPU_MarkRegisterCached(0);
    probe_.expect({0x07}, hwStatus(3300, 1)); // before the switch
    probe_.expect({0x07}, hwStatus(3300, 1)); // the one read of the slot
    probe_.expect({0xF2, 0x00}, {0});
    probe_.expect({0x07}, hwStatus(2000, 0));
    probe_.expect({0x07}, hwStatus(800, 0));
    const std::uint32_t start = clock_->tickMs();
    EXPECT_EQ(FERROX_EMU_SwitchPower(0), 0);
    // Two polls of 10 ms, then twice that long again.
    EXPECT_EQ(clock_->tickMs() - start, 20u + 40u);
    EXPECT_FALSE(CPU_IsMonitorEntered());
    EXPECT_FALSE(CPU_IsTargetRunning());
    EXPECT_TRUE(CPU_IsTargetPoweredDown());
    EXPECT_FALSE(CPU_IsRegisterCached(0));

    probe_.expect({0x07}, hwStatus(0, 0));
    probe_.expect({0x07}, hwStatus(0, 0));
    probe_.expect({0xF2, 0x01}, {0});
    EXPECT_EQ(FERROX_EMU_SwitchPower(1), 0);
    EXPECT_FALSE(CPU_IsTargetPoweredDown());
}

TEST_F(ProbeWire, SupplyThatNeverFallsIsReportedUnlessOnlyRecorded) {
    open();
    for (U8 onlyRecord : {U8{1}, U8{0}}) {
        SCOPED_TRACE(onlyRecord);
        probe_.expect({0x07}, hwStatus(3300, 1));
        probe_.expect({0xF2, 0x00}, {0});
        for (int i = 0; i < 200; ++i) {
            probe_.expect({0x07}, hwStatus(3300, 1));
        }
        API_Lock("test");
        EXPECT_EQ(CPU_PowerDownForEntry(0, onlyRecord), -2);
        API_Unlock();
    }
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{
                  "Quidor Hardware problem !\nCould not power down target to enter Monitor-mode."});
}

TEST_F(ProbeWire, SwitchPowerReportsAFailedStatusRead) {
    open();
    probe_.expect({0x07}, {}, ScriptedProbe::Reply::Short, 0);
    EXPECT_EQ(FERROX_EMU_SwitchPower(0), 1);
    ASSERT_EQ(captured().errors.size(), 2u);
    EXPECT_EQ(captured().errors[1], "Error during TAMSA_SwitchPower, could not read Quidor hardware status ");
}

TEST_F(ProbeWire, SwitchPowerExReturnsTheProbesAnswer) {
    OpenScript s;
    s.caps = EMU_CAP_SWITCH_POWER_EX;
    open(s);
    probe_.expect({0x07}, hwStatus(0, 0));
    probe_.expect({0x07}, hwStatus(0, 0));
    probe_.expect({0xF7, 0x03}, {2}); // "wrong parameter"
    EXPECT_EQ(FERROX_EMU_SwitchPowerEx(3), 2);
}

TEST_F(ProbeWire, PowerDownOnCloseSendsDCAndWaitsForTheFall) {
    open();
    probe_.expect({0x07}, hwStatus(3300, 1));
    probe_.expect({0xDC}, {0});
    probe_.expect({0x07}, hwStatus(1500, 0));
    probe_.expect({0x07}, hwStatus(600, 0));
    EXPECT_EQ(CPU_PowerDownOnClose(), 0);
    probe_.expect({0x07}, hwStatus(3300, 0)); // own supply: no wait
    probe_.expect({0xDC}, {0});
    EXPECT_EQ(CPU_PowerDownOnClose(), 0);
}

// ------------------------------------------------------------- firmware

TEST(Crc16, KermitCheckValue) {
    const char *check = "123456789";
    EXPECT_EQ(CRC16_Calc(reinterpret_cast<const U8 *>(check), 9, 0), 0x2189);
    EXPECT_EQ(CRC16_Calc(nullptr, 0, 0x1234), 0x1234);
}

TEST(FirmwareImage, BannerAtItsOffsetAndAValidCrc) {
    EXPECT_STREQ(reinterpret_cast<const char *>(FirmwareImage + 0x50), ferrox_test::kBanner);
    EXPECT_EQ(FW_GetBanner(), reinterpret_cast<const char *>(FirmwareImage + 0x50));
    const U16 crc = CRC16_Calc(FirmwareImage, FW_IMAGE_SIZE - 2, 0);
    EXPECT_EQ(FirmwareImage[FW_IMAGE_SIZE - 2], crc & 0xFF);
    EXPECT_EQ(FirmwareImage[FW_IMAGE_SIZE - 1], crc >> 8);
    // The data file the build produced is what the library carries.
    const std::string file = ferrox_test::readFile(FERROX_FW_BIN);
    ASSERT_EQ(file.size(), std::size_t{FW_IMAGE_SIZE});
    EXPECT_EQ(0, std::memcmp(file.data(), FirmwareImage, FW_IMAGE_SIZE));
}

TEST_F(ProbeWire, DownloadExchangeWithTheCrcInItsPlace) {
    ASSERT_EQ(LINK_Connect(), 0);
    struct Case {
        std::size_t size;
        bool crcFirst;
    };
    for (const Case &c : {Case{FW_IMAGE_SIZE, false}, Case{32768, true}, Case{100, false}}) {
        SCOPED_TRACE(c.size);
        Bytes image = pattern(c.size, 0x21);
        Bytes sent = image;
        U16 crc = 0;
        if (c.crcFirst) {
            crc = CRC16_Calc(image.data() + 2, static_cast<U32>(c.size - 2), 0);
            sent[0] = static_cast<U8>(crc);
            sent[1] = static_cast<U8>(crc >> 8);
        } else {
            crc = CRC16_Calc(image.data(), static_cast<U32>(c.size - 2), 0);
            sent[c.size - 2] = static_cast<U8>(crc);
            sent[c.size - 1] = static_cast<U8>(crc >> 8);
        }
        probe_.expect({0x06}, {0});
        probe_.expect({static_cast<U8>(c.size), static_cast<U8>(c.size >> 8)}, {});
        probe_.expect(sent, {0});
        U16 got = 0;
        EXPECT_EQ(FW_Download(image.data(), static_cast<U32>(c.size), &got, c.crcFirst ? 1 : 0), 0);
        EXPECT_EQ(got, crc);
        EXPECT_EQ(image, pattern(c.size, 0x21)); // the caller's image is untouched
    }
    // Sizes the 16-bit size word or the CRC cannot carry go nowhere.
    const Bytes big(0x10000, 0);
    EXPECT_EQ(FW_Download(big.data(), 0x10000, nullptr, 0), 1);
    EXPECT_EQ(FW_Download(big.data(), 1, nullptr, 0), 1);
    EXPECT_EQ(FW_Download(nullptr, 100, nullptr, 0), 1);
    EXPECT_EQ(probe_.writes().size(), 9u);
    EXPECT_FALSE(EMU_IsProbeUnusable());
    EXPECT_TRUE(captured().errors.empty());
}

TEST_F(ProbeWire, DownloadFailuresAreReportedOnceAndMakeTheProbeUnusable) {
    struct Case {
        Bytes ready;
        ScriptedProbe::Reply readyReply;
        Bytes status;
        ScriptedProbe::Reply statusReply;
        const char *error;
    };
    using R = ScriptedProbe::Reply;
    open();
    for (const Case &c :
         {Case{{0}, R::None, {}, R::Full, "Communication time out - Can not execute firmware update"},
          Case{{1}, R::Full, {}, R::Full, "Quidor can not execute firmware update"},
          Case{{0}, R::Full, {0}, R::None, "Communication timed out after firmware update"},
          Case{{0}, R::Full, {3}, R::Full, "Quidor could not update firmware"}}) {
        SCOPED_TRACE(c.error);
        ProbeDisconnect();
        LINK_ClearCommError();
        ASSERT_EQ(LINK_Connect(), 0);
        captured().errors.clear();
        const Bytes image = pattern(64, 1);
        probe_.expect({0x06}, c.ready, c.readyReply);
        if (!c.status.empty()) {
            probe_.expect({64, 0}, {});
            Bytes sent = image;
            const U16 crc = CRC16_Calc(image.data(), 62, 0);
            sent[62] = static_cast<U8>(crc);
            sent[63] = static_cast<U8>(crc >> 8);
            probe_.expect(sent, c.status, c.statusReply);
        }
        API_Lock("test");
        EXPECT_EQ(FW_Download(image.data(), 64, nullptr, 0), 1);
        API_Unlock();
        EXPECT_TRUE(EMU_IsProbeUnusable());
        ASSERT_FALSE(captured().errors.empty());
        EXPECT_EQ(captured().errors.back(), c.error);
    }
}

TEST_F(ProbeWire, ConnectComparesTheProbesTextWithTheBanner) {
    const std::string banner = ferrox_test::kBanner;
    struct Case {
        std::string probeText;
        bool updated;
        int connect;
    };
    for (const Case &c :
         {Case{banner, false, 0}, Case{"Quidor Rev 2.0", false, 0}, Case{banner + " patched", true, 0},
          Case{"Quidor Rev 1.8 Tamsa", true, 0}, Case{"BOOTLOADER 0.9", false, 1}, Case{"", false, 1}}) {
        SCOPED_TRACE(c.probeText);
        ProbeDisconnect();
        probe_.expect({0x01}, firmwareAnswer(c.probeText));
        const std::size_t before = probe_.writes().size();
        if (c.updated) {
            Bytes sent(FirmwareImage, FirmwareImage + FW_IMAGE_SIZE);
            probe_.expect({0x06}, {0});
            probe_.expect({0x00, 0x54}, {});
            probe_.expect(sent, {0});
            probe_.expect({0x01}, firmwareAnswer(banner));
        }
        if (c.connect == 0) {
            probe_.expect({0xE8}, le32(0));
        }
        const std::uint32_t start = clock_->tickMs();
        EXPECT_EQ(ProbeConnect(nullptr), c.connect);
        EXPECT_EQ(probe_.writes().size() - before, c.updated ? 6u : c.connect == 0 ? 2u : 1u);
        EXPECT_EQ(clock_->tickMs() - start, c.updated ? 2500u : 0u);
    }
}

TEST_F(ProbeWire, InvalidateFWDownloadsAChangedBannerAndRestoresTheImage) {
    open();
    const Bytes original(FirmwareImage, FirmwareImage + FW_IMAGE_SIZE);
    Bytes changed = original;
    const std::string marked = "Quidor Rev 1.x Tamsa compiLEd Feb 13 2015 14:08:22";
    std::memcpy(changed.data() + 0x50, marked.data(), marked.size());
    const U16 crc = CRC16_Calc(changed.data(), FW_IMAGE_SIZE - 2, 0);
    changed[FW_IMAGE_SIZE - 2] = static_cast<U8>(crc);
    changed[FW_IMAGE_SIZE - 1] = static_cast<U8>(crc >> 8);
    probe_.expect({0x06}, {0});
    probe_.expect({0x00, 0x54}, {});
    probe_.expect(changed, {0});
    probe_.expect({0x01}, firmwareAnswer(marked));
    char reply[64] = "x";
    EXPECT_EQ(FERROX_EMU_ExecCommand("InvalidateFW", reply, sizeof reply), 0);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(Bytes(FirmwareImage, FirmwareImage + FW_IMAGE_SIZE), original);
}

// ------------------------------------------------------------ text commands

TEST_F(ProbeWire, TextCommandRepliesAndResults) {
    open();
    struct Case {
        const char *command;
        int size;
        int result;
        const char *reply;
    };
    for (const Case &c : {Case{"Hello", 64, 1, "ERROR: Unknown command\n"}, Case{"Hello", 4, 1, "ERR"},
                          Case{"Hello", 1, 1, ""}, Case{"SetSN 1234", 64, 1, "ERROR - Expected '='\n"},
                          Case{"SetSN = x", 64, 1, "ERROR : Expected a dec value\n"},
                          Case{"SetSN=", 64, 1, "ERROR : Expected a dec value\n"},
                          Case{" \t\r\nNoUpdateSN DisableAutoUpdateFW\n", 64, 0, ""},
                          Case{"noupdatesndisableautoupdatefw", 64, 0, ""}, Case{"", 64, 0, ""},
                          Case{"NoUpdateSN Bogus", 64, 1, "ERROR: Unknown command\n"}}) {
        SCOPED_TRACE(c.command);
        char reply[80];
        std::memset(reply, '#', sizeof reply);
        EXPECT_EQ(FERROX_EMU_ExecCommand(c.command, reply, c.size), c.result);
        EXPECT_STREQ(reply, c.reply);
        EXPECT_EQ(reply[c.size], '#');
    }
    EXPECT_EQ(FW_IsAutoUpdate(), 0);
    EXPECT_TRUE(writes().empty());
}

TEST_F(ProbeWire, SetSNProgramsAnErasedNumberOnly) {
    open();
    struct Case {
        const char *command;
        U32 stored;
        U8 writeStatus;
        int result;
        const char *reply;
    };
    for (const Case &c :
         {Case{"setsn = 1234", 0xFFFFFFFFu, 0, 0, "O.K.\n"}, Case{"SETSN=1234", 0xFFFFFFFFu, 1, 1, "ERR\n"},
          Case{"SetSN=5", 77, 0, 1, "ERROR - S/N 77 can not be overwritten by S/N 5\n"}}) {
        SCOPED_TRACE(c.command);
        ProbeDisconnect();
        ASSERT_EQ(LINK_Connect(), 0);
        const Bytes config = cat(le32(c.stored), pattern(252, 4));
        probe_.expect({0xE6}, config);
        if (c.stored == 0xFFFFFFFFu) {
            probe_.expect(cat({0xE7}, cat(le32(1234), pattern(252, 4))), {c.writeStatus});
        }
        char reply[64];
        EXPECT_EQ(FERROX_EMU_ExecCommand(c.command, reply, sizeof reply), c.result);
        EXPECT_STREQ(reply, c.reply);
    }
}

TEST(TextCommandsNotOpen, NothingRunsAndTheReplyIsEmpty) {
    char reply[16] = "junk";
    EXPECT_EQ(FERROX_EMU_ExecCommand("DisableAutoUpdateFW", reply, sizeof reply), 0);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(FW_IsAutoUpdate(), 1);
}

} // namespace

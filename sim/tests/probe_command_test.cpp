// Probe commands fed as raw bytes; answer bytes checked.
#include "wire.h"

#include "sim/checksums.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using simtest::Bytes;
using simtest::Harness;
using simtest::le16;
using simtest::le32;

Bytes with256(std::uint8_t command, std::uint8_t fill, std::uint32_t head = 0xFFFFFFFF) {
    Bytes b(257, fill);
    b[0] = command;
    for (int i = 0; i < 4; ++i) {
        b[1 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(head >> (8 * i));
    }
    return b;
}

// A firmware image with a banner at 0x50 and its CRC where the probe wants it.
Bytes firmwareImage(std::size_t size, const std::string &banner, bool goodCrc = true) {
    Bytes image(size, 0xA5);
    std::memcpy(image.data() + 0x50, banner.c_str(), banner.size() + 1);
    const bool first = size == 32768;
    std::uint16_t crc = sim::crc16Kermit(image.data() + (first ? 2 : 0), size - 2);
    if (!goodCrc) {
        crc ^= 0x0100;
    }
    const std::size_t at = first ? 0 : size - 2;
    image[at] = static_cast<std::uint8_t>(crc & 0xFF);
    image[at + 1] = static_cast<std::uint8_t>(crc >> 8);
    return image;
}

std::string firmwareString(Harness &h) {
    const Bytes b = h.exchange({0x01});
    std::string s;
    for (std::size_t i = 2; i < b.size() && b[i] != 0; ++i) {
        s.push_back(static_cast<char>(b[i]));
    }
    return s;
}

TEST(ProbeCommand, EveryCommandAnswersWithItsFixedLength) {
    struct Case {
        Bytes request;
        std::size_t length;
    };
    const Case cases[] = {
        {{0x01}, 2 + 112},
        {{0x07}, 8},
        {{0x8E}, 256},
        {with256(0x8F, 0), 0},
        {{0xDC}, 1},
        {{0xE6}, 256},
        {with256(0xE7, 0xFF), 1},
        {{0xE8}, 4},
        {{0xED}, 0}, // without extended capabilities the probe does not know it
        {{0xF0}, 4},
        {{0xF1, 0x02}, 1},
        {{0xF2, 0x00}, 1},
        {{0xF3, 0x01}, 1},
        {{0xF4, 0x40, 0x7E, 0x05, 0x00}, 1},
        {{0xF7, 0x00}, 1},
        {{0xD2, 0x04}, 2},
        {{0xD3, 0x10, 0x05, 0x00}, 4},
        {{0x00}, 0},
        {{0x55}, 0},
        {{0xFF}, 0},
    };
    Harness h;
    for (const Case &c : cases) {
        EXPECT_EQ(h.exchange(c.request).size(), c.length) << std::hex << int(c.request[0]);
    }
    // A request split into single bytes is answered once it is complete, and
    // two requests in one write are both answered.
    const Bytes request = {0xF4, 1, 2, 3, 4};
    for (std::size_t i = 0; i + 1 < request.size(); ++i) {
        EXPECT_TRUE(h.exchange({request[i]}).empty());
    }
    EXPECT_EQ(h.exchange({request.back()}), Bytes{0});
    EXPECT_EQ(h.probe().answerTimeout(), 0x04030201u);
    EXPECT_EQ(h.exchange({0xF0, 0xE8}), (Bytes{0xF0, 0x55, 0, 0, 0x76, 0, 0, 0}));
}

TEST(ProbeCommand, CapabilitiesAndHardwareVersion) {
    Harness plain;
    EXPECT_EQ(le32(plain.exchange({0xE8}), 0), 0x76u); // bits 1, 2, 4, 5, 6
    EXPECT_EQ(le32(plain.exchange({0xF0}), 0), 22000u);

    sim::ProbeOptions o;
    o.extendedCaps = true;
    o.hwVersion = 21500;
    Harness ext(o);
    EXPECT_EQ(le32(ext.exchange({0xE8}), 0), 0x80000076u);
    const Bytes words = ext.exchange({0xED});
    ASSERT_EQ(words.size(), 32u);
    EXPECT_EQ(le32(words, 0), 0x80000076u);
    EXPECT_EQ(le32(ext.exchange({0xF0}), 0), 21500u);
}

TEST(ProbeCommand, FirmwareStringVariants) {
    struct Case {
        sim::ProbeOptions::Firmware firmware;
        bool shortString;
        std::size_t length;
        std::string text;
    };
    const Case cases[] = {
        {sim::ProbeOptions::Firmware::Library, false, 112, sim::kLibraryBanner},
        {sim::ProbeOptions::Firmware::Library, true, 37, std::string(sim::kLibraryBanner).substr(0, 37)},
        {sim::ProbeOptions::Firmware::Older, false, 112, sim::kOlderBanner},
        {sim::ProbeOptions::Firmware::Foreign, false, 112, sim::kForeignBanner},
    };
    for (const Case &c : cases) {
        sim::ProbeOptions o;
        o.firmware = c.firmware;
        o.shortFirmwareString = c.shortString;
        Harness h(o);
        const Bytes b = h.exchange({0x01});
        ASSERT_EQ(b.size(), 2 + c.length);
        EXPECT_EQ(le16(b, 0), c.length);
        EXPECT_EQ(std::string(b.begin() + 2, b.begin() + 2 + static_cast<std::ptrdiff_t>(c.text.size())), c.text);
        EXPECT_EQ(c.text.rfind("Quidor ", 0) == 0, c.firmware != sim::ProbeOptions::Firmware::Foreign);
    }
}

TEST(ProbeCommand, FirmwareDownloadNeedsAValidCrc) {
    struct Case {
        std::size_t size;
        bool goodCrc;
        std::uint8_t status;
    };
    const Case cases[] = {{21504, true, 0}, {32768, true, 0}, {21504, false, 1}, {32768, false, 1}};
    for (const Case &c : cases) {
        sim::ProbeOptions o;
        o.firmware = sim::ProbeOptions::Firmware::Older;
        Harness h(o);
        EXPECT_EQ(h.exchange({0x06}), Bytes{0});
        const Bytes image = firmwareImage(c.size, "Quidor Rev 2.1 new", c.goodCrc);
        Bytes payload(2 + image.size());
        payload[0] = static_cast<std::uint8_t>(c.size & 0xFF);
        payload[1] = static_cast<std::uint8_t>(c.size >> 8);
        std::copy(image.begin(), image.end(), payload.begin() + 2);
        EXPECT_EQ(h.exchange(payload), Bytes{c.status}) << c.size;
        EXPECT_EQ(firmwareString(h), c.goodCrc ? "Quidor Rev 2.1 new" : sim::kOlderBanner);
    }
    // A refused download takes no image: the next byte is a command again.
    Harness refused;
    refused.probe().setRefuseFirmwareUpdate(true);
    EXPECT_EQ(refused.exchange({0x06}), Bytes{1});
    EXPECT_EQ(firmwareString(refused), sim::kLibraryBanner);
}

TEST(ProbeCommand, ConfigurationMemoryAndWriteOnceSerialNumber) {
    Harness h;
    Bytes config = h.exchange({0x8E});
    EXPECT_EQ(config[0], 0);    // USB address
    EXPECT_EQ(config[4], 0xFF); // 3 V, not locked
    Bytes write = with256(0x8F, 0x11);
    write[1] = 2;
    EXPECT_TRUE(h.exchange(write).empty());
    config = h.exchange({0x8E});
    EXPECT_EQ(config[0], 2);
    EXPECT_EQ(config[255], 0x11);

    EXPECT_EQ(le32(h.exchange({0xE6}), 0), 0xFFFFFFFFu);
    EXPECT_EQ(h.exchange(with256(0xE7, 0x00, 77)), Bytes{0});
    EXPECT_EQ(le32(h.exchange({0xE6}), 0), 77u);
    EXPECT_EQ(h.exchange(with256(0xE7, 0x00, 5)), Bytes{1}); // not over a programmed number
    EXPECT_EQ(le32(h.exchange({0xE6}), 0), 77u);
    EXPECT_EQ(h.exchange(with256(0xE7, 0x33, 77)), Bytes{0}); // same number, other bytes
    EXPECT_EQ(h.exchange({0xE6})[200], 0x33);
}

TEST(ProbeCommand, SupplySwitchingAnswersAndLevels) {
    struct Case {
        std::uint32_t hwVersion;
        std::uint8_t configSel;
        std::uint8_t on;
        std::uint8_t answer;
        std::uint16_t millivolts;
    };
    const Case cases[] = {
        {21999, 0xFF, 1, 1, 0},    // old hardware: unsupported
        {22000, 0xFF, 3, 2, 0},    // wrong parameter
        {22000, 2, 1, 3, 0},       // 5 V fixed in the configuration
        {22000, 2, 2, 0, 5000},    //
        {22000, 0xFF, 1, 0, 3300}, //
        {22000, 0, 2, 0, 5000},    //
        {22000, 1, 1, 0, 3300},    //
    };
    for (const Case &c : cases) {
        sim::ProbeOptions o;
        o.hwVersion = c.hwVersion;
        Harness h(o);
        h.probe().configMemory()[4] = c.configSel;
        EXPECT_EQ(h.exchange({0xF7, c.on}), Bytes{c.answer});
        const Bytes hw = h.exchange({0x07});
        EXPECT_EQ(le16(hw, 0), c.millivolts);
        EXPECT_EQ(hw[7], c.millivolts != 0 ? 1 : 0);
    }
    // 0xF2 follows the configured level; 0xDC switches off.
    Harness h;
    h.probe().configMemory()[4] = 0; // 5 V, not locked
    EXPECT_EQ(h.exchange({0xF2, 0x01}), Bytes{0});
    EXPECT_EQ(le16(h.exchange({0x07}), 0), 5000);
    EXPECT_EQ(h.exchange({0xDC}), Bytes{0});
    h.sleep(100);
    EXPECT_EQ(h.exchange({0x07}), (Bytes{0, 0, 0, 0, 0, 1, 1, 0}));
}

TEST(ProbeCommand, SelfPoweredTargetIsNeverSupplied) {
    sim::ProbeOptions o;
    o.selfPowered = true;
    Harness h(o);
    EXPECT_EQ(h.exchange({0x07}), (Bytes{0xE4, 0x0C, 1, 1, 0, 1, 1, 0}));
    EXPECT_EQ(h.exchange({0xF2, 0x01}), Bytes{0});
    EXPECT_EQ(h.exchange({0x07})[7], 0);
    EXPECT_EQ(h.probe().target().state(), sim::Target::State::Running);
    EXPECT_EQ(h.exchange({0xF2, 0x00}), Bytes{0});
    h.sleep(1000);
    EXPECT_EQ(le16(h.exchange({0x07}), 0), 3300);
}

TEST(ProbeCommand, BuffersSampleWhileStartedAndReadInTheirLayout) {
    sim::ProbeOptions o;
    o.bufferText = "Hi!";
    Harness h(o);
    h.powerOn();
    EXPECT_EQ(h.exchange({0xD2, EMU_CMD_BUFFER_START}), (Bytes{0, 0}));
    h.sleep(4);
    EXPECT_EQ(h.exchange({0xD2, EMU_CMD_BUFFER_STOP}), (Bytes{0, 0})); // 5 steps: 1 + 4 ms
    EXPECT_EQ(h.exchange({0xD2, EMU_CMD_BUFFER_GET_CNT}), (Bytes{5, 0}));
    EXPECT_EQ(h.exchange({0xD2, EMU_CMD_BUFFER_READ, 3, 0}), (Bytes{3, 0, 'H', 0, 'i', 0, '!', 0, 0, 0}));
    EXPECT_EQ(h.exchange({0xD2, EMU_CMD_BUFFER_READ, 9, 0}), (Bytes{2, 0, 'H', 0, 'i', 0, 0, 0}));
    EXPECT_EQ(h.exchange({0xD2, EMU_CMD_BUFFER_READ, 9, 0}), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(h.exchange({0xD2, 0x07}), (Bytes{0xFF, 0xFF}));

    // The system buffer counts; clean empties it.
    Harness c;
    c.powerOn();
    c.exchange({0xD3, EMU_CMD_BUFFER_START});
    c.exchange({0xD3, EMU_CMD_BUFFER_START});
    const Bytes items = c.exchange({0xD3, EMU_CMD_BUFFER_READ, 2, 0});
    EXPECT_EQ(items, (Bytes{2, 0, 0, 0, 1, 0, 0, 0}));
    c.sleep(10000); // the buffer holds 4096 items at most
    EXPECT_EQ(c.exchange({0xD3, EMU_CMD_BUFFER_GET_CNT}), (Bytes{0x00, 0x10}));
    c.exchange({0xD3, EMU_CMD_BUFFER_STOP});
    EXPECT_EQ(c.exchange({0xD3, EMU_CMD_BUFFER_CLEAN}), (Bytes{0, 0}));
    EXPECT_EQ(c.exchange({0xD3, EMU_CMD_BUFFER_GET_CNT}), (Bytes{0, 0}));
}

TEST(ProbeCommand, AnswerFaults) {
    Harness h;
    // Short: half the answer.
    h.probe().setAnswerFault({sim::FaultKind::Short, 0xF0, 0, 1, 0});
    EXPECT_EQ(h.exchange({0xE8}).size(), 4u); // other commands pass
    EXPECT_EQ(h.exchange({0xF0}).size(), 2u);
    EXPECT_EQ(h.exchange({0xF0}).size(), 4u); // only once
    // Nothing, after letting one answer pass, twice.
    h.probe().setAnswerFault({sim::FaultKind::Nothing, -1, 1, 2, 0});
    EXPECT_EQ(h.exchange({0xF0}).size(), 4u);
    EXPECT_TRUE(h.exchange({0xF0}).empty());
    EXPECT_TRUE(h.exchange({0xE8}).empty());
    EXPECT_EQ(h.exchange({0xE8}).size(), 4u);
    // Late: due after the delay on the platform clock.
    h.probe().setAnswerFault({sim::FaultKind::Late, -1, 0, 1, 300});
    EXPECT_TRUE(h.exchange({0xF0}).empty());
    std::uint32_t due = 0;
    EXPECT_TRUE(h.probe().latePending(due));
    h.sleep(299);
    EXPECT_EQ(h.probe().available(), 0u);
    h.sleep(1);
    EXPECT_EQ(h.probe().available(), 4u);
    // Drop: no answer, the front is told to end the connection.
    h.probe().setAnswerFault({sim::FaultKind::Drop, -1, 0, 1, 0});
    EXPECT_TRUE(h.exchange({0xE8}).size() == 4u); // the late answer, then nothing new
    EXPECT_TRUE(h.probe().takeDropRequest());
    EXPECT_FALSE(h.probe().takeDropRequest());
}

} // namespace

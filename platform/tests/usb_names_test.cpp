// The driver's naming as the libusb provider applies it: link names from
// product IDs, the pipe a name selects, and the pipes a configuration gives.
#include "usb_names.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using plat::usb::FirstInterface;
using plat::usb::linkNameOf;
using plat::usb::parseConfiguration;
using plat::usb::pipeNumberOf;

TEST(UsbNames, LinkSuffixComesFromTheProductIdsLowByte) {
    EXPECT_EQ(linkNameOf(0x0A01), "halvornquidor");
    EXPECT_EQ(linkNameOf(0x0A02), "halvornquidor1");
    EXPECT_EQ(linkNameOf(0x0A03), "halvornquidor2");
    EXPECT_EQ(linkNameOf(0x0A04), "halvornquidor3");
    EXPECT_EQ(linkNameOf(0x0A05), "halvornquidor");
    EXPECT_EQ(linkNameOf(0x1203), "halvornquidor2"); // only the low byte counts
}

TEST(UsbNames, SplitsTheLinkFromThePipe) {
    struct Case {
        const char *name;
        bool ok;
        const char *link;
        const char *rest;
    } cases[] = {
        {"\\\\.\\halvornquidor", true, "halvornquidor", ""},
        {"\\\\.\\halvornquidor3\\pipe01", true, "halvornquidor3", "\\pipe01"},
        {"\\\\.\\HalvornQuidor1\\x\\y", true, "HalvornQuidor1", "\\x\\y"},
        {"halvornquidor", false, "", ""},
        {"\\\\.\\", false, "", ""},
        {"\\\\.\\\\pipe00", false, "", ""},
    };
    for (const Case &c : cases) {
        std::string link;
        std::string rest;
        ASSERT_EQ(plat::usb::splitDeviceName(c.name, link, rest), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(link, c.link);
            EXPECT_EQ(rest, c.rest);
        }
    }
    EXPECT_TRUE(plat::usb::sameLinkName("HALVORNQUIDOR2", "halvornquidor2"));
    EXPECT_FALSE(plat::usb::sameLinkName("halvornquidor2", "halvornquidor"));
}

TEST(UsbNames, ThePipeIsTheLastRunOfDigits) {
    EXPECT_EQ(pipeNumberOf("\\pipe00"), 0);
    EXPECT_EQ(pipeNumberOf("\\pipe0"), 0);
    EXPECT_EQ(pipeNumberOf("\\PIPE01"), 1);
    EXPECT_EQ(pipeNumberOf("\\x05"), 5);
    EXPECT_EQ(pipeNumberOf("\\pipe12x"), -1); // 12 is no pipe
    EXPECT_EQ(pipeNumberOf("\\pipe06"), -1);
    EXPECT_EQ(pipeNumberOf("\\pipe"), -1);
    EXPECT_EQ(pipeNumberOf("\\1pipe"), 1);
}

std::vector<std::uint8_t> configuration(std::vector<std::vector<std::uint8_t>> parts,
                                        std::uint8_t interfaces) {
    std::vector<std::uint8_t> c{9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
    for (const auto &p : parts) {
        c.insert(c.end(), p.begin(), p.end());
    }
    c[2] = static_cast<std::uint8_t>(c.size() & 0xFF);
    c[3] = static_cast<std::uint8_t>(c.size() >> 8);
    return c;
}

TEST(UsbNames, PipesAreTheFirstInterfacesEndpointsInOrder) {
    const auto c = configuration({{9, 4, 0, 0, 2, 0xFF, 0, 0, 0},
                                  {7, 5, 0x81, 2, 64, 0, 0},
                                  {5, 0x24, 1, 2, 3}, // class-specific: skipped
                                  {7, 5, 0x02, 2, 0, 2, 0},
                                  {9, 4, 1, 0, 1, 0xFF, 0, 0, 0},
                                  {7, 5, 0x83, 3, 8, 0, 1}},
                                 2);
    FirstInterface f;
    ASSERT_TRUE(parseConfiguration(c.data(), c.size(), f));
    EXPECT_EQ(f.configurationValue, 1);
    EXPECT_EQ(f.interfaceNumber, 0);
    ASSERT_EQ(f.pipes.size(), 2u);
    EXPECT_EQ(f.pipes[0].address, 0x81);
    EXPECT_TRUE(f.pipes[0].bulk() && f.pipes[0].in());
    EXPECT_EQ(f.pipes[0].packetSize(), 64);
    EXPECT_EQ(f.pipes[1].address, 0x02);
    EXPECT_FALSE(f.pipes[1].in());
    EXPECT_EQ(f.pipes[1].packetSize(), 512);
}

TEST(UsbNames, TheLowestInterfaceNumberComesFirst) {
    const auto c = configuration({{9, 4, 3, 0, 1, 0xFF, 0, 0, 0},
                                  {7, 5, 0x84, 2, 64, 0, 0},
                                  {9, 4, 1, 2, 1, 0xFF, 0, 0, 0},
                                  {7, 5, 0x02, 2, 64, 0, 0},
                                  {9, 4, 1, 0, 1, 0xFF, 0, 0, 0},
                                  {7, 5, 0x81, 2, 64, 0, 0}},
                                 2);
    FirstInterface f;
    ASSERT_TRUE(parseConfiguration(c.data(), c.size(), f));
    EXPECT_EQ(f.interfaceNumber, 1);
    EXPECT_EQ(f.alternateSetting, 2); // the first of its settings in the descriptor
    ASSERT_EQ(f.pipes.size(), 1u);
    EXPECT_EQ(f.pipes[0].address, 0x02);
}

TEST(UsbNames, BrokenConfigurationsAreRefused) {
    FirstInterface f;
    const auto none = configuration({}, 0);
    EXPECT_FALSE(parseConfiguration(none.data(), none.size(), f));
    const auto missingEndpoint =
        configuration({{9, 4, 0, 0, 2, 0xFF, 0, 0, 0}, {7, 5, 0x81, 2, 64, 0, 0}}, 1);
    EXPECT_FALSE(parseConfiguration(missingEndpoint.data(), missingEndpoint.size(), f));
    auto zeroLength = configuration({{9, 4, 0, 0, 1, 0xFF, 0, 0, 0}, {0, 5, 0x81, 2, 64, 0, 0}}, 1);
    EXPECT_FALSE(parseConfiguration(zeroLength.data(), zeroLength.size(), f));
    const auto good = configuration({{9, 4, 0, 0, 1, 0xFF, 0, 0, 0}, {7, 5, 0x81, 2, 64, 0, 0}}, 1);
    EXPECT_FALSE(parseConfiguration(good.data(), good.size() - 1, f)); // cut short
    EXPECT_FALSE(parseConfiguration(good.data() + 1, good.size() - 1, f));
}

} // namespace

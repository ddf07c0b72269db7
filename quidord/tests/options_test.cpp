#include "options.h"

#include <gtest/gtest.h>

namespace {

using quidord::Options;

TEST(QuidordOptions, LoopbackAndProbeZeroUnlessAsked) {
    Options o;
    std::string error;
    ASSERT_TRUE(quidord::parseCommandLine({}, o, error));
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 5151);
    EXPECT_EQ(o.probe, 0);
    ASSERT_TRUE(quidord::parseCommandLine({"--listen", "0.0.0.0:6000", "--probe", "2"}, o, error));
    EXPECT_EQ(o.host, "0.0.0.0");
    EXPECT_EQ(o.port, 6000);
    EXPECT_EQ(o.probe, 2);
    EXPECT_FALSE(quidord::isLoopback(o.host));
    EXPECT_TRUE(quidord::isLoopback("127.0.0.1"));
    ASSERT_TRUE(quidord::parseCommandLine({"--version"}, o, error));
    EXPECT_TRUE(o.version);
}

TEST(QuidordOptions, BadOptionsAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--listen"},     {"--listen", "nohost"}, {"--listen", "1.2.3.4:70000"},
        {"--probe", "4"}, {"--probe", "-1"},      {"--probe", "12"},
        {"--verbose"},
    };
    for (const auto &args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(quidord::parseCommandLine(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

} // namespace

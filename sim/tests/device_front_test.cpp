// The in-process front as the library's own USB transport reaches it.
#include "sim/device_front.h"
#include "wire.h"

#include "link.h"

#include <gtest/gtest.h>

namespace {

using simtest::Bytes;
using simtest::Request;

class DeviceFrontTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LINK_SelectUSB(0), 0);
        ASSERT_EQ(LINK_Connect(), 0);
    }
    void TearDown() override { LINK_Disconnect(); }

    int writeRead(const Bytes &request, Bytes &answer) {
        return LINK_WriteRead(request.data(), static_cast<int>(request.size()), answer.data(),
                              static_cast<int>(answer.size()));
    }

    plat::ScopedVirtualClock clock_{5000};
    sim::Probe probe_{*clock_};
    sim::DeviceFront front_{probe_};
};

TEST_F(DeviceFrontTest, TheLibraryTransportReachesTheProbe) {
    Bytes version(4);
    ASSERT_EQ(writeRead({0xF0}, version), 4);
    EXPECT_EQ(simtest::le32(version, 0), 22000u);

    // The firmware string, read in two pieces as the host does.
    const U8 cmd = 0x01;
    ASSERT_EQ(LINK_Write(&cmd, 1), 1);
    U8 length[2] = {};
    ASSERT_EQ(LINK_Read(length, 2), 2);
    ASSERT_EQ(length[0] | length[1] << 8, 112);
    char text[112] = {};
    ASSERT_EQ(LINK_Read(reinterpret_cast<U8 *>(text), 112), 112);
    EXPECT_STREQ(text, sim::kLibraryBanner);

    Bytes entry(8);
    ASSERT_EQ(writeRead(Request().entry(1).data({sim::Target::kEntryWord}).answer(2).bytes(), entry), 8);
    EXPECT_EQ(entry, (Bytes{0, 0, 3, 0, 0, 0, 0, 0}));
    // A refusal has the length asked for too; the trailer tells.
    Bytes refused(2 * 3 + 2);
    EXPECT_EQ(writeRead(Request().command(C_CALC_SIGN).data({11}).answer(3).bytes(), refused), 8);
    EXPECT_EQ(refused, (Bytes{6, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(LINK_HasCommError(), 0);
    // An answer cut short completes with what the probe sent.
    front_.withProbe([](sim::Probe &p) { p.setAnswerFault({sim::FaultKind::Short, 0xCD, 0, 1, 0}); });
    Bytes cut(2 * 3 + 2);
    EXPECT_EQ(writeRead(Request().command(C_CALC_SIGN).data({11}).answer(3).bytes(), cut), 4);
    EXPECT_EQ(LINK_HasCommError(), 1);
}

TEST_F(DeviceFrontTest, DeviceNameFollowsTheUsbAddressFromTheNextPlugIn) {
    front_.withProbe([](sim::Probe &p) { p.configMemory()[0] = 2; });
    EXPECT_EQ(front_.deviceName(), "\\\\.\\halvornquidor");
    front_.unplug();
    front_.plugIn();
    EXPECT_EQ(front_.deviceName(), "\\\\.\\halvornquidor2");
    std::uint32_t err = 0;
    EXPECT_EQ(plat::openDevice("\\\\.\\halvornquidor\\pipe00", err), nullptr);
    EXPECT_NE(plat::openDevice("\\\\.\\halvornquidor2\\pipe01", err), nullptr);
    EXPECT_NE(plat::openDevice("\\\\.\\HALVORNQUIDOR2", err), nullptr);
    EXPECT_EQ(plat::openDevice("\\\\.\\halvornquidor2\\pipe02", err), nullptr);
    LINK_Disconnect();
    ASSERT_EQ(LINK_SelectUSB(2), 0);
    ASSERT_EQ(LINK_Connect(), 0);
    Bytes caps(4);
    EXPECT_EQ(writeRead({0xE8}, caps), 4);
}

TEST_F(DeviceFrontTest, LateAnswersArriveInVirtualTimeOrAreLost) {
    struct Case {
        std::uint32_t lateMs;
        int received;
    };
    for (const Case c : {Case{300, 4}, Case{6000, 0}}) {
        LINK_ClearCommError();
        front_.withProbe([&](sim::Probe &p) {
            p.setAnswerFault({sim::FaultKind::Late, 0xF0, 0, 1, c.lateMs});
        });
        const std::uint32_t start = plat::tickMs();
        Bytes version(4);
        EXPECT_EQ(writeRead({0xF0}, version), c.received);
        const std::uint32_t waited = plat::tickMs() - start;
        EXPECT_GE(waited, std::min<std::uint32_t>(c.lateMs, 5000));
        EXPECT_LT(waited, 5000u + 1000u);
    }
    // The answer that came too late is gone; the next exchange is clean.
    LINK_ClearCommError();
    Bytes version(4);
    EXPECT_EQ(writeRead({0xF0}, version), 4);
    EXPECT_EQ(simtest::le32(version, 0), 22000u);
}

TEST_F(DeviceFrontTest, DroppedProbeVanishesUntilPluggedInAgain) {
    front_.withProbe([](sim::Probe &p) { p.setAnswerFault({sim::FaultKind::Drop, -1, 0, 1, 0}); });
    Bytes caps(4);
    EXPECT_EQ(writeRead({0xE8}, caps), 0);
    EXPECT_FALSE(front_.plugged());
    LINK_ClearCommError();
    EXPECT_EQ(writeRead({0xE8}, caps), 0);
    front_.plugIn();
    LINK_ClearCommError();
    EXPECT_EQ(writeRead({0xE8}, caps), 4);
}

} // namespace

// The state folder: what one run leaves, the next finds; damaged files are
// refused whole.
#include "sim/state_store.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class StateStore : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quidorsim_store_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    plat::ScopedVirtualClock clock_;
    fs::path dir_;
};

TEST_F(StateStore, EverythingKeptComesBack) {
    sim::Probe first{*clock_};
    first.configMemory()[4] = 2;
    first.systemConfig()[0] = 0x2A;
    first.target().dataMemory()[0x1FFF] = 0x11;
    first.target().eeprom()[7] = 0x22;
    first.target().erom()[0x3FFF] = 0x3344;
    first.target().ulp()[255] = 0x55667788;
    first.target().setProtected(true);
    std::vector<std::uint8_t> image(0x60, 0);
    const char banner[] = "Quidor kept";
    std::copy(banner, banner + sizeof banner, image.begin() + 0x50);
    first.loadFirmwareImage(image);
    std::string error;
    ASSERT_TRUE(sim::saveState(first, dir_.string(), error)) << error;

    sim::Probe second{*clock_};
    ASSERT_TRUE(sim::loadState(second, dir_.string(), error)) << error;
    EXPECT_EQ(second.configMemory()[4], 2);
    EXPECT_EQ(second.serialNumber(), 0xFFFFFF2Au);
    EXPECT_EQ(second.target().dataMemory()[0x1FFF], 0x11);
    EXPECT_EQ(second.target().eeprom()[7], 0x22);
    EXPECT_EQ(second.target().erom()[0x3FFF], 0x3344);
    EXPECT_EQ(second.target().ulp()[255], 0x55667788u);
    EXPECT_TRUE(second.target().isProtected());
    EXPECT_EQ(second.firmwareString(), "Quidor kept");
}

TEST_F(StateStore, MissingFolderIsAFreshProbeAndAWrongSizeIsRefused) {
    sim::Probe probe(*clock_);
    std::string error;
    EXPECT_TRUE(sim::loadState(probe, dir_.string(), error));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "config.bin", std::ios::binary) << std::string(256, '\x03');
    std::ofstream(dir_ / "erom.bin", std::ios::binary) << "short";
    EXPECT_FALSE(sim::loadState(probe, dir_.string(), error));
    EXPECT_NE(error.find("erom.bin"), std::string::npos);
    EXPECT_EQ(probe.configMemory()[0], 0); // nothing taken from a refused folder
}

} // namespace

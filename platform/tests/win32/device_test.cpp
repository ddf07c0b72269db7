// Devices of the system: a named pipe stands in for the driver's pipes.
#include "plat/clock.h"
#include "plat/device.h"
#include "plat/file.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

class PipeDevice : public ::testing::Test {
protected:
    void SetUp() override {
        name_ = "\\\\.\\pipe\\ferrox_test_" + std::to_string(GetCurrentProcessId());
        server_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                   4096, 0, nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE);
        std::uint32_t err = 1;
        device_ = plat::openDevice(name_.c_str(), err);
        ASSERT_NE(device_, nullptr);
        EXPECT_EQ(err, plat::kErrNone);
    }
    void TearDown() override {
        device_.reset();
        CloseHandle(server_);
    }
    void serverWrites(const char *bytes, DWORD n) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(server_, bytes, n, &written, nullptr));
        ASSERT_EQ(written, n);
    }

    std::string name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<plat::DeviceFile> device_;
};

TEST(SystemDevice, MissingDeviceFailsWithTheSystemsError) {
    std::uint32_t err = 0;
    EXPECT_EQ(plat::openDevice("\\\\.\\pipe\\ferrox_no_such_pipe", err), nullptr);
    EXPECT_EQ(err, plat::kErrFileNotFound);
}

TEST_F(PipeDevice, ReadWaitsForTheDeviceAndCompletesWhenItAnswers) {
    std::uint8_t buf[4] = {};
    plat::IoCompletion io;
    io.reset();
    ASSERT_TRUE(device_->startRead(buf, 4, io));
    EXPECT_TRUE(io.isPending());
    EXPECT_FALSE(io.wait(20));
    serverWrites("\x01\x02\x03\x04", 4);
    EXPECT_TRUE(io.wait(5000));
    EXPECT_FALSE(io.isPending());
    EXPECT_EQ(io.transferred(), 4u);
    EXPECT_EQ(buf[3], 4);
}

TEST_F(PipeDevice, CancelEndsAPendingReadWithWhatItHad) {
    std::uint8_t buf[4] = {};
    plat::IoCompletion io;
    io.reset();
    ASSERT_TRUE(device_->startRead(buf, 4, io));
    EXPECT_FALSE(io.wait(10));
    device_->cancelIo();
    EXPECT_FALSE(io.isPending());
    EXPECT_EQ(io.transferred(), 0u);
    // The device is still usable after the cancel.
    io.reset();
    ASSERT_TRUE(device_->startRead(buf, 2, io));
    serverWrites("\x0A\x0B", 2);
    EXPECT_TRUE(io.wait(5000));
    EXPECT_EQ(io.transferred(), 2u);
    EXPECT_EQ(buf[1], 0x0B);
}

TEST_F(PipeDevice, WriteReachesTheDevice) {
    plat::IoCompletion io;
    io.reset();
    const std::uint8_t bytes[3] = {7, 8, 9};
    ASSERT_TRUE(device_->startWrite(bytes, 3, io));
    EXPECT_TRUE(io.wait(5000));
    EXPECT_EQ(io.transferred(), 3u);
    char got[3] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(server_, got, 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(got[2], 9);
}

// Closing the device with a read still pending ends it; nothing is left
// to complete into the buffer afterwards.
TEST_F(PipeDevice, ClosingEndsPendingRequests) {
    std::uint8_t buf[4] = {};
    plat::IoCompletion io;
    io.reset();
    ASSERT_TRUE(device_->startRead(buf, 4, io));
    device_.reset();
    EXPECT_FALSE(io.isPending());
    EXPECT_EQ(io.transferred(), 0u);
}

} // namespace

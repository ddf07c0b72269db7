#include "plat/clock.h"
#include "plat/device.h"
#include "plat/file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Serves one name; reads complete late by `delayMs`, writes at once.
class LateDevice final : public plat::DeviceFile {
public:
    explicit LateDevice(std::uint32_t delayMs) : delayMs_(delayMs) {}
    bool startWrite(const std::uint8_t *, std::uint32_t size, plat::IoCompletion &io) override {
        io.complete(size);
        return true;
    }
    bool startRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
        std::memset(data, 0x5A, size);
        pending_ = &io;
        io.completeAt(plat::tickMs() + delayMs_, size);
        return true;
    }
    void cancelIo() override {
        if (pending_ != nullptr) {
            pending_->cancel();
        }
    }

private:
    std::uint32_t delayMs_;
    plat::IoCompletion *pending_ = nullptr;
};

class OneName final : public plat::DeviceProvider {
public:
    std::unique_ptr<plat::DeviceFile> open(const char *name) override {
        return std::string(name) == "\\\\.\\late" ? std::make_unique<LateDevice>(300) : nullptr;
    }
};

TEST(DeviceNamespace, UnknownNameFailsLikeAMissingDevice) {
    OneName provider;
    plat::registerDeviceProvider(&provider);
    std::uint32_t err = 0;
    EXPECT_EQ(plat::openDevice("\\\\.\\nothere", err), nullptr);
    EXPECT_EQ(err, plat::kErrFileNotFound);
    EXPECT_NE(plat::openDevice("\\\\.\\late", err), nullptr);
    EXPECT_EQ(err, plat::kErrNone);
    plat::unregisterDeviceProvider(&provider);
    EXPECT_EQ(plat::openDevice("\\\\.\\late", err), nullptr);
}

TEST(IoCompletion, LateAnswerArrivesInVirtualTimeOrIsCancelled) {
    plat::ScopedVirtualClock clock(100);
    LateDevice dev(300);
    std::uint8_t buf[4] = {};
    plat::IoCompletion io;
    ASSERT_TRUE(dev.startRead(buf, 4, io));
    EXPECT_FALSE(io.wait(299));
    EXPECT_TRUE(io.isPending());
    EXPECT_TRUE(io.wait(5000));
    EXPECT_EQ(io.transferred(), 4u);
    EXPECT_EQ(clock->tickMs(), 400u);

    plat::IoCompletion io2;
    ASSERT_TRUE(dev.startRead(buf, 4, io2));
    EXPECT_FALSE(io2.wait(10));
    dev.cancelIo();
    EXPECT_TRUE(io2.wait(0));
    EXPECT_EQ(io2.transferred(), 0u);
}

} // namespace

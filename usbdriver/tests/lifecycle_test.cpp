// Device creation and naming, links, plug and play, and pool accounting.
#include "driver_fixture.h"

#include <atomic>
#include <thread>

using namespace quidor_test;

namespace {

UsbIdentity withProduct(unsigned lowByte) {
    UsbIdentity id;
    id.productId = static_cast<std::uint16_t>(QUIDOR_PRODUCT_ID_BASE | lowByte);
    return id;
}

TEST_F(DriverTest, DeviceNamesFollowArrivalOrderAndReuseTheFirstFreeNumber) {
    ScriptedUsb a(withProduct(1)), b(withProduct(2)), c(withProduct(3)), d(withProduct(4));
    kshim::Device &first = plug(a);
    kshim::Device &second = plug(b);
    kshim::Device &third = plug(c);
    EXPECT_EQ(deviceNameOf(first), "\\Device\\halvornquidor0");
    EXPECT_EQ(deviceNameOf(second), "\\Device\\halvornquidor1");
    EXPECT_EQ(deviceNameOf(third), "\\Device\\halvornquidor2");
    ASSERT_EQ(kernel_->remove(first), STATUS_SUCCESS);
    EXPECT_EQ(deviceNameOf(plug(d)), "\\Device\\halvornquidor0");
}

TEST_F(DriverTest, AllDeviceNamesTakenFailsTheAddDevice) {
    std::vector<std::unique_ptr<ScriptedUsb>> devices;
    for (int n = 0; n < QUIDOR_DEVICE_NAMES; ++n) {
        devices.push_back(std::make_unique<ScriptedUsb>(withProduct(9)));
        ASSERT_EQ(kernel_->plugIn(*devices.back()).addStatus, STATUS_SUCCESS);
    }
    ScriptedUsb extra;
    EXPECT_EQ(kernel_->plugIn(extra).addStatus, STATUS_OBJECT_NAME_COLLISION);
}

struct LinkCase {
    unsigned productLowByte;
    const char *link;
};

class LinkByProduct : public DriverTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkByProduct, NamesTheDevice) {
    ScriptedUsb usb(withProduct(GetParam().productLowByte));
    kshim::Device &d = plug(usb);
    EXPECT_EQ(kshim::linkTarget(GetParam().link), "\\Device\\halvornquidor0");
    EXPECT_EQ(kshim::symbolicLinks().size(), 1u);
    EXPECT_NE(open(std::string("\\\\.\\") + (GetParam().link + std::strlen("\\DosDevices\\"))), nullptr);
    ASSERT_EQ(kernel_->remove(d), STATUS_SUCCESS);
    EXPECT_TRUE(kshim::symbolicLinks().empty());
}

INSTANTIATE_TEST_SUITE_P(Products, LinkByProduct,
                         ::testing::Values(LinkCase{1, "\\DosDevices\\halvornquidor"},
                                           LinkCase{2, "\\DosDevices\\halvornquidor1"},
                                           LinkCase{3, "\\DosDevices\\halvornquidor2"},
                                           LinkCase{4, "\\DosDevices\\halvornquidor3"},
                                           LinkCase{5, "\\DosDevices\\halvornquidor"},
                                           LinkCase{0, "\\DosDevices\\halvornquidor"}));

TEST_F(DriverTest, ForeignVendorStartsWithItsInterfaceButWithoutAName) {
    UsbIdentity id;
    id.vendorId = static_cast<std::uint16_t>(QUIDOR_VENDOR_ID ^ 0x1111);
    ScriptedUsb usb(id);
    kshim::Device &d = plug(usb);
    EXPECT_TRUE(kshim::symbolicLinks().empty());
    auto interfaces = kshim::deviceInterfaces(d.pdo);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    open("\\\\.\\halvornquidor", STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DriverTest, SecondProbeOnTheSameNameKeepsTheFirstLink) {
    ScriptedUsb a(withProduct(2)), b(withProduct(2));
    plug(a);
    kshim::Device &second = plug(b); // its link fails; the start does not
    EXPECT_EQ(extensionOf(second)->LinkName[0], 0);
    ASSERT_EQ(kernel_->remove(second), STATUS_SUCCESS);
    EXPECT_EQ(kshim::linkTarget("\\DosDevices\\halvornquidor1"), "\\Device\\halvornquidor0");
}

TEST_F(DriverTest, QueryStopWaitsForAReadInFlight) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    auto in = open("\\\\.\\halvornquidor\\pipe00");
    std::vector<std::uint8_t> buffer(64);
    kshim::Request read = in->startRead(buffer.data(), 64);
    ASSERT_FALSE(read.done());

    std::atomic<NTSTATUS> stopStatus{STATUS_PENDING};
    std::thread pnp([&] { stopStatus = kernel_->queryStop(d); });
    kshim::waitForBlockedWaiters(1); // query-stop waits for the read
    EXPECT_EQ(stopStatus.load(), STATUS_PENDING);
    EXPECT_EQ(extensionOf(d)->DeviceState, StopPending);

    usb.send(pattern(64));
    kernel_->serviceBus(d);
    pnp.join();
    EXPECT_EQ(stopStatus.load(), STATUS_SUCCESS);
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    EXPECT_EQ(buffer, pattern(64));

    // New requests are held until the stop is cancelled.
    kshim::Request held = in->startRead(buffer.data(), 8);
    EXPECT_FALSE(held.done());
    EXPECT_EQ(kernel_->cancelStop(d), STATUS_SUCCESS);
    EXPECT_EQ(extensionOf(d)->DeviceState, Working);
    usb.send(pattern(8, 3));
    kernel_->serviceBus(d);
    ASSERT_TRUE(held.done());
    EXPECT_EQ(held.information(), 8u);
}

TEST_F(DriverTest, StopAndRestartKeepTheLinkAndTheOpenHandles) {
    ScriptedUsb usb(withProduct(3));
    kshim::Device &d = plug(usb);
    auto out = open("\\\\.\\halvornquidor2\\pipe01");
    ASSERT_EQ(kernel_->queryStop(d), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->stop(d), STATUS_SUCCESS);
    EXPECT_EQ(extensionOf(d)->UsbInterface, nullptr);
    ASSERT_EQ(kernel_->start(d), STATUS_SUCCESS);
    EXPECT_EQ(kshim::linkTarget("\\DosDevices\\halvornquidor2"), "\\Device\\halvornquidor0");

    const auto data = pattern(10);
    ULONG_PTR written = 0;
    EXPECT_EQ(out->write(data.data(), 10, written), STATUS_SUCCESS);
    EXPECT_EQ(written, 10u);
    EXPECT_EQ(usb.written(), data);
    out.reset();
    ASSERT_EQ(kernel_->remove(d), STATUS_SUCCESS);
    EXPECT_TRUE(kshim::symbolicLinks().empty());
}

TEST_F(DriverTest, SurpriseRemovalEndsPendingReadsAndFailsHeldRequests) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    auto in = open("\\\\.\\halvornquidor\\pipe00");
    auto in2 = open("\\\\.\\halvornquidor\\pipe00");
    std::vector<std::uint8_t> buffer(16);
    kshim::Request atBus = in->startRead(buffer.data(), 16);
    ASSERT_FALSE(atBus.done());

    kernel_->surpriseRemove(d);
    ASSERT_TRUE(atBus.done());
    EXPECT_FALSE(NT_SUCCESS(atBus.status()));
    EXPECT_EQ(atBus.information(), 0u);
    EXPECT_EQ(extensionOf(d)->DeviceState, SurpriseRemoved);
    EXPECT_FALSE(kshim::deviceInterfaces(d.pdo)[0].enabled);

    // Requests on the handles still open fail; new opens find nothing.
    ULONG_PTR n = 0;
    EXPECT_EQ(in2->read(buffer.data(), 16, n), STATUS_DELETE_PENDING);
    std::uint32_t code = 0;
    EXPECT_EQ(in2->control(IOCTL_QUIDOR_GET_DRIVER_CODE, nullptr, 0, &code, 4, n), STATUS_DELETE_PENDING);
    in.reset();
    in2.reset(); // the last handle: the remove follows
    EXPECT_TRUE(d.removed);
    open("\\\\.\\halvornquidor\\pipe00", STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(kshim::symbolicLinks().empty());
}

TEST_F(DriverTest, SurpriseRemovalFailsTheRequestsHeldInLowPower) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    ASSERT_EQ(kernel_->setDevicePower(d, PowerDeviceD2), STATUS_SUCCESS);
    auto in = open("\\\\.\\halvornquidor\\pipe00");
    std::vector<std::uint8_t> buffer(16);
    kshim::Request held = in->startRead(buffer.data(), 16);
    ASSERT_FALSE(held.done());
    kernel_->surpriseRemove(d);
    ASSERT_TRUE(held.done());
    EXPECT_EQ(held.status(), STATUS_DELETE_PENDING);
}

TEST_F(DriverTest, CapabilitiesQueryChecksTheCallersRecord) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 0;
    EXPECT_EQ(kernel_->queryCapabilities(d, caps), STATUS_UNSUCCESSFUL);
    caps.Version = 1;
    caps.Size = 60;
    EXPECT_EQ(kernel_->queryCapabilities(d, caps), STATUS_UNSUCCESSFUL);
    caps.Size = sizeof caps;
    EXPECT_EQ(kernel_->queryCapabilities(d, caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(extensionOf(d)->DeviceCapabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
}

TEST_F(DriverTest, NothingOfThePoolIsLeftAfterUnload) {
    ScriptedUsb a, b(withProduct(2));
    kshim::Device &first = plug(a);
    kshim::Device &second = plug(b);
    {
        auto device = open("\\\\.\\halvornquidor");
        auto out = open("\\\\.\\halvornquidor\\pipe01");
        auto in = open("\\\\.\\halvornquidor\\pipe00");
        ULONG_PTR n = 0;
        char serial[64];
        EXPECT_EQ(device->control(IOCTL_QUIDOR_GET_SERIAL_NUMBER, nullptr, 0, serial, sizeof serial, n),
                  STATUS_SUCCESS);
        const auto data = pattern(5000);
        EXPECT_EQ(out->write(data.data(), 5000, n), STATUS_SUCCESS);
        ASSERT_EQ(kernel_->queryStop(first), STATUS_SUCCESS);
        ASSERT_EQ(kernel_->cancelStop(first), STATUS_SUCCESS);
        std::vector<std::uint8_t> buffer(100);
        kshim::Request pending = in->startRead(buffer.data(), 100); // cancelled at close
    }
    ASSERT_EQ(kernel_->queryStop(second), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->stop(second), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->start(second), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->remove(first), STATUS_SUCCESS);
    kernel_->surpriseRemove(second);
    kshim::drainWorkItems();
    EXPECT_EQ(kshim::poolOutstanding(), 1u); // the registry path copy, until unload
    kernel_->unloadDriver();
    EXPECT_EQ(kshim::poolOutstanding(), 0u);
}

TEST_F(DriverTest, AllocationFailuresFailTheStartWithoutLeaks) {
    for (int skip = 0; skip < 8; ++skip) {
        ScriptedUsb usb;
        kshim::failPoolAllocations(QUIDOR_POOL_TAG, skip, 1);
        kshim::Device &d = kernel_->plugIn(usb);
        kshim::failPoolAllocations(0, 0, 0);
        ASSERT_EQ(d.addStatus, STATUS_SUCCESS);
        if (d.startStatus != STATUS_SUCCESS) {
            EXPECT_EQ(d.startStatus, STATUS_INSUFFICIENT_RESOURCES) << skip;
        }
        ASSERT_EQ(kernel_->remove(d), STATUS_SUCCESS);
        EXPECT_EQ(kshim::poolOutstanding(QUIDOR_POOL_TAG), 1u) << skip; // the registry path copy
    }
}

TEST_F(DriverTest, PlugAndPlayAfterRemovalOfAHandleIsRefusedAsAVeto) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    auto file = open("\\\\.\\halvornquidor");
    EXPECT_EQ(kernel_->remove(d), STATUS_DEVICE_BUSY);
    file.reset();
    EXPECT_EQ(kernel_->remove(d), STATUS_SUCCESS);
}

} // namespace

// Power management: sleep mapping, held I/O out of D0, remote wakeup.
#include "driver_fixture.h"

#include <atomic>
#include <thread>

using namespace quidor_test;

namespace {

UsbIdentity wakeable() {
    UsbIdentity id;
    id.remoteWakeup = true;
    return id;
}

TEST_F(DriverTest, SystemSleepMapsToTheCapabilitiesDeviceStateAfterPendingReads) {
    ScriptedUsb usb;
    kshim::PlugOptions options;
    options.capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    kshim::Device &d = plug(usb, options);
    auto in = open("\\\\.\\halvornquidor\\pipe00");
    std::vector<std::uint8_t> buffer(4);
    kshim::Request read = in->startRead(buffer.data(), 4);

    std::atomic<NTSTATUS> sleep{STATUS_PENDING};
    std::thread power([&] { sleep = kernel_->setSystemPower(d, PowerSystemSleeping3); });
    kshim::waitForBlockedWaiters(1); // the work item waits for the read
    EXPECT_EQ(sleep.load(), STATUS_PENDING);
    EXPECT_EQ(kernel_->reportedPowerState(d), PowerDeviceD0);
    usb.send({1, 2, 3, 4});
    kernel_->serviceBus(d);
    power.join();
    EXPECT_EQ(sleep.load(), STATUS_SUCCESS);
    EXPECT_EQ(read.information(), 4u);
    EXPECT_EQ(kernel_->reportedPowerState(d), PowerDeviceD3);
    EXPECT_EQ(extensionOf(d)->SysPower, PowerSystemSleeping3);
    EXPECT_EQ(extensionOf(d)->QueueState, HoldRequests);

    EXPECT_EQ(kernel_->setSystemPower(d, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->reportedPowerState(d), PowerDeviceD0);
    EXPECT_EQ(extensionOf(d)->QueueState, AllowRequests);
    kshim::drainWorkItems();
    EXPECT_EQ(extensionOf(d)->OutStandingIO, 1);
    EXPECT_EQ(kernel_->requestedPowerIrpsInFlight(), 0);
}

TEST_F(DriverTest, WakeableDeviceRefusesSleepDeeperThanItsSystemWake) {
    ScriptedUsb usb(wakeable());
    kshim::Device &d = plug(usb); // SystemWake is S1
    EXPECT_TRUE(kernel_->waitWakePending(d));
    EXPECT_EQ(kernel_->querySystemPower(d, PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kernel_->querySystemPower(d, PowerSystemSleeping1), STATUS_SUCCESS);
    kshim::drainWorkItems(); // the work item lets its counts go after the system request completes
    EXPECT_EQ(extensionOf(d)->OutStandingIO, 1);
}

TEST_F(DriverTest, DeviceWithoutRemoteWakeupSleepsAnywhere) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    EXPECT_FALSE(kernel_->waitWakePending(d));
    EXPECT_EQ(kernel_->querySystemPower(d, PowerSystemSleeping3), STATUS_SUCCESS);
}

TEST_F(DriverTest, ReadInD2IsHeldAndRunsBackInD0) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    ASSERT_EQ(kernel_->setDevicePower(d, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->reportedPowerState(d), PowerDeviceD2);
    auto in = open("\\\\.\\halvornquidor\\pipe00");
    std::vector<std::uint8_t> buffer(8);
    usb.send(pattern(8));
    kshim::Request read = in->startRead(buffer.data(), 8);
    EXPECT_FALSE(read.done());
    EXPECT_EQ(kernel_->urbCount(d, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u);

    ASSERT_EQ(kernel_->setDevicePower(d, PowerDeviceD0), STATUS_SUCCESS);
    kshim::drainWorkItems(); // held requests run again at passive level
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    EXPECT_EQ(buffer, pattern(8));
}

TEST_F(DriverTest, ControlRequestsHeldInD2WaitForTheUsbStackBackInD0) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    auto device = open("\\\\.\\halvornquidor");
    ASSERT_EQ(kernel_->setSystemPower(d, PowerSystemSleeping2), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->reportedPowerState(d), PowerDeviceD2);
    std::thread caller([&] {
        char serial[32] = {};
        ULONG_PTR n = 0;
        // The first serial number request reads the string descriptor.
        EXPECT_EQ(device->control(IOCTL_QUIDOR_GET_SERIAL_NUMBER, nullptr, 0, serial, sizeof serial, n),
                  STATUS_SUCCESS);
        EXPECT_STREQ(serial, "Q1234567");
        EXPECT_EQ(device->control(IOCTL_QUIDOR_RESET_PORT, nullptr, 0, nullptr, 0, n), STATUS_SUCCESS);
    });
    PQUIDOR_DEVICE_EXTENSION ext = extensionOf(d);
    const auto held = [ext] {
        KIRQL irql;
        KeAcquireSpinLock(&ext->QueueLock, &irql);
        const bool any = !IsListEmpty(&ext->NewRequestsQueue);
        KeReleaseSpinLock(&ext->QueueLock, irql);
        return any;
    };
    while (!held()) {
        std::this_thread::yield();
    }
    const std::size_t descriptors = kernel_->urbCount(d, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_EQ(kernel_->setSystemPower(d, PowerSystemWorking), STATUS_SUCCESS);
    caller.join();
    EXPECT_EQ(kernel_->urbCount(d, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), descriptors + 1);
}

TEST_F(DriverTest, ADevicePowerRequestOfItsOwnKeepsTheIoCountWhole) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    ASSERT_EQ(kernel_->setDevicePower(d, PowerDeviceD2), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->setDevicePower(d, PowerDeviceD0), STATUS_SUCCESS);
    kshim::drainWorkItems();
    EXPECT_EQ(extensionOf(d)->OutStandingIO, 1);
    EXPECT_EQ(KeReadStateEvent(&extensionOf(d)->RemoveEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&extensionOf(d)->StopEvent), 1);
}

TEST_F(DriverTest, WakeBringsTheDeviceBackToD0AndArmsAgain) {
    ScriptedUsb usb(wakeable());
    kshim::Device &d = plug(usb);
    ASSERT_EQ(kernel_->querySystemPower(d, PowerSystemSleeping1), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->setSystemPower(d, PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->reportedPowerState(d), PowerDeviceD1);
    ASSERT_TRUE(kernel_->waitWakePending(d));
    ASSERT_TRUE(kernel_->wake(d));
    kshim::drainWorkItems();
    EXPECT_EQ(kernel_->reportedPowerState(d), PowerDeviceD0);
    EXPECT_TRUE(kernel_->waitWakePending(d));
    EXPECT_EQ(extensionOf(d)->OutStandingIO, 1);
}

TEST_F(DriverTest, StopCancelsTheWaitWake) {
    ScriptedUsb usb(wakeable());
    kshim::Device &d = plug(usb);
    ASSERT_TRUE(kernel_->waitWakePending(d));
    ASSERT_EQ(kernel_->queryStop(d), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->stop(d), STATUS_SUCCESS);
    EXPECT_FALSE(kernel_->waitWakePending(d));
    EXPECT_EQ(kernel_->requestedPowerIrpsInFlight(), 0);
    EXPECT_EQ(extensionOf(d)->FlagWWOutstanding, 0);
    ASSERT_EQ(kernel_->start(d), STATUS_SUCCESS);
    EXPECT_TRUE(kernel_->waitWakePending(d));
}

TEST_F(DriverTest, PowerRequestsBeforeTheStartPassDown) {
    ScriptedUsb usb;
    kshim::PlugOptions options;
    kshim::Device &d = kernel_->plugIn(usb, options);
    ASSERT_EQ(d.startStatus, STATUS_SUCCESS);
    // Stopped devices still own their power policy; after a stop the
    // requests go through the same paths.
    ASSERT_EQ(kernel_->queryStop(d), STATUS_SUCCESS);
    ASSERT_EQ(kernel_->stop(d), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->setDevicePower(d, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->setDevicePower(d, PowerDeviceD0), STATUS_SUCCESS);
    kshim::drainWorkItems();
    EXPECT_EQ(extensionOf(d)->OutStandingIO, 1);
}

} // namespace

// A USB bus for the libusb provider's tests: a umockdev testbed that shows
// each plugged-in device in sysfs (with its descriptors) and under
// /dev/bus/usb, and serves the URBs that libusb submits, reaps and discards
// on its node from a sim::UsbFunction, usually the simulator's probe. The
// test binary runs under umockdev-wrapper; programs it starts inherit the
// testbed and reach the same devices.
#pragma once

#include "sim/usb_device.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

namespace ferrox_test {

class UsbTestbed {
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed &) = delete;
    UsbTestbed &operator=(const UsbTestbed &) = delete;

    // True when the process runs under umockdev's preload.
    static bool available();

    // Plugs `function` in as device `address` of bus `bus`.
    void plugIn(sim::UsbFunction &function, unsigned bus, unsigned address);
    // Pulls a device out: its transfers in flight fail, its node and sysfs
    // entry go.
    void unplug(unsigned bus, unsigned address);
    // True once the function dropped off the bus by itself (an injected
    // drop): its transfers failed as an unplugged device's do.
    bool droppedOff(unsigned bus, unsigned address);
    // Takes every permission from the device's node.
    void denyAccess(unsigned bus, unsigned address);

    static std::string nodeOf(unsigned bus, unsigned address);

    struct Device;

private:
    Device *find(unsigned bus, unsigned address);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Waits (a few seconds at most) until `name` opens through the device
// namespace: libusb learns of a new device from its uevent on a thread of
// its own.
bool waitUntilOpens(const std::string &name);

// Drops what lets root ignore file permissions on the calling thread, so
// that a node without permission stays closed to it as to any user.
void dropFileCapabilities();

} // namespace ferrox_test

// The device namespace's last resort on POSIX: a probe on the USB bus.
#pragma once

#include "plat/device.h"

#include <memory>

namespace plat::usb {

// Opens one of the driver's names on a Quidor probe on the bus; nullptr when
// the name is none of them, no probe answers to it, or it cannot be opened.
// Only on the wall clock: under a virtual clock there are no real probes.
std::unique_ptr<DeviceFile> openUsbDevice(const char *name);

} // namespace plat::usb

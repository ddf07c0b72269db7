#include "../common/system.h"

#include "plat/file.h"

#include "usb/usb_provider.h"

namespace plat::system {

// A name that no in-process device claims may be a probe on the USB bus;
// otherwise it is a device that is not there.
std::unique_ptr<DeviceFile> openDevice(const char *name, std::uint32_t &winError) {
    if (auto f = usb::openUsbDevice(name)) {
        winError = kErrNone;
        return f;
    }
    winError = kErrFileNotFound;
    return nullptr;
}

} // namespace plat::system

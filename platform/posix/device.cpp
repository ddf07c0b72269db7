#include "../common/system.h"

#include "plat/file.h"

namespace plat::system {

// The driver's names mean nothing here: a name that no provider serves is a
// device that is not there.
std::unique_ptr<DeviceFile> openDevice(const char *, std::uint32_t &winError) {
    winError = kErrFileNotFound;
    return nullptr;
}

} // namespace plat::system

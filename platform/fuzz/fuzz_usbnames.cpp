// What the libusb provider takes from outside: the names a caller opens and
// the configuration descriptor a device sends.
#include "usb_names.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    if ((data[0] & 1) != 0) {
        const std::string name(reinterpret_cast<const char *>(data + 1), size - 1);
        std::string link;
        std::string rest;
        if (plat::usb::splitDeviceName(name.c_str(), link, rest)) {
            const int pipe = plat::usb::pipeNumberOf(rest);
            if (pipe < -1 || pipe >= plat::usb::kMaxPipes || link.find('\\') != std::string::npos) {
                __builtin_trap();
            }
        }
        return 0;
    }
    plat::usb::FirstInterface config;
    if (plat::usb::parseConfiguration(data + 1, size - 1, config) && config.pipes.size() > 255) {
        __builtin_trap();
    }
    return 0;
}

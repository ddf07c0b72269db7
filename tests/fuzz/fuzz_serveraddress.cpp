// The QUIDOR_SERVER value ("HOST:PORT") that the library reads at load.
#include "link.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    char host[512];
    int port = 0;
    if (LINK_ParseServerAddress(text.c_str(), host, sizeof host, &port)) {
        if (port < 1 || port > 65535 || host[0] == '\0' || std::strlen(host) >= sizeof host ||
            std::strncmp(text.c_str(), host, std::strlen(host)) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}

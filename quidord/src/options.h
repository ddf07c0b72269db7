// quidord's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quidord {

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 5151;
    int probe = 0; // the USB port: \\.\halvornquidor, \\.\halvornquidor1 ... 3
    bool help = false;
    bool version = false;
};

// False with `error` set for an option it does not know or a bad value.
bool parseCommandLine(const std::vector<std::string> &args, Options &options, std::string &error);
std::string usageText();
// True for an address of this machine's loopback network (127.0.0.0/8).
bool isLoopback(const std::string &host);

} // namespace quidord

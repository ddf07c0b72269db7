// The command line of quidorsim.
#pragma once

#include "sim/probe.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct CliOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 5151;
    std::string stateDir;
    bool trace = false;
    bool help = false;
    bool version = false;
    ProbeOptions probe;
    AnswerFault fault;
    bool refuseUpdate = false;
    int brownOuts = 0;
    int programFailures = 0;
};

// Arguments without the program name. False with a message on a bad one.
bool parseCommandLine(const std::vector<std::string> &args, CliOptions &options, std::string &error);
std::string usageText();

} // namespace sim

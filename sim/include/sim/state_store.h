// Probe and target state kept in a folder between runs of quidorsim.
#pragma once

#include "sim/probe.h"

#include <string>

namespace sim {

// Missing files leave the probe as it is (a fresh probe); a file of the
// wrong size is an error and nothing of it is taken.
bool loadState(Probe &probe, const std::string &dir, std::string &error);
// Writes every file through a temporary name, so a crash leaves the old one.
bool saveState(Probe &probe, const std::string &dir, std::string &error);

} // namespace sim

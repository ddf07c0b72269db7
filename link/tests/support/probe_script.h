// Scripts of the exchanges an open makes, for the scripted probe and the
// scripted server: firmware string, capabilities, configuration memory, and
// the target supply switched off.
#pragma once

#include "scripted_probe.h"
#include "scripted_server.h"

#include <cstdint>
#include <string>

namespace ferrox_test {

// The identification inside the library's firmware image.
inline const char *const kBanner = "Quidor Rev 2.0 Tamsa compiled Feb 13 2015 14:08:22";

struct OpenScript {
    std::string firmware = kBanner;
    std::uint16_t firmwareLength = 112;
    std::uint32_t caps = 0;
    Bytes config = Bytes(256, 0);
    std::uint16_t vTarget = 0;
    std::uint8_t targetPowerOn = 0;
};

// The answer to 0x01: the length, then the text padded with NULs.
Bytes firmwareAnswer(const std::string &text, std::uint16_t length = 112);
// The 8-byte hardware status answer.
Bytes hwStatus(std::uint16_t vTarget, std::uint8_t targetPowerOn, std::uint8_t scl = 0);
Bytes le32(std::uint32_t v);

// One probe-level connect (the open makes two, with the supply switch
// between them).
void scriptConnect(ScriptedProbe &probe, const OpenScript &s = {});
void scriptOpen(ScriptedProbe &probe, const OpenScript &s = {});
void scriptOpen(ScriptedServer &server, const OpenScript &s = {});

} // namespace ferrox_test

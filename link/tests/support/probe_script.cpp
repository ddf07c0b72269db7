#include "probe_script.h"

namespace ferrox_test {

Bytes firmwareAnswer(const std::string &text, std::uint16_t length) {
    Bytes b{static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
    for (std::size_t i = 0; i < length; ++i) {
        b.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
    return b;
}

Bytes hwStatus(std::uint16_t vTarget, std::uint8_t targetPowerOn, std::uint8_t scl) {
    return {static_cast<std::uint8_t>(vTarget),
            static_cast<std::uint8_t>(vTarget >> 8),
            0,
            scl,
            0,
            1,
            1,
            targetPowerOn};
}

Bytes le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

void scriptConnect(ScriptedProbe &probe, const OpenScript &s) {
    probe.expect({0x01}, firmwareAnswer(s.firmware, s.firmwareLength));
    probe.expect({0xE8}, le32(s.caps));
    if ((s.caps & 0x10u) != 0) {
        probe.expect({0x8E}, s.config);
    }
}

void scriptOpen(ScriptedProbe &probe, const OpenScript &s) {
    scriptConnect(probe, s);
    probe.expect({0x07}, hwStatus(s.vTarget, s.targetPowerOn));
    probe.expect({0xF2, 0x00}, {0});
    scriptConnect(probe, s);
}

void scriptOpen(ScriptedServer &server, const OpenScript &s) {
    const Bytes fw = firmwareAnswer(s.firmware, s.firmwareLength);
    for (int connect = 0; connect < 2; ++connect) {
        server.expect({0x01}, Bytes(fw.begin(), fw.begin() + 2));
        server.expect({}, Bytes(fw.begin() + 2, fw.end()));
        server.expect({0xE8}, le32(s.caps));
        if ((s.caps & 0x10u) != 0) {
            server.expect({0x8E}, s.config);
        }
        if (connect == 0) {
            server.expect({0x07}, hwStatus(s.vTarget, s.targetPowerOn));
            server.expect({0xF2, 0x00}, {0});
        }
    }
}

} // namespace ferrox_test

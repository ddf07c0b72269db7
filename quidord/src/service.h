// One client's session with a probe attached to this machine: the greeting
// and the probe server's frames, carried out through the library's own USB
// transport, each frame as the transfer the library would make for it.
#pragma once

#include "sim/frames.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quidord {

enum : std::uint8_t {
    kGreetingReady = 0,    // the probe answers
    kGreetingNoProbe = 1,  // no probe at the port
    kGreetingNoAccess = 2, // a probe is there, but it cannot be opened
};

// What the log hears: the transport's error texts and what the service did.
using LogFunction = void (*)(const char *text);
void setLog(LogFunction log);
void log(const std::string &text);

// A notice of the USB provider about a probe it could not open; the next
// greeting passes it on to the client.
void noteUsbProblem(const char *text);

class FrameService {
public:
    // Serves the probe at USB port `port` (the N of \\.\halvornquidor<N>).
    explicit FrameService(int port);

    // The greeting for a client that just connected, after a presence test.
    // A client that is told there is no probe is served no frames.
    std::vector<std::uint8_t> greet();
    bool ready() const { return ready_; }

    // Serves every whole frame among `data` and appends the answers to
    // `out`. False when the connection must end: a stream that is no frame
    // of the protocol, or a probe that went away (see endReason()).
    bool feed(const std::uint8_t *data, std::size_t size, std::vector<std::uint8_t> &out);
    const std::string &endReason() const { return endReason_; }

    const std::string &deviceName() const { return device_; }

private:
    bool serve(std::vector<std::uint8_t> &out);

    int port_;
    std::string device_;
    bool ready_ = false;
    std::string endReason_;
    sim::FrameReader reader_;
    sim::Frame frame_;
    std::vector<std::uint8_t> answer_;
};

} // namespace quidord

// A scripted Quidor TCP/IP server, an in-process peer of the TCP/IP
// transport at 127.0.0.1 and a port of its own: it greets, takes the host's
// frames, checks their plain payloads against the script and answers exact
// bytes, a wrong count, nothing, or closes the connection. It answers at
// once, so tests of it run in virtual time without real sockets.
#pragma once

#include "scripted_probe.h"

#include "plat/stream.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ferrox_test {

class ScriptedServer final : public plat::StreamProvider {
public:
    enum class Reply { Full, Silent, Close };
    // What the server does right after a client connects.
    enum class Greeting { Ready, NotReady, Silent };

    explicit ScriptedServer(Greeting greeting = Greeting::Ready, std::string ident = "Quidor TCP/IP Server");
    ~ScriptedServer() override;
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    std::uint16_t port() const { return port_; }

    // The next frame must carry `request` (plain) and is answered with
    // `answer` (plain), sent with its own length as the count unless
    // `count` is given. Write frames get no answer.
    void expect(Bytes request, Bytes answer, Reply reply = Reply::Full, int count = -1);

    struct Frame {
        std::uint8_t type;
        Bytes head;    // as received
        Bytes payload; // unscrambled
    };
    // The frames received so far (at least `n` of them when the test did
    // its part: the server answers at once).
    std::vector<Frame> frames(std::size_t n = 0) const;
    std::vector<std::string> mismatches() const;
    int connections() const;

    std::unique_ptr<plat::ByteStream> connect(std::uint32_t address, std::uint16_t port) override;

private:
    class Connection;
    struct Step {
        Bytes request;
        Bytes answer;
        Reply reply;
        int count;
    };
    // A whole frame from the client: answered, or the connection ends.
    void onFrame(Connection &c, Frame f);

    Greeting greeting_;
    std::string ident_;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    int connections_ = 0;
    std::deque<Step> script_;
    std::vector<Frame> frames_;
    std::vector<std::string> mismatches_;
};

} // namespace ferrox_test

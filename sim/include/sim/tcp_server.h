// The TCP front: the server side of the probe server's frames. A greeting
// goes out when a client connects; then read (0x01), write (0x02) and
// write-read (0x03) frames carry scrambled payloads to and from the probe.
#pragma once

#include "sim/frames.h"
#include "sim/probe.h"

#include "plat/stream.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// Frame parsing and answering for one connection, without the socket: bytes
// from the client in, bytes for the client out. A read whose answer is late
// holds the session until that answer's time has come (resume()).
class FrameSession {
public:
    explicit FrameSession(Probe &probe) : probe_(probe) {}

    // Feeds bytes from the client; appends what goes back to `out`.
    void feed(const std::uint8_t *data, std::size_t size, std::vector<std::uint8_t> &out);
    // True while a read waits for a late answer, due at `tick` on the
    // probe's clock.
    bool waiting(std::uint32_t &tick) const;
    // Goes on once the clock reached that tick: the read answers with what
    // the probe has then, and the frames that came meanwhile are served.
    void resume(std::vector<std::uint8_t> &out);
    // The connection must end: unknown frame kind or an injected drop.
    bool closed() const { return closed_; }

private:
    bool processOne(std::vector<std::uint8_t> &out);
    void drain(std::vector<std::uint8_t> &out);
    bool answerRead(std::size_t wanted, std::vector<std::uint8_t> &out);

    Probe &probe_;
    FrameReader reader_;
    Frame frame_;
    std::vector<std::uint8_t> scratch_;
    std::size_t pendingRead_ = 0;
    bool readPending_ = false;
    bool closed_ = false;
};

class TcpServer {
public:
    explicit TcpServer(Probe &probe) : probe_(probe) {}
    TcpServer(const TcpServer &) = delete;
    TcpServer &operator=(const TcpServer &) = delete;

    // Binds and listens; port 0 picks a free one (see port()).
    bool listen(const std::string &host, std::uint16_t port, std::string &error) {
        return listener_.listen(host, port, error);
    }
    std::uint16_t port() const { return listener_.port(); }
    const std::string &host() const { return listener_.host(); }

    // Serves clients one at a time until stop().
    void serve();
    // Async-signal-safe.
    void stop() { listener_.stop(); }
    // SIGINT and SIGTERM stop the server from now on.
    void stopOnSignals() { listener_.stopOnSignals(); }

    // Called with the lock held after each client left (state files).
    void onClientDone(std::function<void()> f) { clientDone_ = std::move(f); }
    // Scenario access while the server runs in another thread.
    template <typename F> auto withProbe(F &&f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(probe_);
    }

    std::string identification = "quidorsim virtual probe";
    std::uint8_t greetingStatus = 0;

private:
    void serveClient(int fd);

    Probe &probe_;
    std::mutex mutex_;
    TcpListener listener_;
    std::function<void()> clientDone_;
};

// The TCP front without sockets: the probe server as an in-process peer of
// the library's TCP/IP transport at `address`:`port`, for tests and fuzzing
// in virtual time. Each connection starts with the greeting and fresh probe
// streams, as a client of the TCP server does.
class StreamFront final : public plat::StreamProvider {
public:
    StreamFront(Probe &probe, std::uint32_t address, std::uint16_t port);
    ~StreamFront() override;
    StreamFront(const StreamFront &) = delete;
    StreamFront &operator=(const StreamFront &) = delete;

    std::unique_ptr<plat::ByteStream> connect(std::uint32_t address, std::uint16_t port) override;
    std::uint16_t port() const { return port_; }
    int connections() const { return connections_; }

    std::string identification = "quidorsim virtual probe";
    std::uint8_t greetingStatus = 0;

private:
    Probe &probe_;
    std::uint32_t address_;
    std::uint16_t port_;
    int connections_ = 0;
};

} // namespace sim

// The TCP front: the server side of the probe server's frames. A greeting
// goes out when a client connects; then read (0x01), write (0x02) and
// write-read (0x03) frames carry scrambled payloads to and from the probe.
#pragma once

#include "sim/probe.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// Frame parsing and answering for one connection, without the socket: bytes
// from the client in, bytes for the client out.
class FrameSession {
public:
    // `wait` is called while an answer the client waits for is late; it
    // should let the platform clock pass up to the tick given.
    FrameSession(Probe &probe, std::function<void(std::uint32_t)> wait);

    // Feeds bytes from the client; appends what goes back to `out`.
    void feed(const std::uint8_t *data, std::size_t size, std::vector<std::uint8_t> &out);
    // The connection must end: unknown frame kind or an injected drop.
    bool closed() const { return closed_; }

    static std::vector<std::uint8_t> greeting(std::uint8_t status, const std::string &identification);

private:
    bool processOne(std::vector<std::uint8_t> &out);
    void answerRead(std::size_t wanted, std::vector<std::uint8_t> &out);

    Probe &probe_;
    std::function<void(std::uint32_t)> wait_;
    std::vector<std::uint8_t> in_;
    std::size_t inPos_ = 0;
    std::vector<std::uint8_t> scratch_;
    bool closed_ = false;
};

class TcpServer {
public:
    explicit TcpServer(Probe &probe) : probe_(probe) {}
    ~TcpServer();
    TcpServer(const TcpServer &) = delete;
    TcpServer &operator=(const TcpServer &) = delete;

    // Binds and listens; port 0 picks a free one (see port()).
    bool listen(const std::string &host, std::uint16_t port, std::string &error);
    std::uint16_t port() const { return port_; }
    const std::string &host() const { return host_; }

    // Serves clients one at a time until stop().
    void serve();
    // Async-signal-safe.
    void stop() { stop_.store(true); }

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
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::string host_;
    std::atomic<bool> stop_{false};
    std::function<void()> clientDone_;
};

// "HOST:PORT" with a dotted IPv4 host (or "localhost") and a port 0..65535.
bool parseHostPort(const std::string &text, std::string &host, std::uint16_t &port);

} // namespace sim

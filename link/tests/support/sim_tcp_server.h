// The simulated probe behind its probe server, with the library switched over
// to it through the TCP/IP transport.
//
// In-process by default: the server is a peer of the transport on the
// probe's clock, answering at once or at the time a late answer is due, with
// no socket and no thread. Over the loopback when asked: the real server on a
// socket, served by a thread of its own on the wall clock; the server stops
// and its thread ends when the object goes, also when a test fails half-way.
#pragma once

#include "Ferrox.h"

#include "sim/probe.h"
#include "sim/tcp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ferrox_test {

class SimTcpServer {
public:
    enum class Over { InProcess, Loopback };

    explicit SimTcpServer(sim::Probe &probe, Over over = Over::InProcess) : probe_(probe), over_(over) {}
    ~SimTcpServer() { stop(); }
    SimTcpServer(const SimTcpServer &) = delete;
    SimTcpServer &operator=(const SimTcpServer &) = delete;

    // Starts serving and selects TCP/IP at the server's port.
    ::testing::AssertionResult start() {
        std::uint16_t port = 0;
        if (over_ == Over::InProcess) {
            static std::atomic<std::uint16_t> nextPort{40600};
            port = nextPort++;
            front_ = std::make_unique<sim::StreamFront>(probe_, 0x7F000001, port);
        } else {
            server_ = std::make_unique<sim::TcpServer>(probe_);
            std::string error;
            if (!server_->listen("127.0.0.1", 0, error)) {
                return ::testing::AssertionFailure() << "listen: " << error;
            }
            port = server_->port();
            thread_ = std::thread([this] { server_->serve(); });
        }
        if (FERROX_SelectTCPIP("127.0.0.1", port) != 0) {
            return ::testing::AssertionFailure() << "FERROX_SelectTCPIP failed";
        }
        return ::testing::AssertionSuccess();
    }

    void stop() {
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
        front_.reset();
    }

    // The probe, safe to touch while a loopback server serves it.
    template <typename F> auto withProbe(F &&f) {
        if (server_ != nullptr) {
            return server_->withProbe(std::forward<F>(f));
        }
        return f(probe_);
    }

private:
    sim::Probe &probe_;
    Over over_;
    std::unique_ptr<sim::StreamFront> front_;
    std::unique_ptr<sim::TcpServer> server_;
    std::thread thread_;
};

} // namespace ferrox_test

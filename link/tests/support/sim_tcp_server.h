// The simulated probe behind its TCP/IP server on a loopback port, served by
// a thread of its own, with the library switched over to it. The server stops
// and its thread ends when the object goes, also when a test fails half-way.
#pragma once

#include "Ferrox.h"

#include "sim/probe.h"
#include "sim/tcp_server.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace ferrox_test {

class SimTcpServer {
public:
    explicit SimTcpServer(sim::Probe &probe) : server_(probe) {}
    ~SimTcpServer() { stop(); }
    SimTcpServer(const SimTcpServer &) = delete;
    SimTcpServer &operator=(const SimTcpServer &) = delete;

    // Listens, starts serving and selects TCP/IP at the server's port.
    ::testing::AssertionResult start() {
        std::string error;
        if (!server_.listen("127.0.0.1", 0, error)) {
            return ::testing::AssertionFailure() << "listen: " << error;
        }
        thread_ = std::thread([this] { server_.serve(); });
        if (FERROX_SelectTCPIP("127.0.0.1", server_.port()) != 0) {
            return ::testing::AssertionFailure() << "FERROX_SelectTCPIP failed";
        }
        return ::testing::AssertionSuccess();
    }

    void stop() {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }

    sim::TcpServer &server() { return server_; }

private:
    sim::TcpServer server_;
    std::thread thread_;
};

} // namespace ferrox_test

// A scripted Quidor TCP/IP server on the loopback: it greets, takes the
// host's frames, checks their plain payloads against the script and answers
// exact bytes, a wrong count, nothing, or closes the connection.
#pragma once

#include "scripted_probe.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ferrox_test {

class ScriptedServer {
public:
    enum class Reply { Full, Silent, Close };
    // What the server does right after accepting.
    enum class Greeting { Ready, NotReady, Silent };

    explicit ScriptedServer(Greeting greeting = Greeting::Ready, std::string ident = "Quidor TCP/IP Server");
    ~ScriptedServer();
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
    // Waits (real time, bounded) until `n` frames have arrived.
    std::vector<Frame> frames(std::size_t n = 0) const;
    std::vector<std::string> mismatches() const;
    int connections() const { return connections_.load(); }

private:
    void run();
    void serve(int fd);

    struct Step {
        Bytes request;
        Bytes answer;
        Reply reply;
        int count;
    };

    Greeting greeting_;
    std::string ident_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::deque<Step> script_;
    std::vector<Frame> frames_;
    std::vector<std::string> mismatches_;
    std::thread thread_;
};

} // namespace ferrox_test

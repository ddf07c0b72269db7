#include "scripted_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ferrox_test {
namespace {

// Receives exactly n bytes, watching `stop`; false on close or stop.
bool recvAll(int fd, std::uint8_t *p, std::size_t n, const std::atomic<bool> &stop) {
    std::size_t got = 0;
    while (got < n) {
        pollfd pfd{fd, POLLIN, 0};
        int rc = ::poll(&pfd, 1, 20);
        if (stop.load()) {
            return false;
        }
        if (rc <= 0) {
            continue;
        }
        ssize_t r = ::recv(fd, p + got, n - got, 0);
        if (r <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(r);
    }
    return true;
}

void sendAll(int fd, const Bytes &b) {
    std::size_t sent = 0;
    while (sent < b.size()) {
        ssize_t n = ::send(fd, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

Bytes scramble(const Bytes &plain) {
    Bytes wire(plain.size());
    std::uint8_t prev = 0xFF;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        wire[i] = static_cast<std::uint8_t>(plain[i] ^ prev);
        prev = plain[i];
    }
    return wire;
}

void unscramble(Bytes &b) {
    std::uint8_t prev = 0xFF;
    for (auto &c : b) {
        c = static_cast<std::uint8_t>(c ^ prev);
        prev = c;
    }
}

} // namespace

ScriptedServer::ScriptedServer(Greeting greeting, std::string ident)
    : greeting_(greeting), ident_(std::move(ident)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = 0;
    ::bind(listenFd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    ::listen(listenFd_, 4);
    socklen_t len = sizeof sin;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&sin), &len);
    port_ = ntohs(sin.sin_port);
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

void ScriptedServer::expect(Bytes request, Bytes answer, Reply reply, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(Step{std::move(request), std::move(answer), reply, count});
}

std::vector<ScriptedServer::Frame> ScriptedServer::frames(std::size_t n) const {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return frames_.size() >= n; });
    return frames_;
}

std::vector<std::string> ScriptedServer::mismatches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mismatches_;
}

void ScriptedServer::run() {
    while (!stop_.load()) {
        pollfd pfd{listenFd_, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) {
            continue;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        serve(fd);
        ::close(fd);
    }
}

void ScriptedServer::serve(int fd) {
    if (greeting_ == Greeting::Silent) {
        std::uint8_t b;
        recvAll(fd, &b, 1, stop_); // until the host gives up
        return;
    }
    Bytes hello(4 + ident_.size());
    hello[0] = static_cast<std::uint8_t>(greeting_ == Greeting::Ready ? 0 : 1);
    hello[3] = static_cast<std::uint8_t>(ident_.size());
    for (std::size_t i = 0; i < ident_.size(); ++i) {
        hello[4 + i] = static_cast<std::uint8_t>(ident_[i]);
    }
    sendAll(fd, hello);
    for (;;) {
        Frame f{};
        std::uint8_t type = 0;
        if (!recvAll(fd, &type, 1, stop_)) {
            return;
        }
        f.type = type;
        f.head.push_back(type);
        int nOut = 0;
        int nIn = 0;
        std::uint8_t h[4];
        if (type == 0x01 || type == 0x02) {
            if (!recvAll(fd, h, 2, stop_)) {
                return;
            }
            f.head.insert(f.head.end(), h, h + 2);
            (type == 0x01 ? nIn : nOut) = h[0] | (h[1] << 8);
        } else if (type == 0x03) {
            if (!recvAll(fd, h, 4, stop_)) {
                return;
            }
            f.head.insert(f.head.end(), h, h + 4);
            nOut = h[0] | (h[1] << 8);
            nIn = h[2] | (h[3] << 8);
        } else {
            std::lock_guard<std::mutex> lock(mutex_);
            mismatches_.push_back("unknown frame type " + std::to_string(type));
            return;
        }
        f.payload.resize(static_cast<std::size_t>(nOut));
        if (nOut > 0 && !recvAll(fd, f.payload.data(), f.payload.size(), stop_)) {
            return;
        }
        unscramble(f.payload);

        Step step{{}, {}, Reply::Full, -1};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(f);
            if (script_.empty()) {
                mismatches_.push_back("unexpected frame " + hex(f.head) + " / " + hex(f.payload));
            } else {
                step = std::move(script_.front());
                script_.pop_front();
                if (step.request != f.payload) {
                    mismatches_.push_back("expected " + hex(step.request) + ", got " + hex(f.payload));
                }
            }
        }
        cv_.notify_all();
        if (type == 0x02) {
            continue;
        }
        if (step.reply == Reply::Close) {
            return;
        }
        if (step.reply == Reply::Silent) {
            continue;
        }
        const int count = step.count >= 0 ? step.count : static_cast<int>(step.answer.size());
        Bytes out{static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8)};
        Bytes wire = scramble(step.answer);
        out.insert(out.end(), wire.begin(), wire.end());
        sendAll(fd, out);
    }
}

} // namespace ferrox_test

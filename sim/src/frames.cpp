#include "sim/frames.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace sim {

namespace {

std::atomic<TcpListener *> signalledListener{nullptr};

extern "C" void onStopSignal(int) {
    TcpListener *listener = signalledListener.load();
    if (listener != nullptr) {
        listener->stop();
    }
}

} // namespace

void scramble(std::uint8_t *data, std::size_t size) {
    std::uint8_t previous = 0xFF;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t plain = data[i];
        data[i] = static_cast<std::uint8_t>(plain ^ previous);
        previous = plain;
    }
}

void unscramble(std::uint8_t *data, std::size_t size) {
    std::uint8_t previous = 0xFF;
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(data[i] ^ previous);
        previous = data[i];
    }
}

void FrameReader::feed(const std::uint8_t *data, std::size_t size) {
    if (inPos_ == in_.size()) {
        in_.clear();
        inPos_ = 0;
    } else if (inPos_ > 65536) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inPos_));
        inPos_ = 0;
    }
    in_.insert(in_.end(), data, data + size);
}

FrameReader::Next FrameReader::next(Frame &frame) {
    const std::size_t avail = in_.size() - inPos_;
    if (avail == 0) {
        return Next::Incomplete;
    }
    const std::uint8_t *p = in_.data() + inPos_;
    if (p[0] != kFrameRead && p[0] != kFrameWrite && p[0] != kFrameWriteRead) {
        return Next::Bad;
    }
    const std::size_t head = p[0] == kFrameWriteRead ? 5 : 3;
    if (avail < head) {
        return Next::Incomplete;
    }
    const auto first = static_cast<std::size_t>(p[1] | p[2] << 8);
    const std::size_t nOut = p[0] == kFrameRead ? 0 : first;
    if (avail < head + nOut) {
        return Next::Incomplete;
    }
    frame.kind = p[0];
    frame.answerSize = p[0] == kFrameRead        ? first
                       : p[0] == kFrameWriteRead ? static_cast<std::size_t>(p[3] | p[4] << 8)
                                                 : 0;
    frame.payload.assign(p + head, p + head + nOut);
    unscramble(frame.payload.data(), frame.payload.size());
    inPos_ += head + nOut;
    return Next::Frame;
}

void appendAnswer(std::vector<std::uint8_t> &out, const std::uint8_t *data, std::size_t count) {
    out.push_back(static_cast<std::uint8_t>(count & 0xFF));
    out.push_back(static_cast<std::uint8_t>(count >> 8));
    const std::size_t at = out.size();
    out.insert(out.end(), data, data + count);
    scramble(out.data() + at, count);
}

std::vector<std::uint8_t> greeting(std::uint8_t status, const std::string &identification) {
    const std::size_t len = std::min<std::size_t>(identification.size(), 255);
    std::vector<std::uint8_t> g(4 + len, 0);
    g[0] = status;
    g[3] = static_cast<std::uint8_t>(len);
    for (std::size_t i = 0; i < len; ++i) {
        g[4 + i] = static_cast<std::uint8_t>(identification[i]);
    }
    return g;
}

bool parseHostPort(const std::string &text, std::string &host, std::uint16_t &port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() - colon > 6) {
        return false;
    }
    std::string h = text.substr(0, colon);
    if (h == "localhost") {
        h = "127.0.0.1";
    }
    in_addr addr{};
    if (::inet_pton(AF_INET, h.c_str(), &addr) != 1) {
        return false;
    }
    unsigned value = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 65535) {
        return false;
    }
    host = h;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool sendAll(int fd, const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

TcpListener::~TcpListener() {
    TcpListener *self = this;
    signalledListener.compare_exchange_strong(self, nullptr);
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TcpListener::listen(const std::string &host, std::uint16_t port, std::string &error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return false;
    }
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd_, 4) != 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    host_ = host;
    return true;
}

void TcpListener::serve(const std::function<void(int fd, const std::string &peer)> &serveClient) {
    while (!stop_.load()) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, kStopCheckMs) <= 0) {
            continue; // time-out or a signal: look at the stop flag again
        }
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        const int fd = ::accept4(fd_, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // One blocking receive per burst of frames; the time-out only lets
        // the server look at the stop flag now and then.
        const timeval stopCheck{0, static_cast<suseconds_t>(kStopCheckMs) * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &stopCheck, sizeof stopCheck);
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        serveClient(fd, std::string(text) + ":" + std::to_string(ntohs(addr.sin_port)));
        ::close(fd);
    }
}

} // namespace sim

namespace sim {

void TcpListener::stopOnSignals() {
    signalledListener.store(this);
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

std::size_t TcpListener::receive(int fd, std::uint8_t *data, std::size_t size) const {
    while (!stop_.load()) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return 0;
}

} // namespace sim

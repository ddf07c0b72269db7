#include "sim/tcp_server.h"

#include "sim/checksums.h"

#include "plat/clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::uint8_t kFrameRead = 0x01;
constexpr std::uint8_t kFrameWrite = 0x02;
constexpr std::uint8_t kFrameWriteRead = 0x03;
constexpr int kPollMs = 100;

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

} // namespace

std::vector<std::uint8_t> FrameSession::greeting(std::uint8_t status, const std::string &identification) {
    const std::size_t len = std::min<std::size_t>(identification.size(), 255);
    std::vector<std::uint8_t> g(4 + len, 0);
    g[0] = status;
    g[3] = static_cast<std::uint8_t>(len);
    for (std::size_t i = 0; i < len; ++i) {
        g[4 + i] = static_cast<std::uint8_t>(identification[i]);
    }
    return g;
}

void FrameSession::feed(const std::uint8_t *data, std::size_t size, std::vector<std::uint8_t> &out) {
    if (closed_) {
        return;
    }
    in_.insert(in_.end(), data, data + size);
    drain(out);
}

bool FrameSession::waiting(std::uint32_t &tick) const {
    if (!readPending_ || closed_) {
        return false;
    }
    if (!probe_.latePending(tick)) {
        tick = probe_.clock().tickMs(); // nothing on its way any more: go on now
    }
    return true;
}

void FrameSession::resume(std::vector<std::uint8_t> &out) {
    if (readPending_ && !answerRead(pendingRead_, out)) {
        return;
    }
    drain(out);
}

// Serves every whole frame that has come, unless a read waits.
void FrameSession::drain(std::vector<std::uint8_t> &out) {
    while (!closed_ && !readPending_ && processOne(out)) {
    }
    if (inPos_ == in_.size()) {
        in_.clear();
        inPos_ = 0;
    } else if (inPos_ > 65536) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inPos_));
        inPos_ = 0;
    }
}

bool FrameSession::processOne(std::vector<std::uint8_t> &out) {
    const std::size_t avail = in_.size() - inPos_;
    if (avail == 0) {
        return false;
    }
    const std::uint8_t *p = in_.data() + inPos_;
    switch (p[0]) {
    case kFrameRead: {
        if (avail < 3) {
            return false;
        }
        inPos_ += 3;
        answerRead(static_cast<std::size_t>(p[1] | p[2] << 8), out);
        return true;
    }
    case kFrameWrite:
    case kFrameWriteRead: {
        const std::size_t head = p[0] == kFrameWrite ? 3 : 5;
        if (avail < head) {
            return false;
        }
        const std::size_t nOut = static_cast<std::size_t>(p[1] | p[2] << 8);
        if (avail < head + nOut) {
            return false;
        }
        const std::size_t nIn = head == 5 ? static_cast<std::size_t>(p[3] | p[4] << 8) : 0;
        const bool withRead = head == 5;
        scratch_.assign(p + head, p + head + nOut);
        inPos_ += head + nOut;
        unscramble(scratch_.data(), scratch_.size());
        probe_.write(scratch_.data(), scratch_.size());
        if (probe_.takeDropRequest()) {
            closed_ = true;
            return false;
        }
        if (withRead) {
            answerRead(nIn, out);
        }
        return true;
    }
    default:
        closed_ = true; // not a frame of this protocol: the stream cannot be trusted
        return false;
    }
}

// Answers with what the probe has. An answer on its way (late) is waited
// for: the read is held, and false tells the caller to come back at its time.
bool FrameSession::answerRead(std::size_t wanted, std::vector<std::uint8_t> &out) {
    std::uint32_t due = 0;
    if (probe_.available() < wanted && probe_.latePending(due)) {
        readPending_ = true;
        pendingRead_ = wanted;
        return false;
    }
    readPending_ = false;
    scratch_.resize(wanted);
    const std::size_t got = probe_.read(scratch_.data(), wanted);
    scramble(scratch_.data(), got);
    out.push_back(static_cast<std::uint8_t>(got & 0xFF));
    out.push_back(static_cast<std::uint8_t>(got >> 8));
    out.insert(out.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(got));
    return true;
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

TcpServer::~TcpServer() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

bool TcpServer::listen(const std::string &host, std::uint16_t port, std::string &error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return false;
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    host_ = host;
    return true;
}

void TcpServer::serve() {
    while (!stop_.load()) {
        pollfd pfd{listenFd_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, kPollMs);
        if (r <= 0) {
            continue; // time-out or a signal: look at the stop flag again
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        serveClient(fd);
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        probe_.resetStreams();
        if (clientDone_) {
            clientDone_();
        }
    }
}

void TcpServer::serveClient(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::vector<std::uint8_t> hello = FrameSession::greeting(greetingStatus, identification);
    if (!sendAll(fd, hello.data(), hello.size())) {
        return;
    }
    // One blocking receive per burst of frames; the time-out only lets the
    // loop look at the stop flag now and then.
    const timeval stopCheck{0, static_cast<suseconds_t>(kPollMs) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &stopCheck, sizeof stopCheck);
    FrameSession session(probe_);
    std::vector<std::uint8_t> buffer(65536 + 8);
    std::vector<std::uint8_t> out;
    while (!stop_.load()) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        out.clear();
        std::unique_lock<std::mutex> lock(mutex_);
        session.feed(buffer.data(), static_cast<std::size_t>(n), out);
        // A late answer: its time comes on the probe's clock, without
        // holding the probe meanwhile.
        for (std::uint32_t due = 0; session.waiting(due) && !stop_.load();) {
            plat::Clock &c = probe_.clock();
            const std::uint32_t now = c.tickMs();
            if (static_cast<std::int32_t>(due - now) > 0) {
                lock.unlock();
                c.sleepMs(std::min<std::uint32_t>(due - now, 50));
                lock.lock();
                continue;
            }
            session.resume(out);
        }
        lock.unlock();
        if (!out.empty() && !sendAll(fd, out.data(), out.size())) {
            return;
        }
        if (session.closed()) {
            return;
        }
    }
}

// ------------------------------------------------------- in-process front

namespace {

// One connection of the in-process front.
class SessionPeer final : public plat::StreamPeer {
public:
    SessionPeer(Probe &probe, std::vector<std::uint8_t> greeting)
        : session_(probe), out_(std::move(greeting)) {}
    void take(const std::uint8_t *data, std::size_t size) override { session_.feed(data, size, out_); }
    bool give(std::uint32_t now, std::vector<std::uint8_t> &out) override {
        std::uint32_t due = 0;
        while (session_.waiting(due) && static_cast<std::int32_t>(now - due) >= 0) {
            session_.resume(out_);
        }
        out.insert(out.end(), out_.begin(), out_.end());
        out_.clear();
        return !session_.closed();
    }
    bool nextDue(std::uint32_t &tick) override { return session_.waiting(tick); }

private:
    FrameSession session_;
    std::vector<std::uint8_t> out_;
};

} // namespace

StreamFront::StreamFront(Probe &probe, std::uint32_t address, std::uint16_t port)
    : probe_(probe), address_(address), port_(port) {
    plat::registerStreamProvider(this);
}

StreamFront::~StreamFront() {
    plat::unregisterStreamProvider(this);
}

std::unique_ptr<plat::ByteStream> StreamFront::connect(std::uint32_t address, std::uint16_t port) {
    if (address != address_ || port != port_) {
        return nullptr;
    }
    ++connections_;
    probe_.resetStreams();
    return std::make_unique<plat::PeerStream>(
        std::make_shared<SessionPeer>(probe_, FrameSession::greeting(greetingStatus, identification)));
}

} // namespace sim

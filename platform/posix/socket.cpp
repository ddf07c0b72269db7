#include "plat/socket.h"

#include "plat/clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace plat {
namespace {

// Waits until `fd` is ready for `events` or `timeoutMs` of wall-clock time
// passed. 1 ready, 0 timed out, -1 error.
int waitReady(int fd, short events, std::uint32_t timeoutMs) {
    Clock &c = realClock();
    const std::uint32_t start = c.tickMs();
    for (;;) {
        const std::uint32_t elapsed = c.tickMs() - start;
        pollfd pfd{fd, events, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(timeoutMs > elapsed ? timeoutMs - elapsed : 0));
        if (rc > 0) {
            return 1;
        }
        if (rc < 0 && errno != EINTR) {
            return -1;
        }
        if (rc == 0 && c.tickMs() - start >= timeoutMs) {
            return 0;
        }
    }
}

} // namespace

bool startSockets() {
    return true;
}

bool parseIpv4(const char *text, std::uint32_t &address) {
    in_addr a{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &a) != 1) {
        return false;
    }
    address = ntohl(a.s_addr);
    return true;
}

bool resolveHost(const char *name, std::uint32_t &address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (name == nullptr || ::getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) {
        return false;
    }
    sockaddr_in sin{};
    std::memcpy(&sin, res->ai_addr, sizeof(sin));
    address = ntohl(sin.sin_addr.s_addr);
    ::freeaddrinfo(res);
    return true;
}

TcpSocket &TcpSocket::operator=(TcpSocket &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        receiveTimeoutMs_ = other.receiveTimeoutMs_;
        other.fd_ = -1;
    }
    return *this;
}

TcpSocket TcpSocket::adopt(int nativeHandle) {
    const int flags = ::fcntl(nativeHandle, F_GETFL);
    if (flags >= 0) {
        ::fcntl(nativeHandle, F_SETFL, flags & ~O_NONBLOCK);
    }
    return TcpSocket(nativeHandle);
}

void TcpSocket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool TcpSocket::connect(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs) {
    close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(address);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&sin), sizeof(sin));
    if (rc != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return false;
    }
    if (rc != 0) {
        int err = 0;
        socklen_t len = sizeof(err);
        if (waitReady(fd, POLLOUT, timeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return false;
        }
    }
    // Connected: from now on a send or receive is one blocking call, bounded
    // by the socket's time-outs.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const timeval sendLimit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    fd_ = fd;
    receiveTimeoutMs_ = -1;
    return true;
}

bool TcpSocket::setNoDelay() {
    int one = 1;
    return fd_ >= 0 && ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) == 0;
}

int TcpSocket::send(const std::uint8_t *data, int size) {
    int sent = 0;
    while (fd_ >= 0 && sent < size) {
        const ssize_t n = ::send(fd_, data + sent, static_cast<std::size_t>(size - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // an error, or no room for five seconds
        }
        sent += static_cast<int>(n);
    }
    return sent;
}

int TcpSocket::receive(std::uint8_t *data, int size, std::uint32_t timeoutMs) {
    if (fd_ < 0) {
        return kError;
    }
    if (receiveTimeoutMs_ != static_cast<long>(timeoutMs)) {
        // Zero would mean "no limit" to the system: a millisecond is the least.
        const std::uint32_t ms = timeoutMs == 0 ? 1 : timeoutMs;
        const timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
        if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            return kError;
        }
        receiveTimeoutMs_ = static_cast<long>(timeoutMs);
    }
    for (;;) {
        const ssize_t n = ::recv(fd_, data, static_cast<std::size_t>(size), 0);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            return kClosed;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? kTimedOut : kError;
    }
}

} // namespace plat

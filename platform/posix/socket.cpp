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
        other.fd_ = -1;
    }
    return *this;
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
    fd_ = fd;
    return true;
}

bool TcpSocket::setNoDelay() {
    int one = 1;
    return fd_ >= 0 && ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) == 0;
}

int TcpSocket::send(const std::uint8_t *data, int size) {
    int sent = 0;
    while (fd_ >= 0 && sent < size) {
        ssize_t n = ::send(fd_, data + sent, static_cast<std::size_t>(size - sent), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A full send buffer: wait for room as a blocking send would.
                if (waitReady(fd_, POLLOUT, 5000) == 1) {
                    continue;
                }
            }
            break;
        }
        sent += static_cast<int>(n);
    }
    return sent;
}

int TcpSocket::receive(std::uint8_t *data, int size, std::uint32_t timeoutMs) {
    if (fd_ < 0) {
        return kError;
    }
    for (;;) {
        ssize_t n = ::recv(fd_, data, static_cast<std::size_t>(size), MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            return kClosed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return kError;
        }
        const int ready = waitReady(fd_, POLLIN, timeoutMs);
        if (ready == 0) {
            return kTimedOut;
        }
        if (ready < 0) {
            return kError;
        }
    }
}

} // namespace plat

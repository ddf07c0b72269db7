// TCP client sockets on Winsock 2. The socket handle is kept as an int:
// Windows handles carry 32 significant bits.
#include "plat/socket.h"

#include "plat/clock.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

namespace plat {
namespace {

SOCKET socketOf(int fd) {
    return static_cast<SOCKET>(static_cast<unsigned int>(fd));
}

// Waits until the socket is ready to read (or, with `forWrite`, its connect
// has ended) or `timeoutMs` of wall-clock time passed: 1 ready, 0 timed out,
// -1 error.
int waitReady(SOCKET s, bool forWrite, std::uint32_t timeoutMs) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    const int rc = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &limit);
    if (rc == SOCKET_ERROR) {
        return -1;
    }
    if (rc == 0) {
        return 0;
    }
    return FD_ISSET(s, &ready) ? 1 : -1;
}

} // namespace

bool startSockets() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        started = WSAStartup(MAKEWORD(2, 0), &data) == 0;
    });
    return started;
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
    if (name == nullptr || !startSockets()) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) {
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
    u_long blocking = 0;
    ::ioctlsocket(socketOf(nativeHandle), static_cast<long>(FIONBIO), &blocking);
    return TcpSocket(nativeHandle);
}

void TcpSocket::close() {
    if (fd_ >= 0) {
        ::closesocket(socketOf(fd_));
        fd_ = -1;
    }
}

bool TcpSocket::connect(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs) {
    close();
    if (!startSockets()) {
        return false;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return false;
    }
    // Not inherited by programs this one starts.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(address);
    if (::connect(s, reinterpret_cast<const sockaddr *>(&sin), sizeof(sin)) != 0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK || waitReady(s, true, timeoutMs) != 1) {
            ::closesocket(s);
            return false;
        }
    }
    // Connected: from now on a send is one blocking call, bounded by the
    // socket's send time-out.
    u_long blocking = 0;
    ::ioctlsocket(s, static_cast<long>(FIONBIO), &blocking);
    const DWORD sendLimitMs = 5000;
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&sendLimitMs),
                 sizeof sendLimitMs);
    fd_ = static_cast<int>(s);
    receiveTimeoutMs_ = -1;
    return true;
}

bool TcpSocket::setNoDelay() {
    const BOOL one = TRUE;
    return fd_ >= 0 && ::setsockopt(socketOf(fd_), IPPROTO_TCP, TCP_NODELAY,
                                    reinterpret_cast<const char *>(&one), sizeof one) == 0;
}

int TcpSocket::send(const std::uint8_t *data, int size) {
    int sent = 0;
    while (fd_ >= 0 && sent < size) {
        const int n = ::send(socketOf(fd_), reinterpret_cast<const char *>(data + sent), size - sent, 0);
        if (n <= 0) {
            break; // an error, or no room for five seconds
        }
        sent += n;
    }
    return sent;
}

// A receive that timed out leaves a Winsock socket in no known state, so the
// wait for data comes first and the receive only takes what is there.
int TcpSocket::receive(std::uint8_t *data, int size, std::uint32_t timeoutMs) {
    if (fd_ < 0) {
        return kError;
    }
    const int ready = waitReady(socketOf(fd_), false, timeoutMs);
    if (ready == 0) {
        return kTimedOut;
    }
    if (ready < 0) {
        return kError;
    }
    const int n = ::recv(socketOf(fd_), reinterpret_cast<char *>(data), size, 0);
    if (n > 0) {
        return n;
    }
    return n == 0 ? kClosed : kError;
}

} // namespace plat

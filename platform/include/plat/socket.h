// TCP client sockets (the Winsock stand-in).
//
// Every wait runs on the platform clock, so that tests of time-outs run in
// virtual time.
#pragma once

#include <cstdint>

namespace plat {

// The once-per-process start of the socket library; false when it failed.
bool startSockets();

// A dotted IPv4 address ("127.0.0.1") to a number, most significant byte
// first; false when the text is not one.
bool parseIpv4(const char *text, std::uint32_t &address);
// Looks a host name up and gives its first IPv4 address.
bool resolveHost(const char *name, std::uint32_t &address);

class TcpSocket {
public:
    enum : int { kClosed = 0, kError = -1, kTimedOut = -2 };

    TcpSocket() = default;
    ~TcpSocket() { close(); }
    TcpSocket(TcpSocket &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TcpSocket &operator=(TcpSocket &&other) noexcept;
    TcpSocket(const TcpSocket &) = delete;
    TcpSocket &operator=(const TcpSocket &) = delete;

    // Takes over a connected stream socket of the system (tests, fuzzing).
    static TcpSocket adopt(int nativeHandle) { return TcpSocket(nativeHandle); }

    // Connects a new TCP socket; gives up after `timeoutMs`.
    bool connect(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs);
    bool setNoDelay();
    // Sends all bytes; returns how many went out (fewer on failure).
    int send(const std::uint8_t *data, int size);
    // One receive: bytes received (> 0), kClosed, kError or kTimedOut.
    int receive(std::uint8_t *data, int size, std::uint32_t timeoutMs);
    bool isOpen() const { return fd_ >= 0; }
    void close();

private:
    explicit TcpSocket(int fd) : fd_(fd) {}
    int fd_ = -1;
};

} // namespace plat

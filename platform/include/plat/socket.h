// TCP client sockets (the Winsock stand-in).
//
// A socket's peer is another process or thread, so its waits run on the wall
// clock whatever clock is installed; tests in virtual time talk to
// in-process peers through plat/stream.h instead.
#pragma once

#include "plat/stream.h"

#include <cstdint>

namespace plat {

// The once-per-process start of the socket library; false when it failed.
bool startSockets();

// A dotted IPv4 address ("127.0.0.1") to a number, most significant byte
// first; false when the text is not one.
bool parseIpv4(const char *text, std::uint32_t &address);
// Looks a host name up and gives its first IPv4 address.
bool resolveHost(const char *name, std::uint32_t &address);

class TcpSocket final : public ByteStream {
public:
    TcpSocket() = default;
    ~TcpSocket() override { close(); }
    TcpSocket(TcpSocket &&other) noexcept : fd_(other.fd_), receiveTimeoutMs_(other.receiveTimeoutMs_) {
        other.fd_ = -1;
    }
    TcpSocket &operator=(TcpSocket &&other) noexcept;
    TcpSocket(const TcpSocket &) = delete;
    TcpSocket &operator=(const TcpSocket &) = delete;

    // Takes over a connected stream socket of the system (tests, fuzzing).
    static TcpSocket adopt(int nativeHandle);

    // Connects a new TCP socket; gives up after `timeoutMs`.
    bool connect(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs);
    bool setNoDelay();
    int send(const std::uint8_t *data, int size) override;
    int receive(std::uint8_t *data, int size, std::uint32_t timeoutMs) override;
    bool isOpen() const { return fd_ >= 0; }
    void close();

private:
    explicit TcpSocket(int fd) : fd_(fd) {}
    int fd_ = -1;
    // The receive time-out the socket carries (SO_RCVTIMEO), so that one
    // receive is one blocking system call; -1 when not set yet.
    long receiveTimeoutMs_ = -1;
};

} // namespace plat

#include "plat/clock.h"
#include "plat/socket.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <chrono>
#include <thread>

namespace {

// A listening socket on a free loopback port.
class Listener {
public:
    Listener() {
        plat::startSockets();
        s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof sin;
        ::bind(s_, reinterpret_cast<sockaddr *>(&sin), len);
        ::listen(s_, 1);
        ::getsockname(s_, reinterpret_cast<sockaddr *>(&sin), &len);
        port_ = ntohs(sin.sin_port);
    }
    ~Listener() { ::closesocket(s_); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    std::uint16_t port() const { return port_; }
    SOCKET accept() { return ::accept(s_, nullptr, nullptr); }

private:
    SOCKET s_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
};

TEST(TcpSocket, ParsesDottedAddressesOnly) {
    std::uint32_t a = 0;
    EXPECT_TRUE(plat::parseIpv4("127.0.0.1", a));
    EXPECT_EQ(a, 0x7F000001u);
    EXPECT_FALSE(plat::parseIpv4("localhost", a));
    EXPECT_FALSE(plat::parseIpv4(nullptr, a));
}

// A socket's peer is another thread or process: its waits run on the wall
// clock, and an installed virtual clock neither ends them nor moves.
TEST(TcpSocket, ExchangesOnTheWallClockWhateverClockIsInstalled) {
    Listener server;
    plat::TcpSocket s;
    ASSERT_TRUE(s.connect(0x7F000001u, server.port(), 5000));
    EXPECT_TRUE(s.setNoDelay());
    const SOCKET peer = server.accept();
    ASSERT_NE(peer, INVALID_SOCKET);

    plat::ScopedVirtualClock clock(0);
    std::uint8_t b[4] = {};
    EXPECT_EQ(s.receive(b, 4, 20), plat::ByteStream::kTimedOut);
    EXPECT_EQ(clock->tickMs(), 0u);

    const std::uint8_t hello[3] = {1, 2, 3};
    EXPECT_EQ(s.send(hello, 3), 3);
    char got[3] = {};
    EXPECT_EQ(::recv(peer, got, 3, MSG_WAITALL), 3);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(::send(peer, "\x07\x08", 2, 0), 2);
    });
    EXPECT_EQ(s.receive(b, 4, 5000), 2);
    writer.join();
    EXPECT_EQ(b[0], 7);
    EXPECT_EQ(b[1], 8);
    ::closesocket(peer);
    EXPECT_EQ(s.receive(b, 4, 5000), plat::ByteStream::kClosed);
}

TEST(TcpSocket, ConnectionRefusedFails) {
    std::uint16_t port = 0;
    {
        Listener gone;
        port = gone.port();
    }
    plat::TcpSocket s;
    EXPECT_FALSE(s.connect(0x7F000001u, port, 5000));
    EXPECT_FALSE(s.isOpen());
    std::uint8_t b[1];
    EXPECT_EQ(s.receive(b, 1, 10), plat::ByteStream::kError);
}

TEST(TcpSocket, StreamWithoutProviderIsATcpConnection) {
    Listener server;
    auto stream = plat::connectStream(0x7F000001u, server.port(), 5000);
    ASSERT_NE(stream, nullptr);
    const SOCKET peer = server.accept();
    const std::uint8_t x = 0x42;
    EXPECT_EQ(stream->send(&x, 1), 1);
    char got = 0;
    EXPECT_EQ(::recv(peer, &got, 1, 0), 1);
    EXPECT_EQ(got, 0x42);
    ::closesocket(peer);
}

} // namespace

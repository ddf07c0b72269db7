#include "plat/clock.h"
#include "plat/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A socket's peer is another thread or process: its waits run on the wall
// clock, and an installed virtual clock neither ends them nor moves.
TEST(TcpSocket, WaitsOnTheWallClockWhateverClockIsInstalled) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    plat::TcpSocket s = plat::TcpSocket::adopt(fds[0]);
    plat::ScopedVirtualClock clock(0);
    std::uint8_t b[4];
    EXPECT_EQ(s.receive(b, 4, 20), plat::ByteStream::kTimedOut);
    EXPECT_EQ(clock->tickMs(), 0u);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::uint8_t two[2] = {1, 2};
        EXPECT_EQ(::write(fds[1], two, 2), 2);
    });
    EXPECT_EQ(s.receive(b, 4, 5000), 2);
    writer.join();
    ::close(fds[1]);
    EXPECT_EQ(s.receive(b, 4, 5000), plat::ByteStream::kClosed);
    EXPECT_EQ(clock->tickMs(), 0u);
}

TEST(TcpSocket, ParsesDottedAddresses) {
    std::uint32_t a = 0;
    EXPECT_TRUE(plat::parseIpv4("127.0.0.1", a));
    EXPECT_EQ(a, 0x7F000001u);
    EXPECT_FALSE(plat::parseIpv4("127.0.0", a));
    EXPECT_FALSE(plat::parseIpv4("1host", a));
}

} // namespace

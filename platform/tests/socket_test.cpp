#include "plat/clock.h"
#include "plat/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST(TcpSocket, ReceiveGivesUpAfterTimeoutInVirtualTime) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    plat::TcpSocket s = plat::TcpSocket::adopt(fds[0]);
    plat::ScopedVirtualClock clock(0);
    std::uint8_t b[4];
    EXPECT_EQ(s.receive(b, 4, 5000), plat::TcpSocket::kTimedOut);
    EXPECT_GE(clock->tickMs(), 5000u);
    EXPECT_LT(clock->tickMs(), 5100u);
    const std::uint8_t two[2] = {1, 2};
    ASSERT_EQ(::write(fds[1], two, 2), 2);
    EXPECT_EQ(s.receive(b, 4, 5000), 2);
    ::close(fds[1]);
    EXPECT_EQ(s.receive(b, 4, 5000), plat::TcpSocket::kClosed);
}

TEST(TcpSocket, VirtualTimeStandsStillWhileTheWriterIsBusy) {
    // The peer is a real thread that answers late in real time: a short
    // virtual time-out must still see its bytes, and no virtual time passes.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    plat::TcpSocket s = plat::TcpSocket::adopt(fds[0]);
    plat::ScopedVirtualClock clock(0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::uint8_t one = 7;
        EXPECT_EQ(::write(fds[1], &one, 1), 1);
    });
    std::uint8_t b[1] = {};
    EXPECT_EQ(s.receive(b, 1, 10), 1);
    EXPECT_EQ(b[0], 7);
    EXPECT_EQ(clock->tickMs(), 0u);
    writer.join();
    ::close(fds[1]);
}

TEST(TcpSocket, ParsesDottedAddresses) {
    std::uint32_t a = 0;
    EXPECT_TRUE(plat::parseIpv4("127.0.0.1", a));
    EXPECT_EQ(a, 0x7F000001u);
    EXPECT_FALSE(plat::parseIpv4("127.0.0", a));
    EXPECT_FALSE(plat::parseIpv4("1host", a));
}

} // namespace

// The TCP front: frames at byte level through a session, and the server as
// the library's TCP/IP transport reaches it over loopback.
#include "sim/checksums.h"
#include "sim/frames.h"
#include "sim/tcp_server.h"
#include "wire.h"

#include "link.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using simtest::Bytes;
using simtest::Request;

Bytes scrambled(Bytes b) {
    sim::scramble(b.data(), b.size());
    return b;
}

Bytes writeReadFrame(const Bytes &payload, std::uint16_t nIn) {
    Bytes f{0x03, static_cast<std::uint8_t>(payload.size() & 0xFF),
            static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(nIn & 0xFF),
            static_cast<std::uint8_t>(nIn >> 8)};
    const Bytes s = scrambled(payload);
    f.insert(f.end(), s.begin(), s.end());
    return f;
}

class Session : public ::testing::Test {
protected:
    // Feeds the bytes; a read held for a late answer goes on once the
    // clock has been moved to its time.
    Bytes feed(const Bytes &in) {
        Bytes out;
        session_.feed(in.data(), in.size(), out);
        for (std::uint32_t due = 0; session_.waiting(due);) {
            waits_.push_back(due);
            clock_->advance(due - plat::tickMs());
            session_.resume(out);
        }
        return out;
    }
    plat::ScopedVirtualClock clock_{100};
    sim::Probe probe_{*clock_};
    std::vector<std::uint32_t> waits_;
    sim::FrameSession session_{probe_};
};

TEST_F(Session, FramesCarryScrambledPayloadsBothWays) {
    EXPECT_EQ(feed(writeReadFrame({0xF0}, 4)), (Bytes{0x04, 0x00, 0x0F, 0xA5, 0x55, 0x00}));
    // A write frame, then two read frames for the firmware string; frames
    // may arrive in pieces.
    const Bytes write = {0x02, 0x01, 0x00, 0xFE}; // 0x01 scrambled
    EXPECT_TRUE(feed({write[0], write[1]}).empty());
    EXPECT_TRUE(feed({write[2], write[3]}).empty());
    Bytes len = feed({0x01, 0x02, 0x00});
    sim::unscramble(len.data() + 2, 2);
    EXPECT_EQ(len, (Bytes{0x02, 0x00, 112, 0}));
    Bytes text = feed({0x01, 112, 0x00});
    ASSERT_EQ(text.size(), 2u + 112u);
    sim::unscramble(text.data() + 2, 112);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(text.data() + 2)), sim::kLibraryBanner);
    EXPECT_FALSE(session_.closed());
}

TEST_F(Session, AnswersCountWhatTheProbeSent) {
    // Four answer words asked, the unpowered target sends none: the probe
    // still answers the words asked for (as 0), then its trailer.
    Bytes out = feed(writeReadFrame(Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(4).bytes(), 10));
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out[0], 10);
    sim::unscramble(out.data() + 2, 10);
    EXPECT_EQ(out[10], 1); // probe status 1
    // A read with nothing queued answers a count of 0 at once.
    EXPECT_EQ(feed({0x01, 0x05, 0x00}), (Bytes{0, 0}));
}

TEST_F(Session, LateAnswersAreWaitedForOnThePlatformClock) {
    probe_.setAnswerFault({sim::FaultKind::Late, -1, 0, 1, 700});
    Bytes out;
    const Bytes frame = writeReadFrame({0xF0}, 4);
    session_.feed(frame.data(), frame.size(), out);
    EXPECT_TRUE(out.empty()); // held until its time
    std::uint32_t due = 0;
    ASSERT_TRUE(session_.waiting(due));
    EXPECT_EQ(due, 800u);
    out = feed({});
    EXPECT_EQ(out.size(), 6u);
    ASSERT_FALSE(waits_.empty());
    EXPECT_EQ(waits_.back(), 800u);
    EXPECT_EQ(plat::tickMs(), 800u);
}

TEST_F(Session, ForeignFramesAndDropsEndTheConnection) {
    EXPECT_TRUE(feed({0x07, 0x00}).empty());
    EXPECT_TRUE(session_.closed());
    EXPECT_TRUE(feed(writeReadFrame({0xF0}, 4)).empty());

    sim::FrameSession other(probe_);
    probe_.setAnswerFault({sim::FaultKind::Drop, -1, 0, 1, 0});
    Bytes out;
    const Bytes frame = writeReadFrame({0xF0}, 4);
    other.feed(frame.data(), frame.size(), out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(other.closed());
}

TEST(Greeting, StatusThenLengthAndText) {
    EXPECT_EQ(sim::greeting(0, "abc"), (Bytes{0, 0, 0, 3, 'a', 'b', 'c'}));
    EXPECT_EQ(sim::greeting(1, std::string(300, 'x')).size(), 4u + 255u);
}

TEST(HostPort, ParsesIpv4AndPort) {
    struct Case {
        std::string text;
        bool ok;
        std::string host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1:0", true, "127.0.0.1", 0},
        {"0.0.0.0:5151", true, "0.0.0.0", 5151},
        {"localhost:80", true, "127.0.0.1", 80},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1", false, "", 0},
        {":80", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"example.org:80", false, "", 0},
        {"127.0.0.1:8x", false, "", 0},
        {"127.0.0.1:0000080", false, "", 0},
    };
    for (const Case &c : cases) {
        std::string host;
        std::uint16_t port = 1;
        EXPECT_EQ(sim::parseHostPort(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

// The real server on a real socket, on the wall clock.
TEST(TcpServer, TheLibraryTcpTransportReachesTheProbe) {
    sim::Probe probe(plat::realClock());
    sim::TcpServer server(probe);
    std::string error;
    ASSERT_TRUE(server.listen("127.0.0.1", 0, error)) << error;
    ASSERT_NE(server.port(), 0);
    int clients = 0;
    server.onClientDone([&] { ++clients; });
    std::thread thread([&] { server.serve(); });

    ASSERT_EQ(LINK_SelectTCPIP("127.0.0.1", server.port()), 0);
    ASSERT_EQ(LINK_Connect(), 0);
    Bytes version(4);
    const U8 cmd = 0xF0;
    ASSERT_EQ(LINK_WriteRead(&cmd, 1, version.data(), 4), 4);
    EXPECT_EQ(simtest::le32(version, 0), 22000u);
    const Bytes entry = Request().entry(1).data({sim::Target::kEntryWord}).answer(2).bytes();
    Bytes answer(8);
    ASSERT_EQ(LINK_WriteRead(entry.data(), static_cast<int>(entry.size()), answer.data(), 8), 8);
    EXPECT_EQ(answer, (Bytes{0, 0, 3, 0, 0, 0, 0, 0}));
    server.withProbe([](sim::Probe &p) { p.setAnswerFault({sim::FaultKind::Drop, -1, 0, 1, 0}); });
    EXPECT_EQ(LINK_WriteRead(&cmd, 1, version.data(), 4), 0);
    LINK_Disconnect();

    // The next client finds the probe as the last one left it.
    ASSERT_EQ(LINK_Connect(), 0);
    const Bytes devStat = Request().command(C_GET_DEV_STAT, CMD_MODE_RX_TX).answer(1).bytes();
    Bytes status(4);
    ASSERT_EQ(LINK_WriteRead(devStat.data(), static_cast<int>(devStat.size()), status.data(), 4), 4);
    EXPECT_EQ(simtest::le16(status, 0), 0xD003);
    LINK_Disconnect();

    server.stop();
    thread.join();
    EXPECT_EQ(clients, 2);
}

} // namespace

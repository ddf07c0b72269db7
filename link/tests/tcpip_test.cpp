// The TCP/IP transport at wire level, against the scripted server.
#include "api.h"
#include "capture.h"
#include "link.h"
#include "probe_script.h"
#include "scripted_probe.h"
#include "scripted_server.h"
#include "tcpip.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include "plat/socket.h"

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using ferrox_test::Bytes;
using ferrox_test::captured;
using ferrox_test::ScriptedServer;

namespace {

std::string serverText(const char *kind, std::uint16_t port) {
    return std::string(kind) + " (127.0.0.1, port " + std::to_string(port) + ")";
}

TEST(TcpScrambling, RunningXorStartsAt0xFFForEveryPayload) {
    struct Case {
        Bytes plain;
        Bytes wire;
    };
    for (const Case &c : {Case{{0x00, 0x00, 0x00}, {0xFF, 0x00, 0x00}}, Case{{0x12, 0x34}, {0xED, 0x26}},
                          Case{{0xFF}, {0x00}}, Case{{}, {}}}) {
        Bytes wire(c.plain.size());
        IP_Scramble(c.plain.data(), wire.data(), static_cast<int>(c.plain.size()));
        EXPECT_EQ(wire, c.wire);
        IP_Unscramble(wire.data(), static_cast<int>(wire.size()));
        EXPECT_EQ(wire, c.plain);
    }
}

// A port that was just free: nothing listens there.
std::uint16_t unusedPort() {
    plat::startSockets();
    const auto fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
#ifdef _WIN32
    int len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    ::closesocket(fd);
#else
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    ::close(fd);
#endif
    return ntohs(sin.sin_port);
}

class TcpTransport : public ::testing::Test {
protected:
    void connect(ScriptedServer &server) {
        ferrox_test::scriptOpen(server);
        ASSERT_EQ(FERROX_SelectTCPIP("127.0.0.1", server.port()), 0);
        ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
        ASSERT_EQ(LINK_GetTransportKind(), LINK_KIND_TCPIP);
        base_ = server.frames().size(); // the open's own frames
    }
    std::size_t base_ = 0;
};

TEST_F(TcpTransport, FramesCarryHeadsCountsAndScrambledPayloads) {
    ScriptedServer server;
    connect(server);
    server.expect({0x07}, {0xE8, 0x03, 1, 0, 1, 0, 1, 1});
    server.expect({0xF2, 0x00}, {});
    server.expect({}, {0x12, 0x34});
    const U8 status[1] = {0x07};
    U8 answer[8] = {};
    EXPECT_EQ(LINK_WriteRead(status, 1, answer, 8), 8);
    EXPECT_EQ(Bytes(answer, answer + 8), (Bytes{0xE8, 0x03, 1, 0, 1, 0, 1, 1}));
    const U8 power[2] = {0xF2, 0x00};
    EXPECT_EQ(LINK_WriteRead(power, 2, nullptr, 0), 0); // no answer: a write frame
    EXPECT_EQ(LINK_Read(answer, 2), 2);
    EXPECT_EQ(Bytes(answer, answer + 2), (Bytes{0x12, 0x34}));
    const auto frames = server.frames(base_ + 3);
    ASSERT_EQ(frames.size(), base_ + 3);
    EXPECT_EQ(frames[base_].head, (Bytes{0x03, 0x01, 0x00, 0x08, 0x00}));
    EXPECT_EQ(frames[base_ + 1].head, (Bytes{0x02, 0x02, 0x00}));
    EXPECT_EQ(frames[base_ + 2].head, (Bytes{0x01, 0x02, 0x00}));
    EXPECT_TRUE(server.mismatches().empty());
}

TEST_F(TcpTransport, LargestWriteIsFramedAndOneMoreIsRefusedBeforeSending) {
    ferrox_test::CaptureMessageBoxes boxes;
    ScriptedServer server;
    connect(server);
    Bytes payload(65536, 0x5A);
    server.expect(Bytes(65535, 0x5A), {});
    EXPECT_EQ(IP_Write(payload.data(), 65535), 65535);
    EXPECT_EQ(server.frames(base_ + 1)[base_].head, (Bytes{0x02, 0xFF, 0xFF}));
    EXPECT_EQ(IP_Write(payload.data(), 65536), 0);
    EXPECT_EQ(LINK_WriteRead(payload.data(), 65536, payload.data(), 2), 0);
    EXPECT_EQ(captured().messageBoxes,
              (std::vector<std::string>{"Orrix.dll: Internal error|IP_Write(): Max. Size exceeded",
                                        "Orrix.dll: Internal error|IP_WriteRead(): Max. Size exceeded"}));
    // Nothing of the refused frames reached the server; the link still works.
    server.expect({0x01}, {0x02});
    const U8 one[1] = {0x01};
    U8 got[1] = {};
    EXPECT_EQ(LINK_WriteRead(one, 1, got, 1), 1);
    EXPECT_EQ(server.frames(base_ + 2).size(), base_ + 2);
    EXPECT_TRUE(server.mismatches().empty());
}

TEST_F(TcpTransport, WrongAnswerCountGivesNothingAndKeepsTheStreamInStep) {
    ScriptedServer server;
    connect(server);
    server.expect({}, {1, 2, 3}); // one less than asked for
    server.expect({0x07}, {5, 6});
    U8 got[4] = {};
    EXPECT_EQ(LINK_Read(got, 4), 0);
    EXPECT_TRUE(IP_HasSocket());
    EXPECT_EQ(LINK_HasCommError(), 0);
    const U8 req[1] = {0x07};
    EXPECT_EQ(LINK_WriteRead(req, 1, got, 2), 2);
    EXPECT_EQ(Bytes(got, got + 2), (Bytes{5, 6}));
}

TEST_F(TcpTransport, ClosedConnectionClosesTheSocketAndLaterFramesGiveNothing) {
    ScriptedServer server;
    connect(server);
    server.expect({0x07}, {}, ScriptedServer::Reply::Close);
    const U8 req[1] = {0x07};
    U8 got[8] = {};
    EXPECT_EQ(LINK_WriteRead(req, 1, got, 8), 0);
    EXPECT_FALSE(IP_HasSocket());
    EXPECT_EQ(LINK_WriteRead(req, 1, got, 8), 0);
    EXPECT_EQ(server.frames(base_ + 1).size(), base_ + 1);
    EXPECT_TRUE(captured().errors.empty()); // callers see the short answer
}

TEST_F(TcpTransport, SilentServerGivesAShortAnswerAfter5000ms) {
    ScriptedServer server;
    connect(server);
    server.expect({0x07}, {}, ScriptedServer::Reply::Silent);
    plat::ScopedVirtualClock clock(0);
    const U8 req[1] = {0x07};
    U8 got[8] = {};
    EXPECT_EQ(LINK_WriteRead(req, 1, got, 8), 0);
    EXPECT_EQ(clock->tickMs(), 5000u);
    EXPECT_FALSE(IP_HasSocket());
}

TEST_F(TcpTransport, ServerThatNeverGreetsFailsTheConnectWithinTheTimeout) {
    ScriptedServer server(ScriptedServer::Greeting::Silent);
    ASSERT_EQ(FERROX_SelectTCPIP("127.0.0.1", server.port()), 0);
    plat::ScopedVirtualClock clock(0);
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 1);
    EXPECT_EQ(clock->tickMs(), 5000u);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{serverText("Can not connect to Quidor TCP/IP Server", server.port())});
}

TEST_F(TcpTransport, ServerWithoutProbeRefusesTheConnect) {
    ScriptedServer server(ScriptedServer::Greeting::NotReady);
    ASSERT_EQ(FERROX_SelectTCPIP("127.0.0.1", server.port()), 0);
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 1);
    EXPECT_EQ(captured().errors, std::vector<std::string>{serverText(
                                     "Can not connect to Quidor via Quidor TCP/IP Server", server.port())});
    EXPECT_FALSE(IP_HasSocket());
}

TEST_F(TcpTransport, NoServerListeningFailsTheConnect) {
    const std::uint16_t port = unusedPort();
    ASSERT_EQ(FERROX_SelectTCPIP("127.0.0.1", port), 0);
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 1);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{serverText("Can not connect to Quidor TCP/IP Server", port)});
}

TEST_F(TcpTransport, HostNameIsLookedUp) {
    ScriptedServer server;
    ferrox_test::scriptOpen(server);
    ASSERT_EQ(FERROX_SelectTCPIP("localhost", server.port()), 0);
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(TcpTransport, HostThatDoesNotResolveIsNotConnectedTo) {
    // 0.0.0.0 would reach a server on this machine; an address that cannot
    // be had must not turn into that one.
    ScriptedServer server;
    ASSERT_EQ(FERROX_SelectTCPIP("1host", server.port()), 0); // a digit first: no name lookup
    EXPECT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 1);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"Can not connect to Quidor TCP/IP Server (0.0.0.0, port " +
                                       std::to_string(server.port()) + ")"});
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(TcpTransport, SelectionValidatesAndReconnects) {
    struct Bad {
        const char *host;
        int port;
    };
    for (const Bad &b : {Bad{nullptr, 80}, Bad{"", 80}, Bad{"127.0.0.1", 0}, Bad{"127.0.0.1", 65536},
                         Bad{"127.0.0.1", -5}}) {
        EXPECT_EQ(FERROX_SelectTCPIP(b.host, b.port), 1);
        EXPECT_EQ(LINK_GetTransportKind(), LINK_KIND_USB);
    }
    ScriptedServer first;
    ScriptedServer second;
    connect(first);
    EXPECT_EQ(FERROX_SelectTCPIP("127.0.0.1", second.port()), 0);
    EXPECT_EQ(second.connections(), 1);
    EXPECT_EQ(FERROX_SelectUSB(0), 1); // connected, so it reconnects: no probe
    EXPECT_EQ(LINK_GetTransportKind(), LINK_KIND_USB);
}

TEST_F(TcpTransport, SwitchingFromUsbKeepsTheErrorOutput) {
    ferrox_test::ScriptedProbe probe;
    ferrox_test::scriptOpen(probe);
    ASSERT_EQ(FERROX_Open(nullptr, ferrox_test::errorOut), 0);
    const std::uint16_t port = unusedPort();
    EXPECT_EQ(FERROX_SelectTCPIP("127.0.0.1", port), 1);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{serverText("Can not connect to Quidor TCP/IP Server", port)});
}

TEST_F(TcpTransport, SwitchingToUsbKeepsTheErrorOutput) {
    ScriptedServer server;
    connect(server);
    EXPECT_EQ(FERROX_SelectUSB(7), 1); // no probe behind port 7
    EXPECT_EQ(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0), -1);
    EXPECT_EQ(captured().errors,
              std::vector<std::string>{"USB communication error: No USB connection opened !"});
}

TEST_F(TcpTransport, AReadLongerThanAFrameGoesOutAsSeveralFrames) {
    ScriptedServer server;
    connect(server);
    // 32768 buffer items are 65536 bytes: one byte more than a frame holds.
    Bytes items(65536);
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    server.expect({0xD2, 0x10, 0x00, 0x80}, {});
    server.expect({}, {0x00, 0x80});
    server.expect({}, Bytes(items.begin(), items.end() - 1));
    server.expect({}, Bytes(items.end() - 1, items.end()));
    server.expect({}, {0x00, 0x00});
    std::vector<U16> got(32768);
    EXPECT_EQ(FERROX_EMU_ReadUserBuffer(32768, got.data()), 32768);
    EXPECT_EQ(std::memcmp(got.data(), items.data(), items.size()), 0);
    const auto frames = server.frames(base_ + 5);
    ASSERT_EQ(frames.size(), base_ + 5);
    EXPECT_EQ(frames[base_ + 2].head, (Bytes{0x01, 0xFF, 0xFF}));
    EXPECT_EQ(frames[base_ + 3].head, (Bytes{0x01, 0x01, 0x00}));
    EXPECT_TRUE(server.mismatches().empty());
    EXPECT_TRUE(captured().errors.empty());
}

TEST(ServerAddress, ParsedFromHostColonPort) {
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        int port;
    };
    for (const Case &c :
         {Case{"127.0.0.1:5555", true, "127.0.0.1", 5555}, Case{"probe-host:1", true, "probe-host", 1},
          Case{"h:65535", true, "h", 65535}, Case{"h:65536", false, "", 0}, Case{"h:0", false, "", 0},
          Case{":80", false, "", 0}, Case{"h:", false, "", 0}, Case{"h:8a", false, "", 0},
          Case{"h", false, "", 0}, Case{"h:99999999999", false, "", 0}, Case{nullptr, false, "", 0}}) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        char host[512] = {};
        int port = 0;
        EXPECT_EQ(LINK_ParseServerAddress(c.text, host, sizeof host, &port), c.ok);
        if (c.ok) {
            EXPECT_STREQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

} // namespace

// ferroxcmd and quidord as processes, the way users run them, against a
// probe in the umockdev testbed: the children inherit the testbed, and their
// URBs come back to this process, where the simulated probe answers them.
#include "usb_testbed.h"

#include "sim/probe.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using ferrox_test::Process;
using ferrox_test::UsbTestbed;

struct SimulatedProbe {
    explicit SimulatedProbe(std::uint32_t serial) : probe(plat::realClock(), options(serial)), usb(probe) {}
    static sim::ProbeOptions options(std::uint32_t serial) {
        sim::ProbeOptions o;
        o.serialNumber = serial;
        return o;
    }
    sim::Probe probe;
    sim::UsbDevice usb;
};

// A client of quidord on a raw socket.
class Client {
public:
    explicit Client(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~Client() { close(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return connected_; }
    void send(const std::vector<std::uint8_t> &bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Up to `n` bytes that arrive within `waitMs`; fewer when the server
    // closed the connection or went quiet.
    std::vector<std::uint8_t> receive(std::size_t n, int waitMs) {
        std::vector<std::uint8_t> got;
        while (got.size() < n) {
            pollfd pfd{fd_, POLLIN, 0};
            std::uint8_t buf[512];
            if (::poll(&pfd, 1, waitMs) <= 0) {
                break;
            }
            const ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - got.size()), 0);
            if (r <= 0) {
                closedByServer_ = true;
                break;
            }
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    bool closedByServer() {
        receive(1, 5000);
        return closedByServer_;
    }
    // The greeting's status byte, after reading its text; -1 when none came.
    int greeting(int waitMs) {
        const std::vector<std::uint8_t> head = receive(4, waitMs);
        if (head.size() < 4) {
            return -1;
        }
        receive(head[3], 5000);
        return head[0];
    }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closedByServer_ = false;
};

// The capabilities request as a write-read frame: 0xE8 scrambled, 4 bytes back.
const std::vector<std::uint8_t> kCapsFrame = {0x03, 0x01, 0x00, 0x04, 0x00, 0xE8 ^ 0xFF};

class UsbProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(UsbTestbed::available()) << "run this test under umockdev-wrapper";
        bed_.plugIn(probe_.usb, 1, 4);
    }
    // quidord with its log on the same pipe as its ready line.
    std::unique_ptr<Process> startQuidord() {
        auto p = std::make_unique<Process>(
            "/bin/sh",
            std::vector<std::string>{"-c", std::string("exec ") + QUIDORD + " --listen 127.0.0.1:0 2>&1"});
        const std::string line = p->readLine();
        const std::string prefix = "quidord listening on 127.0.0.1:";
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        port_ = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
        return p;
    }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }

    SimulatedProbe probe_{0x4711};
    UsbTestbed bed_;
    std::uint16_t port_ = 0;
};

TEST_F(UsbProcess, FerroxcmdOnPortZeroTalksToTheProbeThroughLibusb) {
    Process cmd(FERROXCMD, {}, "", "0\nwDat 100,12 34\nrDat 100,2\nq\n");
    const std::string out = cmd.readAll();
    EXPECT_NE(out.find("Select the Quidor to connect to (0..3) : 0"), std::string::npos) << out;
    EXPECT_NE(out.find("S/N: 18193"), std::string::npos) << out;
    EXPECT_NE(out.find("00000100 = 12 34"), std::string::npos) << out;
    EXPECT_EQ(cmd.wait(), 0);
}

TEST_F(UsbProcess, QuidordServesTheProbeToFerroxcmdAndACProgram) {
    auto quidord = startQuidord();
    {
        Process cmd(FERROXCMD, {"--wDat", "200,5A A5", "--rDat", "200,2"}, server());
        const std::string out = cmd.readAll();
        EXPECT_NE(out.find("00000200 = 5A A5"), std::string::npos) << out;
        EXPECT_EQ(cmd.wait(), 0);
    }
    {
        Process c(LINK_C_PROBE, {}, server());
        const std::string out = c.readAll();
        EXPECT_NE(out.find("sn 18193\n"), std::string::npos) << out;
        EXPECT_NE(out.find("hwversion 22000\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("error"), std::string::npos) << out;
        EXPECT_EQ(c.wait(), 0);
    }
    quidord->signal(SIGTERM);
    const std::string log = quidord->readAll();
    std::size_t clients = 0;
    for (std::size_t at = 0; (at = log.find("quidord: client 127.0.0.1:", at)) != std::string::npos; ++at) {
        ++clients;
    }
    EXPECT_EQ(clients, 4u) << log; // each client connected and disconnected
    EXPECT_NE(log.find("quidord: stopped\n"), std::string::npos) << log;
    EXPECT_EQ(quidord->wait(), 0);
}

TEST_F(UsbProcess, TheNextClientWaitsForTheFirstAndOneThatLeavesMidFrameIsNoHarm) {
    auto quidord = startQuidord();
    Client first(port_);
    ASSERT_TRUE(first.connected());
    EXPECT_EQ(first.greeting(5000), 0);
    Client second(port_);
    ASSERT_TRUE(second.connected());
    EXPECT_EQ(second.greeting(300), -1); // waits in the listen queue

    // Half a frame, then gone.
    first.send({kCapsFrame.begin(), kCapsFrame.begin() + 3});
    first.close();
    EXPECT_EQ(second.greeting(5000), 0);
    second.send(kCapsFrame);
    EXPECT_EQ(second.receive(6, 5000), (std::vector<std::uint8_t>{4, 0, 0x76 ^ 0xFF, 0x76, 0, 0}));
    second.close();

    quidord->signal(SIGINT);
    const std::string log = quidord->readAll();
    EXPECT_EQ(quidord->wait(), 0);
    std::size_t disconnects = 0;
    for (std::size_t at = 0; (at = log.find(" disconnected\n", at)) != std::string::npos; ++at) {
        ++disconnects;
    }
    EXPECT_EQ(disconnects, 2u) << log;
}

TEST_F(UsbProcess, AProbeUnpluggedEndsItsClientsConnectionNotQuidord) {
    auto quidord = startQuidord();
    {
        Client client(port_);
        EXPECT_EQ(client.greeting(5000), 0);
        bed_.unplug(1, 4);
        client.send(kCapsFrame);
        EXPECT_TRUE(client.closedByServer());
    }
    {
        Client client(port_);
        EXPECT_EQ(client.greeting(5000), 1); // no probe attached
        EXPECT_TRUE(client.closedByServer());
    }
    bed_.plugIn(probe_.usb, 1, 9);
    int status = -1;
    for (int i = 0; i < 50 && status != 0; ++i) { // until quidord's libusb has seen it
        Client client(port_);
        status = client.greeting(5000);
        if (status != 0) {
            ::usleep(20000);
        }
    }
    EXPECT_EQ(status, 0);
    quidord->signal(SIGTERM);
    const std::string log = quidord->readAll();
    EXPECT_NE(log.find("disconnected: the probe at \\\\.\\halvornquidor is gone\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("disconnected: no probe at \\\\.\\halvornquidor\n"), std::string::npos) << log;
    EXPECT_EQ(quidord->wait(), 0);
}

} // namespace

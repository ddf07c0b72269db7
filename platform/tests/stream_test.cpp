#include "plat/clock.h"
#include "plat/stream.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

namespace {

// A peer that answers each byte it takes with that byte plus one, `delay` ms
// later on the platform clock; 0xFF makes it close the connection.
class Echo final : public plat::StreamPeer {
public:
    explicit Echo(std::uint32_t delay) : delay_(delay) {}
    void take(const std::uint8_t *data, std::size_t size) override {
        for (std::size_t i = 0; i < size; ++i) {
            queue_.push_back({plat::tickMs() + delay_, data[i]});
        }
    }
    bool give(std::uint32_t now, std::vector<std::uint8_t> &out) override {
        while (!queue_.empty() && static_cast<std::int32_t>(now - queue_.front().due) >= 0) {
            if (queue_.front().byte == 0xFF) {
                return false;
            }
            out.push_back(static_cast<std::uint8_t>(queue_.front().byte + 1));
            queue_.pop_front();
        }
        return true;
    }
    bool nextDue(std::uint32_t &tick) override {
        if (queue_.empty()) {
            return false;
        }
        tick = queue_.front().due;
        return true;
    }

private:
    struct Item {
        std::uint32_t due;
        std::uint8_t byte;
    };
    std::uint32_t delay_;
    std::deque<Item> queue_;
};

TEST(PeerStream, AnswersComeAtOnceAtTheirDueTimeOrTheWaitTimesOut) {
    plat::ScopedVirtualClock clock(1000);
    struct Case {
        std::uint32_t delay;
        int result;
        std::uint32_t after; // virtual ms the receive took
    };
    for (const Case &c : {Case{0, 1, 0}, Case{700, 1, 700}, Case{5000, 1, 5000},
                          Case{5001, plat::ByteStream::kTimedOut, 5000}}) {
        SCOPED_TRACE(c.delay);
        plat::PeerStream s(std::make_shared<Echo>(c.delay));
        const std::uint8_t out = 7;
        ASSERT_EQ(s.send(&out, 1), 1);
        std::uint8_t in = 0;
        const std::uint32_t start = clock->tickMs();
        EXPECT_EQ(s.receive(&in, 1, 5000), c.result);
        EXPECT_EQ(clock->tickMs() - start, c.after);
        if (c.result == 1) {
            EXPECT_EQ(in, 8);
        }
    }
}

TEST(PeerStream, ASilentPeerTimesOutAndAClosedOneSaysSo) {
    plat::ScopedVirtualClock clock(0);
    plat::PeerStream s(std::make_shared<Echo>(0));
    std::uint8_t in[4] = {};
    EXPECT_EQ(s.receive(in, 4, 5000), plat::ByteStream::kTimedOut);
    EXPECT_EQ(clock->tickMs(), 5000u);
    const std::uint8_t bytes[3] = {1, 2, 0xFF};
    ASSERT_EQ(s.send(bytes, 3), 3);
    EXPECT_EQ(s.receive(in, 4, 5000), 2); // what came before the close
    EXPECT_EQ(s.receive(in, 4, 5000), plat::ByteStream::kClosed);
    EXPECT_EQ(s.send(bytes, 1), 0);
}

// Providers claim their address and port before any real connection.
TEST(StreamProviders, AProviderIsAskedFirst) {
    struct One final : plat::StreamProvider {
        std::unique_ptr<plat::ByteStream> connect(std::uint32_t address, std::uint16_t port) override {
            if (address != 0x7F000001 || port != 9) {
                return nullptr;
            }
            return std::make_unique<plat::PeerStream>(std::make_shared<Echo>(0));
        }
    } provider;
    plat::registerStreamProvider(&provider);
    EXPECT_NE(plat::connectStream(0x7F000001, 9, 100), nullptr);
    plat::unregisterStreamProvider(&provider);
    // Nothing listens at the discard port on this machine: the real connect is refused.
    EXPECT_EQ(plat::connectStream(0x7F000001, 9, 100), nullptr);
}

} // namespace

// quidord's frames against the simulated probe behind the driver's names,
// in virtual time: each frame reaches the probe as the library's USB
// transport carries it.
#include "service.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string logged;
void logOut(const char *text) {
    logged += text;
    logged += '\n';
}

Bytes frame(std::uint8_t kind, Bytes payload, std::uint16_t answer = 0) {
    Bytes f{kind};
    const auto n = static_cast<std::uint16_t>(kind == sim::kFrameRead ? answer : payload.size());
    f.push_back(static_cast<std::uint8_t>(n & 0xFF));
    f.push_back(static_cast<std::uint8_t>(n >> 8));
    if (kind == sim::kFrameWriteRead) {
        f.push_back(static_cast<std::uint8_t>(answer & 0xFF));
        f.push_back(static_cast<std::uint8_t>(answer >> 8));
    }
    sim::scramble(payload.data(), payload.size());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes answer(Bytes plain) {
    Bytes out;
    sim::appendAnswer(out, plain.data(), plain.size());
    return out;
}

class QuidordService : public ::testing::Test {
protected:
    void SetUp() override {
        logged.clear();
        quidord::setLog(logOut);
    }
    void TearDown() override { quidord::setLog(nullptr); }

    plat::ScopedVirtualClock clock_{1000};
    sim::Probe probe_{*clock_};
};

const Bytes kCaps = {0x76, 0, 0, 0};

TEST_F(QuidordService, TheGreetingTellsWhetherTheProbeIsThere) {
    quidord::FrameService absent(0);
    EXPECT_EQ(absent.greet(),
              sim::greeting(quidord::kGreetingNoProbe, "quidord: no Quidor at \\\\.\\halvornquidor"));
    EXPECT_FALSE(absent.ready());
    Bytes out;
    EXPECT_FALSE(absent.feed(frame(sim::kFrameWriteRead, {0xE8}, 4).data(), 9, out));

    sim::DeviceFront front(probe_);
    quidord::FrameService present(0);
    EXPECT_EQ(present.greet(),
              sim::greeting(quidord::kGreetingReady, "quidord: Quidor at \\\\.\\halvornquidor"));
    EXPECT_TRUE(present.ready());

    quidord::noteUsbProblem("permission denied");
    quidord::FrameService elsewhere(2);
    EXPECT_EQ(elsewhere.greet(), sim::greeting(quidord::kGreetingNoAccess, "permission denied"));
}

TEST_F(QuidordService, EachFrameIsATransferAndComesInAnyPieces) {
    sim::DeviceFront front(probe_);
    quidord::FrameService service(0);
    service.greet();
    Bytes stream = frame(sim::kFrameWriteRead, {0xE8}, 4);
    const Bytes write = frame(sim::kFrameWrite, {0xE8});
    const Bytes read = frame(sim::kFrameRead, {}, 4);
    stream.insert(stream.end(), write.begin(), write.end());
    stream.insert(stream.end(), read.begin(), read.end());
    Bytes out;
    for (std::uint8_t b : stream) { // a byte at a time
        ASSERT_TRUE(service.feed(&b, 1, out)) << service.endReason();
    }
    Bytes expected = answer(kCaps);
    const Bytes second = answer(kCaps);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(out, expected);

    out.clear();
    const Bytes empty = frame(sim::kFrameRead, {}, 0);
    ASSERT_TRUE(service.feed(empty.data(), empty.size(), out));
    EXPECT_EQ(out, answer({}));
    EXPECT_EQ(logged, "");
}

TEST_F(QuidordService, AShortAnswerIsAnsweredWithWhatCame) {
    probe_.setAnswerFault({sim::FaultKind::Short, 0xE8, 0, 1, 0});
    sim::DeviceFront front(probe_);
    quidord::FrameService service(0);
    service.greet();
    Bytes out;
    const Bytes f = frame(sim::kFrameWriteRead, {0xE8}, 4);
    ASSERT_TRUE(service.feed(f.data(), f.size(), out));
    EXPECT_EQ(out, answer({0x76, 0}));
    EXPECT_EQ(logged,
              "USB communication timed out: Writing 1 bytes, requesting 4 bytes, received 2 bytes !\n");
}

TEST_F(QuidordService, AProbeThatGoesAwayEndsTheConnection) {
    probe_.setAnswerFault({sim::FaultKind::Drop, 0xE8, 0, 1, 0});
    sim::DeviceFront front(probe_);
    quidord::FrameService service(0);
    service.greet();
    Bytes out;
    const Bytes f = frame(sim::kFrameWriteRead, {0xE8}, 4);
    EXPECT_FALSE(service.feed(f.data(), f.size(), out));
    EXPECT_EQ(out, Bytes{});
    EXPECT_EQ(service.endReason(), "the probe at \\\\.\\halvornquidor is gone");
}

TEST_F(QuidordService, WhatIsNoFrameEndsTheConnection) {
    sim::DeviceFront front(probe_);
    quidord::FrameService service(0);
    service.greet();
    Bytes out;
    const Bytes bad = {0x04, 0x00};
    EXPECT_FALSE(service.feed(bad.data(), bad.size(), out));
    EXPECT_EQ(service.endReason(), "not a frame of the probe server protocol");
}

} // namespace

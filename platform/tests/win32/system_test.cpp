// Clock, time, thread identity and thread end, the version resource.
#include "plat/clock.h"
#include "plat/thread.h"
#include "plat/time.h"
#include "plat/version.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

namespace {

TEST(SystemClock, RealClockIsTheMultimediaTimer) {
    plat::Clock &c = plat::realClock();
    EXPECT_TRUE(c.isReal());
    const std::uint32_t before = timeGetTime();
    const std::uint32_t tick = c.tickMs();
    EXPECT_LE(tick - before, 1000u);
    c.sleepMs(5);
    EXPECT_GE(c.tickMs() - tick, 4u);
}

TEST(SystemTime, UtcAndLocalComeFromTheSystem) {
    SYSTEMTIME sys{};
    GetSystemTime(&sys);
    const plat::SystemTime utc = plat::utcTime();
    EXPECT_EQ(utc.year, sys.wYear);
    EXPECT_GE(utc.month, 1);
    EXPECT_LE(utc.month, 12);
    const plat::SystemTime local = plat::localTime();
    EXPECT_GE(local.day, 1);
    EXPECT_LE(local.hour, 23);
}

std::atomic<int> ended{0};
std::atomic<std::uint32_t> endedOn{0};
void onThreadEnd() {
    ++ended;
    endedOn = plat::currentThreadId();
}

TEST(SystemThread, OnlyAWatchedThreadReportsItsEnd) {
    plat::setThreadEndHandler(onThreadEnd);
    ended = 0;
    std::uint32_t id = 0;
    std::thread([&] {
        id = plat::currentThreadId();
        EXPECT_EQ(id, GetCurrentThreadId());
        plat::watchCurrentThread();
        plat::watchCurrentThread();
    }).join();
    EXPECT_EQ(ended.load(), 1);
    EXPECT_EQ(endedOn.load(), id);
    std::thread([] {}).join();
    EXPECT_EQ(ended.load(), 1);
    plat::setThreadEndHandler(nullptr);
}

// The test program carries no version resource of its own.
TEST(SystemVersion, AModuleWithoutAVersionResourceHasNoProductVersion) {
    EXPECT_TRUE(plat::hasVersionResources());
    EXPECT_EQ(plat::moduleProductVersion(), "");
}

} // namespace

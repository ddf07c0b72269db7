#include "plat/clock.h"
#include "plat/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(TimedRecursiveMutex, RecursiveForItsOwner) {
    plat::TimedRecursiveMutex m;
    ASSERT_EQ(m.lockFor(10), plat::TimedRecursiveMutex::WaitResult::Locked);
    ASSERT_EQ(m.lockFor(10), plat::TimedRecursiveMutex::WaitResult::Locked);
    m.unlock();
    m.unlock();
}

TEST(TimedRecursiveMutex, WaitGivesUpAfterTimeoutInVirtualTime) {
    plat::ScopedVirtualClock clock(1000);
    plat::TimedRecursiveMutex m;
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        ASSERT_EQ(m.lockFor(0), plat::TimedRecursiveMutex::WaitResult::Locked);
        held = true;
        while (!release) {
            std::this_thread::yield();
        }
        m.unlock();
    });
    while (!held) {
        std::this_thread::yield();
    }
    EXPECT_EQ(m.lockFor(10000), plat::TimedRecursiveMutex::WaitResult::TimedOut);
    EXPECT_GE(clock->tickMs() - 1000, 10000u);
    release = true;
    owner.join();
    EXPECT_EQ(m.lockFor(10000), plat::TimedRecursiveMutex::WaitResult::Locked);
    m.unlock();
}

TEST(TimedRecursiveMutex, VirtualTimeStandsStillWhileABusyHolderFinishes) {
    // A holder that is slow in real time (descheduled on a loaded machine)
    // must not make a short virtual wait time out.
    plat::ScopedVirtualClock clock(1000);
    plat::TimedRecursiveMutex m;
    std::atomic<bool> held{false};
    std::thread owner([&] {
        ASSERT_EQ(m.lockFor(0), plat::TimedRecursiveMutex::WaitResult::Locked);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        m.unlock();
    });
    while (!held) {
        std::this_thread::yield();
    }
    EXPECT_EQ(m.lockFor(10), plat::TimedRecursiveMutex::WaitResult::Locked);
    EXPECT_EQ(clock->tickMs(), 1000u);
    m.unlock();
    owner.join();
}

} // namespace

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

// In virtual time a wait for another thread's lock ends when the clock has
// been moved past its deadline, at exactly that time.
TEST(TimedRecursiveMutex, WaitGivesUpWhenVirtualTimePassesItsDeadline) {
    plat::ScopedVirtualClock clock(1000);
    plat::TimedRecursiveMutex m;
    ASSERT_EQ(m.lockFor(0), plat::TimedRecursiveMutex::WaitResult::Locked);
    std::atomic<int> result{-1};
    std::atomic<std::uint32_t> gaveUpAt{0};
    std::thread waiter([&] {
        result = m.lockFor(10000) == plat::TimedRecursiveMutex::WaitResult::Locked ? 1 : 0;
        gaveUpAt = clock->tickMs();
    });
    while (m.waiting() == 0) {
        std::this_thread::yield();
    }
    clock->advance(9999);
    EXPECT_EQ(result.load(), -1); // not yet
    clock->advance(1);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(gaveUpAt.load(), 11000u);
    m.unlock();
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

TEST(TimedRecursiveMutex, OnTheWallClockAWaitEndsAfterItsTimeOut) {
    plat::TimedRecursiveMutex m;
    ASSERT_EQ(m.lockFor(0), plat::TimedRecursiveMutex::WaitResult::Locked);
    std::thread([&] { EXPECT_EQ(m.lockFor(20), plat::TimedRecursiveMutex::WaitResult::TimedOut); }).join();
    m.unlock();
}

} // namespace

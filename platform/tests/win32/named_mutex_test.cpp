#include "plat/named_mutex.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

// A name of its own per test process, so parallel test runs never meet.
std::string uniqueName(const char *what) {
    return std::string("ferrox_test_") + what + std::to_string(GetCurrentProcessId());
}

std::atomic<int> waits{0};
void countWait() {
    ++waits;
}

TEST(NamedMutex, RecursiveForOwnerRefusedForOthers) {
    plat::NamedMutex m;
    ASSERT_TRUE(m.open(uniqueName("rec").c_str()));
    EXPECT_TRUE(m.isShared());
    m.lock();
    m.lock();
    std::atomic<bool> otherUnlocked{true};
    std::thread([&] { otherUnlocked = m.unlock(); }).join();
    EXPECT_FALSE(otherUnlocked);
    EXPECT_TRUE(m.unlock());
    EXPECT_TRUE(m.ownedByCurrentThread());
    EXPECT_TRUE(m.unlock());
    EXPECT_FALSE(m.unlock());
}

// Two handles of one name are one mutex: the second waits for the first.
TEST(NamedMutex, OneNameIsOneMutexAcrossHandles) {
    const std::string name = uniqueName("one");
    plat::NamedMutex first;
    ASSERT_TRUE(first.open(name.c_str()));
    first.lock();
    waits = 0;
    plat::NamedMutex::setTestHooks({countWait, nullptr});
    std::atomic<bool> got{false};
    std::thread other([&] {
        plat::NamedMutex second;
        if (second.open(name.c_str())) {
            second.lock();
            got = true;
            second.unlock();
        }
    });
    while (waits.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(got);
    EXPECT_TRUE(first.unlock());
    other.join();
    plat::NamedMutex::setTestHooks({});
    EXPECT_TRUE(got);
}

// A thread that ends holding the mutex leaves it abandoned: the next waiter
// takes it over instead of waiting forever.
TEST(NamedMutex, ThreadThatEndsHoldingItDoesNotBlockOthers) {
    const std::string name = uniqueName("dead");
    std::thread([&] {
        plat::NamedMutex mine;
        ASSERT_TRUE(mine.open(name.c_str()));
        mine.lock();
        // A second handle keeps the object alive after this one closes, as
        // another process's would.
        (void)OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    }).join();
    plat::NamedMutex m;
    ASSERT_TRUE(m.open(name.c_str()));
    m.lock();
    EXPECT_TRUE(m.ownedByCurrentThread());
    EXPECT_TRUE(m.unlock());
}

TEST(NamedMutex, WithoutASharedObjectItStillSerialisesThisProcess) {
    plat::NamedMutex m;
    // A name with a backslash names a namespace that does not exist.
    EXPECT_FALSE(m.open("NoSuchNamespace\\ferrox"));
    EXPECT_FALSE(m.isShared());
    m.lock();
    waits = 0;
    plat::NamedMutex::setTestHooks({countWait, nullptr});
    std::atomic<bool> got{false};
    std::thread other([&] {
        m.lock();
        got = true;
        m.unlock();
    });
    while (waits.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(got);
    EXPECT_TRUE(m.unlock());
    other.join();
    plat::NamedMutex::setTestHooks({});
    EXPECT_TRUE(got);
}

} // namespace

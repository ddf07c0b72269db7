#include "plat/named_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A name of its own per test process, so parallel test runs never meet.
std::string uniqueName(const char *what) {
    return std::string("ferrox_test_") + what + std::to_string(::getpid());
}

// Removes the shared object when the test is done with it.
struct NameGuard {
    std::string name;
    ~NameGuard() { ::shm_unlink(("/" + name).c_str()); }
};

TEST(NamedMutex, RecursiveForOwnerRefusedForOthers) {
    NameGuard guard{uniqueName("rec")};
    plat::NamedMutex m;
    ASSERT_TRUE(m.open(guard.name.c_str()));
    m.lock();
    m.lock();
    std::atomic<bool> otherUnlocked{true};
    std::thread([&] { otherUnlocked = m.unlock(); }).join();
    EXPECT_FALSE(otherUnlocked);
    EXPECT_TRUE(m.unlock());
    EXPECT_TRUE(m.unlock());
    EXPECT_FALSE(m.unlock());
}

TEST(NamedMutex, ProcessThatDiesHoldingItDoesNotBlockOthers) {
    NameGuard guard{uniqueName("dead")};
    const std::string &name = guard.name;
    plat::NamedMutex m;
    ASSERT_TRUE(m.open(name.c_str()));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        plat::NamedMutex mine;
        if (!mine.open(name.c_str())) {
            ::_exit(2);
        }
        mine.lock();
        ::_exit(0); // dies holding it
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    m.lock(); // would hang forever without the take-over
    EXPECT_TRUE(m.unlock());
}

} // namespace

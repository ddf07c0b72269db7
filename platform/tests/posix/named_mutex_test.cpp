#include "plat/named_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A name of its own per test process, so parallel test runs never meet.
std::string uniqueName(const char *what) {
    return std::string("ferrox_test_") + what + std::to_string(::getpid());
}

// The shared object behind a name: the user's own.
std::string objectOf(const std::string &name) {
    return "/" + name + "." + std::to_string(::geteuid());
}

// Removes the shared object when the test is done with it.
struct NameGuard {
    std::string name;
    ~NameGuard() { ::shm_unlink(objectOf(name).c_str()); }
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

TEST(NamedMutex, LivesInAnObjectOnlyItsUserCanReach) {
    NameGuard guard{uniqueName("private")};
    plat::NamedMutex m;
    ASSERT_TRUE(m.open(guard.name.c_str()));
    EXPECT_TRUE(m.isShared());
    struct stat st {};
    const int fd = ::shm_open(objectOf(guard.name).c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fstat(fd, &st), 0);
    ::close(fd);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(NamedMutex, AnObjectOthersCanReachIsRefusedButThreadsStillTakeTurns) {
    NameGuard guard{uniqueName("open")};
    const int fd = ::shm_open(objectOf(guard.name).c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0666);
    ::close(fd);
    plat::NamedMutex m;
    EXPECT_FALSE(m.open(guard.name.c_str()));
    EXPECT_FALSE(m.isShared());
    m.lock();
    m.lock();
    EXPECT_TRUE(m.ownedByCurrentThread());
    std::atomic<bool> otherGotIt{false};
    std::thread other([&] {
        m.lock();
        otherGotIt = true;
        m.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(otherGotIt);
    EXPECT_TRUE(m.unlock());
    EXPECT_FALSE(otherGotIt); // still held once
    EXPECT_TRUE(m.unlock());
    other.join();
    EXPECT_TRUE(otherGotIt);
    EXPECT_FALSE(m.ownedByCurrentThread());
}

} // namespace

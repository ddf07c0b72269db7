// The API lock is named: calls from different processes are serialised, and
// a process that dies holding it does not block the others.
#include "api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

// A lock holder process with a pipe to its stdin and one from its stdout.
struct Holder {
    pid_t pid = -1;
    int toChild = -1;
    FILE *fromChild = nullptr;

    explicit Holder(const char *mode) {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        std::string path = LOCK_HOLDER;
        char *args[] = {path.data(), const_cast<char *>(mode), nullptr};
        posix_spawn(&pid, path.c_str(), &fa, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        toChild = in[1];
        fromChild = ::fdopen(out[0], "r");
    }
    std::string line() {
        char buf[64] = {};
        if (fromChild == nullptr || std::fgets(buf, sizeof buf, fromChild) == nullptr) {
            return "";
        }
        return buf;
    }
    void tell() { (void)::write(toChild, "go\n", 3); }
    int wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~Holder() {
        if (toChild >= 0) {
            ::close(toChild);
        }
        if (fromChild != nullptr) {
            std::fclose(fromChild);
        }
    }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;
};

TEST(ApiLockAcrossProcesses, SecondProcessWaitsForTheHolder) {
    Holder holder("hold");
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ(holder.line(), "locked\n");

    std::atomic<bool> acquired{false};
    std::thread caller([&] {
        API_Lock("caller");
        acquired = true;
        API_Unlock();
    });
    // However long we give it, the caller cannot get in while the other
    // process holds the lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired.load());
    holder.tell();
    caller.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(holder.line(), "released\n");
    EXPECT_EQ(holder.wait(), 0);
}

TEST(ApiLockAcrossProcesses, HolderThatDiesDoesNotBlockOthers) {
    Holder holder("die");
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ(holder.line(), "locked\n");
    EXPECT_EQ(holder.wait(), 3);
    API_Lock("after"); // would wait forever for the dead holder
    EXPECT_EQ(API_GetLockDepth(), 1);
    API_Unlock();
    EXPECT_EQ(API_GetLockDepth(), 0);
}

} // namespace

// A C program on the shared library uses the memories of the target of a
// quidorsim process over TCP/IP, both as processes, the way users run them.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The simulator as a child process; its first line tells where it listens.
class Simulator {
public:
    Simulator() {
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execl(QUIDORSIM, QUIDORSIM, "--listen", "127.0.0.1:0", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        fd_ = out[0];
    }
    ~Simulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    std::string server() {
        std::string line;
        char c = 0;
        pollfd pfd{fd_, POLLIN, 0};
        while (::poll(&pfd, 1, 20000) > 0 && ::read(fd_, &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        const std::string prefix = "quidorsim listening on ";
        return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

TEST(MemoryProcess, CProgramUsesTheSimulatedTargetsMemoriesOverTcp) {
    Simulator sim;
    const std::string server = sim.server();
    ASSERT_FALSE(server.empty());
    const std::string command = "QUIDOR_SERVER=" + server + " " + LINK_C_MEMORY;
    FILE *program = ::popen(command.c_str(), "r");
    ASSERT_NE(program, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, program) != nullptr) {
        out += buf;
    }
    EXPECT_EQ(::pclose(program), 0);
    EXPECT_EQ(out, "enter 0\n"
                   "setdata 600\n"
                   "getdata 600 same 1\n"
                   "progeeprom 300\n"
                   "geteeprom 300 same 1\n"
                   "progerom 130\n"
                   "geterom 130 same 1\n"
                   "progulp 3\n"
                   "getulp 3 same 1\n"
                   "wholeerom 32768\n"
                   "calcsign 4\n"
                   "signature matches 1\n"
                   "protect 0\n"
                   "isprotected 1\n"
                   "error Target is protected.\n"
                   "getdata -1\n"
                   "protect -1\n"
                   "unprotect 0\n"
                   "isprotected 0\n"
                   "versions 5\n"
                   "protect 0\n"
                   "erase 0\n"
                   "isprotected 0\n"
                   "erased 2 0xFFFF\n");
}

} // namespace

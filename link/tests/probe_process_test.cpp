// A C program on the shared library against quidorsim, both as processes,
// the way users run them: the open over TCP/IP and the probe's answers.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A child process with its standard output on a pipe.
class Process {
public:
    Process(const char *program, std::vector<std::string> args, const std::string &server = "") {
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            if (!server.empty()) {
                ::setenv("QUIDOR_SERVER", server.c_str(), 1);
            }
            std::string name = program;
            std::vector<char *> argv{name.data()};
            for (auto &a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        fd_ = out[0];
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    std::string readLine() {
        std::string line;
        char c = 0;
        while (true) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 20000) <= 0 || ::read(fd_, &c, 1) != 1 || c == '\n') {
                return line;
            }
            line.push_back(c);
        }
    }
    std::string readAll() {
        std::string all;
        char buf[512];
        while (true) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 20000) <= 0) {
                return all;
            }
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) {
                return all;
            }
            all.append(buf, static_cast<std::size_t>(n));
        }
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

std::string serverOf(const std::string &line) {
    const std::string prefix = "quidorsim listening on ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
}

TEST(ProbeProcess, CProgramOpensTheSimulatorOverTcpAndProgramsTheSerialNumber) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0"});
    const std::string server = serverOf(sim.readLine());
    ASSERT_FALSE(server.empty());

    Process first(LINK_C_PROBE, {"SetSN = 4711"}, server);
    EXPECT_EQ(first.readAll(), "firmware Quidor Rev 2.0 Tamsa compiled Feb 13 2015 14:08:22\n"
                               "caps 0x00000076\n"
                               "hwversion 22000\n"
                               "sn -1\n"
                               "exec 0 O.K.\n"
                               "power 0\n");
    EXPECT_EQ(first.wait(), 0);

    // The probe keeps its number: a second program finds it and may not
    // overwrite it.
    Process second(LINK_C_PROBE, {"SetSN=5"}, server);
    const std::string out = second.readAll();
    EXPECT_NE(out.find("sn 4711\n"), std::string::npos) << out;
    EXPECT_NE(out.find("exec 1 ERROR - S/N 4711 can not be overwritten by S/N 5\n"), std::string::npos)
        << out;
    EXPECT_EQ(second.wait(), 0);
}

TEST(ProbeProcess, ForeignFirmwareFailsTheOpen) {
    Process sim(QUIDORSIM, {"--listen", "127.0.0.1:0", "--firmware", "foreign"});
    const std::string server = serverOf(sim.readLine());
    ASSERT_FALSE(server.empty());
    Process program(LINK_C_PROBE, {}, server);
    EXPECT_EQ(program.readAll(), "error Can not connect to Quidor via USB.\nopen failed\n");
    EXPECT_EQ(program.wait(), 1);
}

} // namespace

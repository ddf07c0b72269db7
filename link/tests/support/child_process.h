// Child processes for the process tests: a program with its standard output
// on a pipe, and the simulator's ready line.
#pragma once

#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace ferrox_test {

// A child process with its standard output on a pipe; `input`, when given,
// is all its standard input.
class Process {
public:
    Process(const char *program, std::vector<std::string> args, const std::string &server = "",
            const std::string &input = "") {
        int out[2];
        int in[2] = {-1, -1};
        if (::pipe(out) != 0 || (!input.empty() && ::pipe(in) != 0)) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            if (in[0] >= 0) {
                ::dup2(in[0], 0);
                ::close(in[0]);
                ::close(in[1]);
            }
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
        if (in[0] >= 0) {
            ::close(in[0]);
            // Small enough for the pipe: written whole before the child reads.
            const ssize_t written = ::write(in[1], input.data(), input.size());
            (void)written;
            ::close(in[1]);
        }
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
    void signal(int sig) { ::kill(pid_, sig); }
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

inline std::string serverOf(const std::string &line) {
    const std::string prefix = "quidorsim listening on ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
}

} // namespace ferrox_test

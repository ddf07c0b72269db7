// The commander as users run it: a quidorsim process on a loopback port, and
// ferroxcmd processes with their standard input from a pipe (or a
// pseudo-terminal) and their output collected.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace cmd_test {

inline constexpr int kTimeoutMs = 30000;

// Builds argv and runs the program in the child; never returns.
[[noreturn]] inline void execChild(const char *program, const std::vector<std::string> &args,
                                   const std::string &server, const std::string &cwd) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
        ::_exit(126);
    }
    if (server.empty()) {
        ::unsetenv("QUIDOR_SERVER");
    } else {
        ::setenv("QUIDOR_SERVER", server.c_str(), 1);
    }
    std::vector<std::string> copy = args;
    std::string name = program;
    std::vector<char *> argv{name.data()};
    for (auto &a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::execv(program, argv.data());
    ::_exit(127);
}

// The commander under test: FERROXCMD, or the program that
// FERROX_TEST_COMMANDER names, started by the loader in FERROX_TEST_RUNNER
// when that is set (ferroxcmd.exe under Wine). Never returns.
[[noreturn]] inline void execCommander(const std::vector<std::string> &args, const std::string &server,
                                       const std::string &cwd) {
    const char *program = std::getenv("FERROX_TEST_COMMANDER");
    const char *runner = std::getenv("FERROX_TEST_RUNNER");
    if (program == nullptr || program[0] == '\0') {
        execChild(FERROXCMD, args, server, cwd);
    }
    if (runner == nullptr || runner[0] == '\0') {
        execChild(program, args, server, cwd);
    }
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    execChild(runner, all, server, cwd);
}

// A Windows program ends its lines with CR LF: the transcripts compare LF.
inline void normaliseLineEnds(std::string &text) {
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos) {
        text.erase(at, 1);
    }
}

inline int waitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// quidorsim on a free loopback port; killed when the object goes.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> options = {}) {
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        std::vector<std::string> args{"--listen", "127.0.0.1:0"};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            execChild(QUIDORSIM, args, "", "");
        }
        ::close(out[1]);
        fd_ = out[0];
        std::string line;
        char c = 0;
        pollfd pfd{fd_, POLLIN, 0};
        while (::poll(&pfd, 1, kTimeoutMs) > 0 && ::read(fd_, &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        const std::string prefix = "quidorsim listening on ";
        if (line.rfind(prefix, 0) == 0) {
            server_ = line.substr(prefix.size());
        }
    }
    ~Simulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            waitExit(pid_);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // "127.0.0.1:PORT", empty when the simulator did not start.
    const std::string &server() const { return server_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string server_;
};

struct Result {
    std::string out;
    std::string err;
    int status = -1;
};

struct RunOptions {
    std::string server; // QUIDOR_SERVER, unset when empty
    std::string input;  // standard input, then its end
    std::string cwd;    // working directory of the child
};

// ferroxcmd with its arguments; standard input is a pipe that carries
// `input` and then ends; standard output and error are collected.
inline Result runCommander(const std::vector<std::string> &args, const RunOptions &options) {
    Result result;
    int in[2];
    int out[2];
    int err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) {
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            ::close(fd);
        }
        execCommander(args, options.server, options.cwd);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    int inFd = in[1];
    if (options.input.empty()) {
        ::close(inFd);
        inFd = -1;
    }
    int outFd = out[0];
    int errFd = err[0];
    while (outFd >= 0 || errFd >= 0) {
        pollfd pfds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (::poll(pfds, 3, kTimeoutMs) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            int &fd = i == 0 ? outFd : errFd;
            if (fd >= 0 && pfds[i].revents != 0) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) {
                    ::close(fd);
                    fd = -1;
                } else {
                    (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
                }
            }
        }
        if (inFd >= 0 && pfds[2].revents != 0) {
            const ssize_t n = ::write(inFd, options.input.data() + written, options.input.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if (n <= 0 || written == options.input.size()) {
                ::close(inFd);
                inFd = -1;
            }
        }
    }
    for (int fd : {inFd, outFd, errFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    result.status = waitExit(pid);
    if (std::getenv("FERROX_TEST_RUNNER") != nullptr) {
        normaliseLineEnds(result.out);
        normaliseLineEnds(result.err);
    }
    return result;
}

// ferroxcmd on a pseudo-terminal: the test reads what it shows and types.
class Terminal {
public:
    // With `stdoutFile`, standard output goes to that file instead.
    Terminal(const std::vector<std::string> &args, const std::string &server,
             const std::string &stdoutFile = "") {
        pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            if (!stdoutFile.empty()) {
                const int fd = ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0 || ::dup2(fd, 1) < 0) {
                    ::_exit(126);
                }
                ::close(fd);
            }
            execCommander(args, server, "");
        }
    }
    ~Terminal() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitExit(pid_);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // Reads until `text` has been shown (true) or the time-out passed.
    bool waitFor(const std::string &text) {
        while (shown().find(text) == std::string::npos) {
            if (!readSome()) {
                return false;
            }
        }
        return true;
    }
    // Reads until `text` has been shown `times` times.
    bool waitFor(const std::string &text, int times) {
        while (true) {
            const std::string now = shown();
            int n = 0;
            for (std::size_t at = now.find(text); at != std::string::npos; at = now.find(text, at + 1)) {
                ++n;
            }
            if (n >= times) {
                return true;
            }
            if (!readSome()) {
                return false;
            }
        }
    }
    void type(const std::string &keys) {
        if (::write(master_, keys.data(), keys.size()) < 0) {
            return;
        }
    }
    // Reads everything to the program's end and returns its exit status.
    int finish() {
        while (readSome()) {
        }
        const int status = waitExit(pid_);
        pid_ = -1;
        return status;
    }
    // The terminal's settings, as the program left them.
    bool lineModeWithEcho() const {
        struct termios t {};
        return ::tcgetattr(master_, &t) == 0 && (t.c_lflag & ICANON) != 0 && (t.c_lflag & ECHO) != 0;
    }
    // What the terminal showed, with its CR LF line ends as LF.
    std::string shown() const { return std::regex_replace(shown_, std::regex("\r\n"), "\n"); }

private:
    bool readSome() {
        pollfd pfd{master_, POLLIN, 0};
        if (::poll(&pfd, 1, kTimeoutMs) <= 0) {
            return false;
        }
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        shown_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    std::string shown_;
};

// The library's compile date changes with every build.
inline std::string normalized(const std::string &text) {
    return std::regex_replace(
        text, std::regex("\nDLL: 1\\.92, compiled [A-Z][a-z]{2} [ 0-9]{2} [0-9]{4} [0-9:]{8}\n"),
        "\nDLL: 1.92, compiled DATE\n");
}

// A scratch folder for script and HEX files, removed with the object.
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/ferroxcmd_test_XXXXXX";
        if (::mkdtemp(name) != nullptr) {
            path_ = name;
        }
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    void write(const std::string &name, const std::string &text) const {
        std::ofstream(file(name), std::ios::binary) << text;
    }
    std::string read(const std::string &name) const {
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

} // namespace cmd_test

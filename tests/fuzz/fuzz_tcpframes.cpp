// The host side of the TCP/IP transport reading whatever a server sends:
// the greeting, answer counts and payloads of read and write-read frames.
#include "tcpip.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The server's whole stream is the input; it ends where the input ends.
    if (size > 60000) {
        return 0;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return 0;
    }
    int bufSize = 256 * 1024;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize);
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize);
    for (std::size_t sent = 0; sent < size;) {
        ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fds[1], SHUT_WR);
    IP_AdoptSocket(fds[0]);

    static const int kSizes[] = {1, 2, 8, 4, 256, 514, 3, 32};
    std::uint8_t request[8] = {0xCD, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    std::uint8_t answer[514];
    if (IP_ReadGreeting(0x7F000001) != 0) {
        for (int i = 0; i < 16 && IP_HasSocket(); ++i) {
            const int n = kSizes[i % 8];
            const int r = (i % 3 == 2) ? IP_Read(answer, n) : IP_WriteRead(request, 1 + i % 8, answer, n);
            if (r != 0 && r != n) {
                __builtin_trap(); // a frame either delivers all it asked for or nothing
            }
        }
    }
    IP_Close();
    ::close(fds[1]);
    return 0;
}

// TCP/IP transport: the same request and answer bytes as USB, framed with
// their counts and scrambled with a running XOR.
#include "tcpip.h"

#include "link.h"
#include "main_log.h"

#include "plat/socket.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kHostSize = 512;

// Everything the TCP/IP transport keeps, in one place.
struct State {
    char IP_ServerHost[kHostSize] = {};
    U16 IP_ServerPort = 0;
    plat::TcpSocket Socket;
    bool SocketsStarted = false;
    bool SocketsStartFailed = false;
    U8 CommError = 0;
    FERROX_OUTPUT_FUNC pfErrorSink = nullptr;
};
State g;
// Scratch for the scrambled copy of one payload; holds nothing between frames.
U8 SendBuffer[IP_MAX_PAYLOAD + 1];

void reportOnce(const char *sFormat, ...) __attribute__((format(printf, 1, 2)));
void reportOnce(const char *sFormat, ...) {
    va_list ap;
    va_start(ap, sFormat);
    LINK_ReportCommError(&g.CommError, g.pfErrorSink, sFormat, ap);
    va_end(ap);
}

// The two connect failures: the server cannot be reached, or it answers
// that it cannot reach the probe.
void reportFailure(bool serverRefused, U32 Address) {
    const int a = static_cast<int>((Address >> 24) & 0xFF);
    const int b = static_cast<int>((Address >> 16) & 0xFF);
    const int c = static_cast<int>((Address >> 8) & 0xFF);
    const int d = static_cast<int>(Address & 0xFF);
    const int port = static_cast<int>(g.IP_ServerPort);
    if (serverRefused) {
        reportOnce("Can not connect to Quidor via Quidor TCP/IP Server (%d.%d.%d.%d, port %d)", a, b, c, d,
                   port);
    } else {
        reportOnce("Can not connect to Quidor TCP/IP Server (%d.%d.%d.%d, port %d)", a, b, c, d, port);
    }
}

// Receives exactly n bytes; anything less closes the socket.
bool receiveAll(U8 *p, int n) {
    int got = 0;
    while (got < n) {
        const int r = g.Socket.receive(p + got, n - got, IP_TIMEOUT_MS);
        if (r <= 0) {
            g.Socket.close();
            return false;
        }
        got += r;
    }
    return true;
}

bool sendAll(const U8 *p, int n) {
    if (g.Socket.send(p, n) != n) {
        g.Socket.close();
        return false;
    }
    return true;
}

// Takes an answer's count; a count outside least..most is refused, but its
// payload is still taken off the stream, so that the next frame does not
// read it as its own answer.
bool receiveCountWithin(int least, int most, int &count) {
    U8 head[2];
    if (!receiveAll(head, 2)) {
        return false;
    }
    count = head[0] | (head[1] << 8);
    if (count >= least && count <= most) {
        return true;
    }
    U8 scratch[512];
    for (int left = count; left > 0;) {
        const int step = left < static_cast<int>(sizeof scratch) ? left : static_cast<int>(sizeof scratch);
        if (!receiveAll(scratch, step)) {
            break;
        }
        left -= step;
    }
    return false;
}

bool receiveCount(int expected) {
    int count = 0;
    return receiveCountWithin(expected, expected, count);
}

} // namespace

void IP_Scramble(const U8 *pPlain, U8 *pWire, int n) {
    U8 prev = 0xFF;
    for (int i = 0; i < n; ++i) {
        pWire[i] = static_cast<U8>(pPlain[i] ^ prev);
        prev = pPlain[i];
    }
}

void IP_Unscramble(U8 *p, int n) {
    U8 prev = 0xFF;
    for (int i = 0; i < n; ++i) {
        p[i] = static_cast<U8>(p[i] ^ prev);
        prev = p[i];
    }
}

int IP_ReadGreeting(U32 Address) {
    U8 greeting[4];
    U8 ident[256];
    if (!receiveAll(greeting, 4) || !receiveAll(ident, greeting[3])) {
        reportFailure(false, Address);
        return 0;
    }
    if (greeting[0] != 0) {
        g.Socket.close();
        reportFailure(true, Address);
        return 0;
    }
    return 1;
}

int IP_Connect() {
    if (!g.SocketsStarted) {
        if (g.SocketsStartFailed || !plat::startSockets()) {
            g.SocketsStartFailed = true;
            reportFailure(false, 0);
            return 0;
        }
        g.SocketsStarted = true;
    }
    g.CommError = 0;
    U32 address = 0;
    bool resolved = false;
    if (g.IP_ServerHost[0] >= '0' && g.IP_ServerHost[0] <= '9') {
        resolved = plat::parseIpv4(g.IP_ServerHost, address);
    } else {
        resolved = plat::resolveHost(g.IP_ServerHost, address);
    }
    // A failed lookup leaves 0.0.0.0, which would reach a server on this
    // very machine; such a host is not connected to at all.
    if (!resolved) {
        address = 0;
        reportFailure(false, address);
        return 0;
    }
    if (!g.Socket.connect(address, g.IP_ServerPort, IP_TIMEOUT_MS)) {
        reportFailure(false, address);
        return 0;
    }
    g.Socket.setNoDelay();
    return IP_ReadGreeting(address);
}

void IP_Close() {
    g.Socket.close();
}

int IP_Write(const U8 *p, int n) {
    if (!g.Socket.isOpen()) {
        return 0;
    }
    if (n > IP_MAX_PAYLOAD) {
        MAIN_InternalError("IP_Write(): Max. Size exceeded");
        return 0;
    }
    if (n < 0) {
        return 0;
    }
    const U8 head[3] = {0x02, static_cast<U8>(n & 0xFF), static_cast<U8>(n >> 8)};
    if (!sendAll(head, 3)) {
        return 0;
    }
    IP_Scramble(p, SendBuffer, n);
    if (!sendAll(SendBuffer, n)) {
        return 0;
    }
    return n;
}

int IP_Read(U8 *p, int n) {
    if (!g.Socket.isOpen() || n < 0) {
        return 0;
    }
    // A frame's count has 16 bits: a longer read (a buffer read of 32768
    // items is 65536 bytes) goes out as several read frames, as USB splits
    // its reads into pieces. Like USB, a failed piece ends the read with
    // the bytes received so far.
    int total = 0;
    while (total < n) {
        const int piece = n - total < IP_MAX_PAYLOAD ? n - total : IP_MAX_PAYLOAD;
        const U8 head[3] = {0x01, static_cast<U8>(piece & 0xFF), static_cast<U8>(piece >> 8)};
        if (!sendAll(head, 3) || !receiveCount(piece) || !receiveAll(p + total, piece)) {
            break;
        }
        IP_Unscramble(p + total, piece);
        total += piece;
    }
    return total;
}

int IP_WriteRead(const U8 *pOut, int nOut, U8 *pIn, int nIn) {
    return IP_WriteReadUpTo(pOut, nOut, pIn, nIn, nIn);
}

int IP_WriteReadUpTo(const U8 *pOut, int nOut, U8 *pIn, int nIn, int nMin) {
    if (!g.Socket.isOpen()) {
        return 0;
    }
    if (nOut > IP_MAX_PAYLOAD) {
        MAIN_InternalError("IP_WriteRead(): Max. Size exceeded");
        return 0;
    }
    if (nIn > IP_MAX_PAYLOAD) {
        MAIN_InternalError("IP_WriteRead(): Max. Size exceeded");
        return 0;
    }
    if (nOut < 0 || nIn < 0) {
        return 0;
    }
    const U8 head[5] = {0x03, static_cast<U8>(nOut & 0xFF), static_cast<U8>(nOut >> 8),
                        static_cast<U8>(nIn & 0xFF), static_cast<U8>(nIn >> 8)};
    if (!sendAll(head, 5)) {
        return 0;
    }
    IP_Scramble(pOut, SendBuffer, nOut);
    int count = 0;
    if (!sendAll(SendBuffer, nOut) || !receiveCountWithin(nMin < nIn ? nMin : nIn, nIn, count) ||
        !receiveAll(pIn, count)) {
        return 0;
    }
    IP_Unscramble(pIn, count);
    return count;
}

bool IP_SetServer(const char *sHost, U16 Port) {
    if (sHost == nullptr || sHost[0] == '\0' || std::strlen(sHost) >= kHostSize) {
        return false;
    }
    std::snprintf(g.IP_ServerHost, sizeof g.IP_ServerHost, "%s", sHost);
    g.IP_ServerPort = Port;
    return true;
}

const char *IP_GetServerHost() {
    return g.IP_ServerHost;
}
U16 IP_GetServerPort() {
    return g.IP_ServerPort;
}
U8 IP_HasCommError() {
    return g.CommError;
}
void IP_ClearCommError() {
    g.CommError = 0;
}
void IP_SetErrorSink(FERROX_OUTPUT_FUNC pfErrorSink_) {
    g.pfErrorSink = pfErrorSink_;
}
bool IP_HasSocket() {
    return g.Socket.isOpen();
}
void IP_AdoptSocket(int NativeHandle) {
    g.Socket = plat::TcpSocket::adopt(NativeHandle);
}

void IP_ResetState() {
    g = State{};
}

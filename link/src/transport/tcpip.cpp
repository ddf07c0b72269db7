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
constexpr int kWriteHead = 3;
constexpr int kWriteReadHead = 5;

// Everything the TCP/IP transport keeps, in one place.
struct State {
    char IP_ServerHost[kHostSize] = {};
    U16 IP_ServerPort = 0;
    std::unique_ptr<plat::ByteStream> Stream; // none while not connected
    bool SocketsStarted = false;
    bool SocketsStartFailed = false;
    U8 CommError = 0;
    FERROX_OUTPUT_FUNC pfErrorSink = nullptr;
};
State g;
// Scratch for one frame: its head and scrambled payload go out in one send,
// and an answer's count and payload come in as few receives as they arrive
// in. Holds nothing between frames.
U8 SendBuffer[kWriteReadHead + IP_MAX_PAYLOAD];
U8 ReceiveBuffer[2 + IP_MAX_PAYLOAD];

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

void closeStream() {
    g.Stream.reset();
}

// Receives until `have` of `p` holds at least `least` bytes, taking up to
// `most` as they come; anything less closes the connection.
bool receiveAtLeast(U8 *p, int &have, int least, int most) {
    while (have < least) {
        const int r = g.Stream->receive(p + have, most - have, IP_TIMEOUT_MS);
        if (r <= 0) {
            closeStream();
            return false;
        }
        have += r;
    }
    return true;
}

bool receiveAll(U8 *p, int n) {
    int have = 0;
    return receiveAtLeast(p, have, n, n);
}

bool sendAll(const U8 *p, int n) {
    if (g.Stream->send(p, n) != n) {
        closeStream();
        return false;
    }
    return true;
}

// Sends a frame: the head, then the payload scrambled, in one piece.
bool sendFrame(const U8 *pHead, int HeadSize, const U8 *pPayload, int n) {
    std::memcpy(SendBuffer, pHead, static_cast<std::size_t>(HeadSize));
    IP_Scramble(pPayload, SendBuffer + HeadSize, n);
    return sendAll(SendBuffer, HeadSize + n);
}

// Takes an answer: its count, which must lie within least..most, and that
// many payload bytes into pIn, unscrambled. A count outside is refused, but
// its payload is still taken off the stream, so that the next frame does not
// read it as its own answer. The count, or -1.
int receiveAnswer(U8 *pIn, int least, int most) {
    int have = 0;
    if (!receiveAtLeast(ReceiveBuffer, have, 2, 2 + most)) {
        return -1;
    }
    const int count = ReceiveBuffer[0] | (ReceiveBuffer[1] << 8);
    if (count < least || count > most) {
        for (int left = count - (have - 2); left > 0;) {
            const int step = left < IP_MAX_PAYLOAD ? left : IP_MAX_PAYLOAD;
            if (!receiveAll(ReceiveBuffer, step)) {
                break;
            }
            left -= step;
        }
        return -1;
    }
    if (!receiveAtLeast(ReceiveBuffer, have, 2 + count, 2 + count)) {
        return -1;
    }
    std::memcpy(pIn, ReceiveBuffer + 2, static_cast<std::size_t>(count));
    IP_Unscramble(pIn, count);
    return count;
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
    if (g.Stream == nullptr || !receiveAll(greeting, 4) || !receiveAll(ident, greeting[3])) {
        reportFailure(false, Address);
        return 0;
    }
    if (greeting[0] != 0) {
        closeStream();
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
    g.Stream = plat::connectStream(address, g.IP_ServerPort, IP_TIMEOUT_MS);
    if (g.Stream == nullptr) {
        reportFailure(false, address);
        return 0;
    }
    return IP_ReadGreeting(address);
}

void IP_Close() {
    closeStream();
}

int IP_Write(const U8 *p, int n) {
    if (g.Stream == nullptr) {
        return 0;
    }
    if (n > IP_MAX_PAYLOAD) {
        MAIN_InternalError("IP_Write(): Max. Size exceeded");
        return 0;
    }
    if (n < 0) {
        return 0;
    }
    const U8 head[kWriteHead] = {0x02, static_cast<U8>(n & 0xFF), static_cast<U8>(n >> 8)};
    return sendFrame(head, kWriteHead, p, n) ? n : 0;
}

int IP_Read(U8 *p, int n) {
    if (g.Stream == nullptr || n < 0) {
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
        if (!sendAll(head, 3) || receiveAnswer(p + total, piece, piece) != piece) {
            break;
        }
        total += piece;
    }
    return total;
}

int IP_WriteRead(const U8 *pOut, int nOut, U8 *pIn, int nIn) {
    return IP_WriteReadUpTo(pOut, nOut, pIn, nIn, nIn);
}

int IP_WriteReadUpTo(const U8 *pOut, int nOut, U8 *pIn, int nIn, int nMin) {
    if (g.Stream == nullptr) {
        return 0;
    }
    if (nOut > IP_MAX_PAYLOAD || nIn > IP_MAX_PAYLOAD) {
        MAIN_InternalError("IP_WriteRead(): Max. Size exceeded");
        return 0;
    }
    if (nOut < 0 || nIn < 0) {
        return 0;
    }
    const U8 head[kWriteReadHead] = {0x03, static_cast<U8>(nOut & 0xFF), static_cast<U8>(nOut >> 8),
                                     static_cast<U8>(nIn & 0xFF), static_cast<U8>(nIn >> 8)};
    if (!sendFrame(head, kWriteReadHead, pOut, nOut)) {
        return 0;
    }
    const int count = receiveAnswer(pIn, nMin < nIn ? nMin : nIn, nIn);
    return count < 0 ? 0 : count;
}

bool IP_SetServer(const char *sHost, U16 Port) {
    if (sHost == nullptr || sHost[0] == '\0' || std::strlen(sHost) >= kHostSize) {
        return false;
    }
    (void)std::snprintf(g.IP_ServerHost, sizeof g.IP_ServerHost, "%s", sHost);
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
    return g.Stream != nullptr;
}
void IP_AdoptStream(std::unique_ptr<plat::ByteStream> Stream) {
    g.Stream = std::move(Stream);
}

void IP_ResetState() {
    g = State{};
}

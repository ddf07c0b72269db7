// The probe server's frames, server side, as the simulator's TCP front and
// quidord serve them. A client sends read (0x01, U16 n), write (0x02, U16 n,
// n bytes) and write-read (0x03, U16 nOut, U16 nIn, nOut bytes) frames; an
// answer is a U16 count and that many bytes. Payloads in both directions are
// scrambled with a running XOR; numbers are little-endian.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// The payload scrambling: s[i] = p[i] ^ p[i-1], p[-1] = 0xFF.
void scramble(std::uint8_t *data, std::size_t size);
void unscramble(std::uint8_t *data, std::size_t size);

enum : std::uint8_t { kFrameRead = 0x01, kFrameWrite = 0x02, kFrameWriteRead = 0x03 };

struct Frame {
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> payload; // unscrambled
    std::size_t answerSize = 0;        // read and write-read frames
};

// Whole frames out of a client's byte stream, as they complete.
class FrameReader {
public:
    enum class Next { Frame, Incomplete, Bad };

    void feed(const std::uint8_t *data, std::size_t size);
    // The next whole frame; Bad for a kind other than 1, 2 or 3, after which
    // the stream cannot be trusted.
    Next next(Frame &frame);
    bool empty() const { return in_.size() == inPos_; }

private:
    std::vector<std::uint8_t> in_;
    std::size_t inPos_ = 0;
};

// An answer: the count, then the bytes scrambled.
void appendAnswer(std::vector<std::uint8_t> &out, const std::uint8_t *data, std::size_t count);

// The greeting a server sends when a client connects: the status (0: the
// probe can be reached), two zero bytes, the length of the identification
// text and the text (at most 255 bytes).
std::vector<std::uint8_t> greeting(std::uint8_t status, const std::string &identification);

// "HOST:PORT" with a dotted IPv4 host (or "localhost") and a port 0..65535.
bool parseHostPort(const std::string &text, std::string &host, std::uint16_t &port);

// Sends every byte; false when the connection failed.
bool sendAll(int fd, const std::uint8_t *data, std::size_t size);

// A TCP server's socket: listens on an IPv4 address and takes clients one at
// a time, the next waiting in the listen queue.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener &) = delete;
    TcpListener &operator=(const TcpListener &) = delete;

    // Binds and listens; port 0 picks a free one (see port()).
    bool listen(const std::string &host, std::uint16_t port, std::string &error);
    std::uint16_t port() const { return port_; }
    const std::string &host() const { return host_; }

    // Until stop(): takes a client, hands its socket and address
    // ("a.b.c.d:port") to `serveClient`, and closes the socket after it.
    void serve(const std::function<void(int fd, const std::string &peer)> &serveClient);
    // One blocking receive of what a client sent: the count, or 0 once the
    // client has left or the server stops.
    std::size_t receive(int fd, std::uint8_t *data, std::size_t size) const;
    // Async-signal-safe.
    void stop() { stop_.store(true); }
    bool stopping() const { return stop_.load(); }
    // SIGINT and SIGTERM stop this listener from now on; a client that left
    // raises no SIGPIPE.
    void stopOnSignals();

private:
    // How long a blocking wait may last before it looks at the stop flag
    // again.
    static constexpr int kStopCheckMs = 100;

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::string host_;
    std::atomic<bool> stop_{false};
};

} // namespace sim

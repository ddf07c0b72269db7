// Byte streams to a server, the way the TCP/IP transport talks to its probe
// server.
//
// A real server is reached through a TCP socket. On every platform a stream
// provider may claim an address and port first: an in-process peer (a test's
// scripted server, the simulator's frame session) that answers at once or at
// a virtual time it names, so that tests run in deterministic virtual time
// without real sockets or threads.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace plat {

class ByteStream {
public:
    enum : int { kClosed = 0, kError = -1, kTimedOut = -2 };

    virtual ~ByteStream() = default;
    // Sends all bytes; returns how many went out (fewer on failure).
    virtual int send(const std::uint8_t *data, int size) = 0;
    // One receive of up to `size` bytes: bytes received (> 0), kClosed,
    // kError or kTimedOut after `timeoutMs` on the platform clock.
    virtual int receive(std::uint8_t *data, int size, std::uint32_t timeoutMs) = 0;
};

class StreamProvider {
public:
    virtual ~StreamProvider() = default;
    // A stream to `address` (IPv4, most significant byte first) and `port`
    // when this provider serves them, else nullptr.
    virtual std::unique_ptr<ByteStream> connect(std::uint32_t address, std::uint16_t port) = 0;
};

// Providers are asked in registration order.
void registerStreamProvider(StreamProvider *provider);
void unregisterStreamProvider(StreamProvider *provider);

// A provider's stream, or else a TCP connection (Nagle off) made within
// `timeoutMs`; nullptr when neither can be had.
std::unique_ptr<ByteStream> connectStream(std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs);

// The far end of an in-process stream.
class StreamPeer {
public:
    virtual ~StreamPeer() = default;
    // Bytes from the client, as they are sent.
    virtual void take(const std::uint8_t *data, std::size_t size) = 0;
    // Moves what is ready for the client by tick `now` into `out`; false
    // once the peer has closed the connection (after what it still sends).
    virtual bool give(std::uint32_t now, std::vector<std::uint8_t> &out) = 0;
    // The tick at which more will be ready without more input; false when
    // nothing is on its way.
    virtual bool nextDue(std::uint32_t &tick) = 0;
};

// A stream to an in-process peer on the platform clock: a receive returns
// what the peer has ready, lets the clock run on to the time the peer named
// when that lies within the time-out, and otherwise times out.
class PeerStream final : public ByteStream {
public:
    explicit PeerStream(std::shared_ptr<StreamPeer> peer) : peer_(std::move(peer)) {}
    int send(const std::uint8_t *data, int size) override;
    int receive(std::uint8_t *data, int size, std::uint32_t timeoutMs) override;

private:
    std::shared_ptr<StreamPeer> peer_;
    std::deque<std::uint8_t> ready_;
    std::vector<std::uint8_t> scratch_;
    bool closed_ = false;
};

} // namespace plat

#include "sim/tcp_server.h"

#include "plat/clock.h"

namespace sim {

void FrameSession::feed(const std::uint8_t *data, std::size_t size, std::vector<std::uint8_t> &out) {
    if (closed_) {
        return;
    }
    reader_.feed(data, size);
    drain(out);
}

bool FrameSession::waiting(std::uint32_t &tick) const {
    if (!readPending_ || closed_) {
        return false;
    }
    if (!probe_.latePending(tick)) {
        tick = probe_.clock().tickMs(); // nothing on its way any more: go on now
    }
    return true;
}

void FrameSession::resume(std::vector<std::uint8_t> &out) {
    if (readPending_ && !answerRead(pendingRead_, out)) {
        return;
    }
    drain(out);
}

// Serves every whole frame that has come, unless a read waits.
void FrameSession::drain(std::vector<std::uint8_t> &out) {
    while (!closed_ && !readPending_ && processOne(out)) {
    }
}

bool FrameSession::processOne(std::vector<std::uint8_t> &out) {
    switch (reader_.next(frame_)) {
    case FrameReader::Next::Incomplete:
        return false;
    case FrameReader::Next::Bad:
        closed_ = true; // not a frame of this protocol: the stream cannot be trusted
        return false;
    case FrameReader::Next::Frame:
        break;
    }
    if (frame_.kind != kFrameRead) {
        probe_.write(frame_.payload.data(), frame_.payload.size());
        if (probe_.takeDropRequest()) {
            closed_ = true;
            return false;
        }
    }
    if (frame_.kind != kFrameWrite) {
        answerRead(frame_.answerSize, out);
    }
    return true;
}

// Answers with what the probe has. An answer on its way (late) is waited
// for: the read is held, and false tells the caller to come back at its time.
bool FrameSession::answerRead(std::size_t wanted, std::vector<std::uint8_t> &out) {
    std::uint32_t due = 0;
    if (probe_.available() < wanted && probe_.latePending(due)) {
        readPending_ = true;
        pendingRead_ = wanted;
        return false;
    }
    readPending_ = false;
    scratch_.resize(wanted);
    const std::size_t got = probe_.read(scratch_.data(), wanted);
    appendAnswer(out, scratch_.data(), got);
    return true;
}

void TcpServer::serve() {
    listener_.serve([this](int fd, const std::string &) {
        serveClient(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        probe_.resetStreams();
        if (clientDone_) {
            clientDone_();
        }
    });
}

void TcpServer::serveClient(int fd) {
    const std::vector<std::uint8_t> hello = greeting(greetingStatus, identification);
    if (!sendAll(fd, hello.data(), hello.size())) {
        return;
    }
    FrameSession session(probe_);
    std::vector<std::uint8_t> buffer(65536 + 8);
    std::vector<std::uint8_t> out;
    for (std::size_t n = 0; (n = listener_.receive(fd, buffer.data(), buffer.size())) != 0;) {
        out.clear();
        std::unique_lock<std::mutex> lock(mutex_);
        session.feed(buffer.data(), n, out);
        // A late answer: its time comes on the probe's clock, without
        // holding the probe meanwhile.
        for (std::uint32_t due = 0; session.waiting(due) && !listener_.stopping();) {
            plat::Clock &c = probe_.clock();
            const std::uint32_t now = c.tickMs();
            if (static_cast<std::int32_t>(due - now) > 0) {
                lock.unlock();
                c.sleepMs(std::min<std::uint32_t>(due - now, 50));
                lock.lock();
                continue;
            }
            session.resume(out);
        }
        lock.unlock();
        if (!out.empty() && !sendAll(fd, out.data(), out.size())) {
            return;
        }
        if (session.closed()) {
            return;
        }
    }
}

// ------------------------------------------------------- in-process front

namespace {

// One connection of the in-process front.
class SessionPeer final : public plat::StreamPeer {
public:
    SessionPeer(Probe &probe, std::vector<std::uint8_t> greeting)
        : session_(probe), out_(std::move(greeting)) {}
    void take(const std::uint8_t *data, std::size_t size) override { session_.feed(data, size, out_); }
    bool give(std::uint32_t now, std::vector<std::uint8_t> &out) override {
        std::uint32_t due = 0;
        while (session_.waiting(due) && static_cast<std::int32_t>(now - due) >= 0) {
            session_.resume(out_);
        }
        out.insert(out.end(), out_.begin(), out_.end());
        out_.clear();
        return !session_.closed();
    }
    bool nextDue(std::uint32_t &tick) override { return session_.waiting(tick); }

private:
    FrameSession session_;
    std::vector<std::uint8_t> out_;
};

} // namespace

StreamFront::StreamFront(Probe &probe, std::uint32_t address, std::uint16_t port)
    : probe_(probe), address_(address), port_(port) {
    plat::registerStreamProvider(this);
}

StreamFront::~StreamFront() {
    plat::unregisterStreamProvider(this);
}

std::unique_ptr<plat::ByteStream> StreamFront::connect(std::uint32_t address, std::uint16_t port) {
    if (address != address_ || port != port_) {
        return nullptr;
    }
    ++connections_;
    probe_.resetStreams();
    return std::make_unique<plat::PeerStream>(
        std::make_shared<SessionPeer>(probe_, greeting(greetingStatus, identification)));
}

} // namespace sim

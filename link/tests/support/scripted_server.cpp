#include "scripted_server.h"

#include <atomic>

namespace ferrox_test {
namespace {

// Ports of their own, above the ones a system hands out for listening.
std::atomic<std::uint16_t> nextPort{40100};
constexpr std::uint32_t kLoopback = 0x7F000001;

Bytes scramble(const Bytes &plain) {
    Bytes wire(plain.size());
    std::uint8_t prev = 0xFF;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        wire[i] = static_cast<std::uint8_t>(plain[i] ^ prev);
        prev = plain[i];
    }
    return wire;
}

void unscramble(Bytes &b) {
    std::uint8_t prev = 0xFF;
    for (auto &c : b) {
        c = static_cast<std::uint8_t>(c ^ prev);
        prev = c;
    }
}

} // namespace

// One client's connection: frames are cut from its bytes as they come.
class ScriptedServer::Connection final : public plat::StreamPeer {
public:
    Connection(ScriptedServer &server, Bytes greeting) : server_(server), out_(std::move(greeting)) {}

    void take(const std::uint8_t *data, std::size_t size) override {
        in_.insert(in_.end(), data, data + size);
        while (!closed_ && cutFrame()) {
        }
    }
    bool give(std::uint32_t, std::vector<std::uint8_t> &out) override {
        out.insert(out.end(), out_.begin(), out_.end());
        out_.clear();
        return !closed_;
    }
    bool nextDue(std::uint32_t &) override { return false; }

    void send(const Bytes &b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void close() { closed_ = true; }

private:
    bool cutFrame() {
        if (in_.empty()) {
            return false;
        }
        const std::uint8_t type = in_[0];
        std::size_t head = 0;
        std::size_t nOut = 0;
        if (type == 0x01) {
            head = 3;
        } else if (type == 0x02 || type == 0x03) {
            head = type == 0x02 ? 3 : 5;
            if (in_.size() >= 3) {
                nOut = static_cast<std::size_t>(in_[1] | in_[2] << 8);
            }
        } else {
            std::lock_guard<std::mutex> lock(server_.mutex_);
            server_.mismatches_.push_back("unknown frame type " + std::to_string(type));
            closed_ = true;
            return false;
        }
        if (in_.size() < head || in_.size() < head + nOut) {
            return false;
        }
        Frame f{type, Bytes(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(head)),
                Bytes(in_.begin() + static_cast<std::ptrdiff_t>(head),
                      in_.begin() + static_cast<std::ptrdiff_t>(head + nOut))};
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(head + nOut));
        unscramble(f.payload);
        server_.onFrame(*this, std::move(f));
        return true;
    }

    ScriptedServer &server_;
    Bytes in_;
    Bytes out_;
    bool closed_ = false;
};

ScriptedServer::ScriptedServer(Greeting greeting, std::string ident)
    : greeting_(greeting), ident_(std::move(ident)), port_(nextPort++) {
    plat::registerStreamProvider(this);
}

ScriptedServer::~ScriptedServer() {
    plat::unregisterStreamProvider(this);
}

std::unique_ptr<plat::ByteStream> ScriptedServer::connect(std::uint32_t address, std::uint16_t port) {
    if (address != kLoopback || port != port_) {
        return nullptr;
    }
    Bytes hello;
    if (greeting_ != Greeting::Silent) {
        hello.assign(4 + ident_.size(), 0);
        hello[0] = static_cast<std::uint8_t>(greeting_ == Greeting::Ready ? 0 : 1);
        hello[3] = static_cast<std::uint8_t>(ident_.size());
        for (std::size_t i = 0; i < ident_.size(); ++i) {
            hello[4 + i] = static_cast<std::uint8_t>(ident_[i]);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
    }
    return std::make_unique<plat::PeerStream>(std::make_shared<Connection>(*this, std::move(hello)));
}

void ScriptedServer::expect(Bytes request, Bytes answer, Reply reply, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(Step{std::move(request), std::move(answer), reply, count});
}

std::vector<ScriptedServer::Frame> ScriptedServer::frames(std::size_t) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<std::string> ScriptedServer::mismatches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mismatches_;
}

int ScriptedServer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

void ScriptedServer::onFrame(Connection &c, Frame f) {
    Step step{{}, {}, Reply::Full, -1};
    const std::uint8_t type = f.type;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (script_.empty()) {
            mismatches_.push_back("unexpected frame " + hex(f.head) + " / " + hex(f.payload));
        } else {
            step = std::move(script_.front());
            script_.pop_front();
            if (step.request != f.payload) {
                mismatches_.push_back("expected " + hex(step.request) + ", got " + hex(f.payload));
            }
        }
        frames_.push_back(std::move(f));
    }
    if (type == 0x02) {
        return;
    }
    if (step.reply == Reply::Close) {
        c.close();
        return;
    }
    if (step.reply == Reply::Silent) {
        return;
    }
    const int count = step.count >= 0 ? step.count : static_cast<int>(step.answer.size());
    Bytes out{static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8)};
    const Bytes wire = scramble(step.answer);
    out.insert(out.end(), wire.begin(), wire.end());
    c.send(out);
}

} // namespace ferrox_test

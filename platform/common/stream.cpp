#include "plat/stream.h"

#include "plat/clock.h"
#include "plat/socket.h"
#include "registry.h"

#include <algorithm>

namespace plat {
namespace {

common::ProviderRegistry<StreamProvider> &providers() {
    static common::ProviderRegistry<StreamProvider> registry;
    return registry;
}

} // namespace

void registerStreamProvider(StreamProvider *provider) {
    providers().add(provider);
}

void unregisterStreamProvider(StreamProvider *provider) {
    providers().remove(provider);
}

std::unique_ptr<ByteStream> connectStream(std::uint32_t address, std::uint16_t port,
                                          std::uint32_t timeoutMs) {
    if (auto s =
            providers().first([address, port](StreamProvider *p) { return p->connect(address, port); })) {
        return s;
    }
    auto socket = std::make_unique<TcpSocket>();
    if (!socket->connect(address, port, timeoutMs)) {
        return nullptr;
    }
    socket->setNoDelay();
    return socket;
}

int PeerStream::send(const std::uint8_t *data, int size) {
    if (closed_ || size < 0) {
        return 0;
    }
    peer_->take(data, static_cast<std::size_t>(size));
    return size;
}

int PeerStream::receive(std::uint8_t *data, int size, std::uint32_t timeoutMs) {
    Clock &c = clock();
    const std::uint32_t start = c.tickMs();
    for (;;) {
        const std::uint32_t now = c.tickMs();
        if (!closed_) {
            scratch_.clear();
            closed_ = !peer_->give(now, scratch_);
            ready_.insert(ready_.end(), scratch_.begin(), scratch_.end());
        }
        if (!ready_.empty()) {
            const int n = std::min<int>(size, static_cast<int>(ready_.size()));
            std::copy_n(ready_.begin(), n, data);
            ready_.erase(ready_.begin(), ready_.begin() + n);
            return n;
        }
        if (closed_) {
            return kClosed;
        }
        const std::uint32_t elapsed = now - start;
        if (elapsed >= timeoutMs) {
            return kTimedOut;
        }
        std::uint32_t due = 0;
        const std::uint32_t left = timeoutMs - elapsed;
        const bool coming =
            peer_->nextDue(due) && static_cast<std::int32_t>(due - now) >= 0 && due - now <= left;
        c.sleepMs(coming ? std::max<std::uint32_t>(due - now, 1) : left);
    }
}

} // namespace plat

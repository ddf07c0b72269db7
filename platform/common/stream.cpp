#include "plat/stream.h"

#include "plat/clock.h"
#include "plat/socket.h"

#include <algorithm>
#include <mutex>

namespace plat {
namespace {

std::mutex registryMutex;
std::vector<StreamProvider *> &providers() {
    static std::vector<StreamProvider *> list;
    return list;
}

} // namespace

void registerStreamProvider(StreamProvider *provider) {
    std::lock_guard<std::mutex> lock(registryMutex);
    providers().push_back(provider);
}

void unregisterStreamProvider(StreamProvider *provider) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto &list = providers();
    list.erase(std::remove(list.begin(), list.end(), provider), list.end());
}

std::unique_ptr<ByteStream> connectStream(std::uint32_t address, std::uint16_t port,
                                          std::uint32_t timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (StreamProvider *p : providers()) {
            if (auto s = p->connect(address, port)) {
                return s;
            }
        }
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

// The host side of the TCP/IP transport reading whatever a server sends:
// the greeting, answer counts and payloads of read and write-read frames.
#include "api.h"
#include "tcpip.h"

#include "plat/clock.h"
#include "plat/stream.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

// A server whose whole stream is the input: given out in pieces of the
// sizes the input's own bytes pick, then silence.
class InputServer final : public plat::StreamPeer {
public:
    InputServer(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    void take(const std::uint8_t *, std::size_t) override {}
    bool give(std::uint32_t, std::vector<std::uint8_t> &out) override {
        if (pos_ < size_) {
            const std::size_t n = std::min<std::size_t>(size_ - pos_, 1 + data_[pos_] % 97);
            out.insert(out.end(), data_ + pos_, data_ + pos_ + n);
            pos_ += n;
        }
        return true;
    }
    bool nextDue(std::uint32_t &) override { return false; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static plat::VirtualClock clock;
    static bool clockSet = (plat::setClock(&clock), true);
    (void)clockSet;
    if (size > 60000) {
        return 0;
    }
    API_ResetState();
    IP_AdoptStream(std::make_unique<plat::PeerStream>(std::make_shared<InputServer>(data, size)));

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
    return 0;
}

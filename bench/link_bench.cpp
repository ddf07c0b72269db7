// Host CPU time per probe exchange through the library: the export, its
// frame and the USB transport against an in-process device, and the same
// over TCP/IP to a loopback server.
#include "api.h"
#include "firmware.h"
#include "link.h"
#include "tcpip.h"

#include "plat/device.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The answer sizes of the probe commands an open sends.
std::uint32_t answerFor(std::uint8_t command, std::uint32_t otherwise) {
    switch (command) {
    case 0xE8:
        return 4;
    case 0x07:
        return 8;
    case 0xF2:
        return 1;
    default:
        return otherwise;
    }
}

// A probe that answers every request at once with `answerSize` bytes (the
// open's commands with their own sizes).
class EchoProbe final : public plat::DeviceProvider {
public:
    explicit EchoProbe(std::uint32_t answerSize) : answerSize_(answerSize) {
        plat::registerDeviceProvider(this);
    }
    ~EchoProbe() override { plat::unregisterDeviceProvider(this); }
    EchoProbe(const EchoProbe &) = delete;
    EchoProbe &operator=(const EchoProbe &) = delete;

    std::unique_ptr<plat::DeviceFile> open(const char *name) override {
        const std::string n(name);
        if (n.rfind("\\\\.\\halvornquidor", 0) != 0) {
            return nullptr;
        }
        return std::make_unique<File>(*this);
    }

private:
    class File final : public plat::DeviceFile {
    public:
        explicit File(EchoProbe &p) : probe_(p) {}
        bool startWrite(const std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
            probe_.owed_ = answerFor(data[0], probe_.answerSize_);
            io.complete(size);
            return true;
        }
        bool startRead(std::uint8_t *data, std::uint32_t size, plat::IoCompletion &io) override {
            const std::uint32_t n = size < probe_.owed_ ? size : probe_.owed_;
            std::memset(data, 0, n); // zeros: an unpowered target, no capabilities
            probe_.owed_ -= n;
            io.complete(n);
            return true;
        }
        void cancelIo() override {}

    private:
        EchoProbe &probe_;
    };
    std::uint32_t answerSize_;
    std::uint32_t owed_ = 0;
};

void BM_FrameOnly(benchmark::State &state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(FERROX_IsOpen());
    }
}
BENCHMARK(BM_FrameOnly);

// Runs `exchange` once per iteration on an open connection; the wall time
// of the loop alone, in seconds.
template <typename Exchange> double runOpen(benchmark::State &state, Exchange exchange) {
    // The echoes carry no firmware identification to check.
    FW_SetAutoUpdate(0);
    if (FERROX_Open(nullptr, nullptr) != 0) {
        state.SkipWithError("open failed");
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        exchange();
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    FERROX_Close();
    return took.count();
}

// FERROX_EMU_ControlUserBuffer: one probe command, request and answer.
void controlUserBuffer() {
    benchmark::DoNotOptimize(FERROX_EMU_ControlUserBuffer(EMU_CMD_BUFFER_GET_CNT, 0));
}

// The frame around one write-read of a 514-byte target answer.
void writeReadInFrame() {
    static std::uint8_t request[64] = {0xCD};
    static std::uint8_t answer[514];
    API_Lock("FERROX_Bench");
    benchmark::DoNotOptimize(LINK_WriteRead(request, sizeof request, answer, sizeof answer));
    API_Unlock();
}

// The CRC of the firmware image, computed before every download.
void BM_FirmwareImageCrc(benchmark::State &state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(CRC16_Calc(FirmwareImage, FW_IMAGE_SIZE - 2, 0));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (FW_IMAGE_SIZE - 2));
}
BENCHMARK(BM_FirmwareImageCrc);

void BM_UsbExchangeThroughExport(benchmark::State &state) {
    EchoProbe probe(2);
    runOpen(state, controlUserBuffer);
}
BENCHMARK(BM_UsbExchangeThroughExport);

void BM_UsbWriteReadInFrame(benchmark::State &state) {
    EchoProbe probe(514);
    runOpen(state, writeReadInFrame);
}
BENCHMARK(BM_UsbWriteReadInFrame);

// A loopback server that answers every frame with the count asked for, the
// way a good probe server does: one blocking receive per burst of frames,
// one send per answer.
class EchoServer {
public:
    EchoServer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
        ::listen(listen_, 1);
        socklen_t len = sizeof sin;
        ::getsockname(listen_, reinterpret_cast<sockaddr *>(&sin), &len);
        port_ = ntohs(sin.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~EchoServer() {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }
    EchoServer(const EchoServer &) = delete;
    EchoServer &operator=(const EchoServer &) = delete;
    int port() const { return port_; }

private:
    void run() {
        const int fd = ::accept(listen_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const std::uint8_t hello[4] = {0, 0, 0, 0};
        (void)::send(fd, hello, 4, MSG_NOSIGNAL);
        std::vector<std::uint8_t> in;
        std::vector<std::uint8_t> out;
        std::uint8_t buf[70000];
        for (;;) {
            const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
            if (r <= 0) {
                break;
            }
            in.insert(in.end(), buf, buf + r);
            std::size_t at = 0;
            for (;;) {
                const std::size_t left = in.size() - at;
                const std::uint8_t *p = in.data() + at;
                const std::size_t head = left > 0 && p[0] == 3 ? 5 : 3;
                if (left < head) {
                    break;
                }
                const std::size_t nOut = p[0] == 1 ? 0 : static_cast<std::size_t>(p[1] | p[2] << 8);
                const std::size_t nIn = p[0] == 1   ? static_cast<std::size_t>(p[1] | p[2] << 8)
                                        : p[0] == 3 ? static_cast<std::size_t>(p[3] | p[4] << 8)
                                                    : 0;
                if (left < head + nOut) {
                    break;
                }
                if (p[0] != 2) {
                    out.push_back(static_cast<std::uint8_t>(nIn & 0xFF));
                    out.push_back(static_cast<std::uint8_t>(nIn >> 8));
                    out.insert(out.end(), nIn, 0);
                }
                at += head + nOut;
            }
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
            if (!out.empty()) {
                (void)::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                out.clear();
            }
        }
        ::close(fd);
    }
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The floor an exchange over TCP loopback stands on: one byte there and back
// between two threads, blocking send and receive with Nagle off. Seconds per
// round trip, the best of a few batches.
double rawRoundTripSeconds() {
    int fds[2];
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    ::listen(listener, 1);
    socklen_t len = sizeof sin;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&sin), &len);
    fds[0] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(fds[0], reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    fds[1] = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    int one = 1;
    ::setsockopt(fds[0], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fds[1], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    constexpr int kTrips = 2000;
    std::thread echo([&] {
        std::uint8_t b = 0;
        for (int i = 0; i < 5 * kTrips; ++i) {
            if (::recv(fds[1], &b, 1, 0) != 1 || ::send(fds[1], &b, 1, MSG_NOSIGNAL) != 1) {
                break;
            }
        }
    });
    double best = 1e9;
    for (int batch = 0; batch < 5; ++batch) {
        const auto start = std::chrono::steady_clock::now();
        std::uint8_t b = 0;
        for (int i = 0; i < kTrips; ++i) {
            (void)::send(fds[0], &b, 1, MSG_NOSIGNAL);
            (void)::recv(fds[0], &b, 1, 0);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / kTrips);
    }
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return best;
}

// Runs `exchange` over TCP/IP to the echo server, and reports the wall time
// of an exchange next to the raw round trip measured in the same run.
template <typename Exchange> void runOverTcp(benchmark::State &state, Exchange exchange) {
    const double raw = rawRoundTripSeconds();
    EchoServer server;
    if (FERROX_SelectTCPIP("127.0.0.1", server.port()) != 0) {
        state.SkipWithError("select failed");
        return;
    }
    const double took = runOpen(state, exchange);
    FERROX_SelectUSB(0);
    const double perExchange = took / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
    state.counters["raw_rtt_us"] = raw * 1e6;
    state.counters["wall_us"] = perExchange * 1e6;
    state.counters["x_raw_rtt"] = perExchange / raw;
}

void BM_TcpExchangeThroughExport(benchmark::State &state) {
    runOverTcp(state, controlUserBuffer);
}
BENCHMARK(BM_TcpExchangeThroughExport)->UseRealTime();

void BM_TcpWriteReadInFrame(benchmark::State &state) {
    runOverTcp(state, writeReadInFrame);
}
BENCHMARK(BM_TcpWriteReadInFrame)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

// Host CPU time per probe exchange through the library: the export, its
// frame and the USB transport against an in-process device, and the same
// over TCP/IP to a loopback server.
#include "api.h"
#include "firmware.h"
#include "link.h"
#include "tcpip.h"

#include "plat/device.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

// Runs `exchange` once per iteration on an open connection.
template <typename Exchange> void runOpen(benchmark::State &state, Exchange exchange) {
    // The echoes carry no firmware identification to check.
    FW_SetAutoUpdate(0);
    if (FERROX_Open(nullptr, nullptr) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        exchange();
    }
    FERROX_Close();
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

// A loopback server that answers every frame with the count asked for.
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
        thread_.join();
        ::close(listen_);
    }
    EchoServer(const EchoServer &) = delete;
    EchoServer &operator=(const EchoServer &) = delete;
    int port() const { return port_; }

private:
    bool recvAll(int fd, std::uint8_t *p, std::size_t n) {
        std::size_t got = 0;
        while (got < n && !stop_) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) {
                continue;
            }
            ssize_t r = ::recv(fd, p + got, n - got, 0);
            if (r <= 0) {
                return false;
            }
            got += static_cast<std::size_t>(r);
        }
        return got == n;
    }
    void run() {
        pollfd pfd{listen_, POLLIN, 0};
        while (!stop_ && ::poll(&pfd, 1, 20) <= 0) {
        }
        if (stop_) {
            return;
        }
        int fd = ::accept(listen_, nullptr, nullptr);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const std::uint8_t hello[4] = {0, 0, 0, 0};
        (void)::send(fd, hello, 4, MSG_NOSIGNAL);
        static std::uint8_t buf[70000];
        for (;;) {
            std::uint8_t head[5];
            if (!recvAll(fd, head, 1)) {
                break;
            }
            int nOut = 0;
            int nIn = 0;
            if (head[0] == 3) {
                if (!recvAll(fd, head + 1, 4)) {
                    break;
                }
                nOut = head[1] | (head[2] << 8);
                nIn = head[3] | (head[4] << 8);
            } else {
                if (!recvAll(fd, head + 1, 2)) {
                    break;
                }
                (head[0] == 1 ? nIn : nOut) = head[1] | (head[2] << 8);
            }
            if (nOut > 0 && !recvAll(fd, buf, static_cast<std::size_t>(nOut))) {
                break;
            }
            if (head[0] == 2) {
                continue;
            }
            buf[0] = static_cast<std::uint8_t>(nIn & 0xFF);
            buf[1] = static_cast<std::uint8_t>(nIn >> 8);
            std::memset(buf + 2, 0, static_cast<std::size_t>(nIn));
            (void)::send(fd, buf, static_cast<std::size_t>(nIn) + 2, MSG_NOSIGNAL);
        }
        ::close(fd);
    }
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

template <typename Exchange> void runOverTcp(benchmark::State &state, Exchange exchange) {
    EchoServer server;
    if (FERROX_SelectTCPIP("127.0.0.1", server.port()) != 0) {
        state.SkipWithError("select failed");
        return;
    }
    runOpen(state, exchange);
    FERROX_SelectUSB(0);
}

void BM_TcpExchangeThroughExport(benchmark::State &state) {
    runOverTcp(state, controlUserBuffer);
}
BENCHMARK(BM_TcpExchangeThroughExport);

void BM_TcpWriteReadInFrame(benchmark::State &state) {
    runOverTcp(state, writeReadInFrame);
}
BENCHMARK(BM_TcpWriteReadInFrame);

} // namespace

BENCHMARK_MAIN();

// Target requests per second: a 256-byte DATA read (one chunk as the library
// sends it) straight into the probe model, through the device namespace with
// the library's USB transport, and through the TCP front over loopback.
#include "sim/device_front.h"
#include "sim/probe.h"
#include "sim/tcp_server.h"

#include "FerroxConst.h"
#include "link.h"

#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

namespace {

std::vector<std::uint8_t> dataRead256() {
    const std::uint16_t words[] = {0x0100, 0x0001, C_GET_DATA, CMD_MODE_TX, 0x0000,
                                   2,      0x0100, 256,        0x0500,      129};
    std::vector<std::uint8_t> r{0xCD, 10, 0};
    for (std::uint16_t w : words) {
        r.push_back(static_cast<std::uint8_t>(w & 0xFF));
        r.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return r;
}

constexpr std::size_t kAnswerBytes = 2 * 129 + 2;

// Power-up entry: the target is then halted in its monitor.
void enterMonitor(sim::Probe &probe) {
    const std::uint8_t request[] = {0xCD, 10,   0,    0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x08, 0x07, 0x32,
                                    0x00, 0x00, 0x00, 0x01, 0x00, 0x2D, 0x6B, 0x00, 0x05, 0x02, 0x00};
    probe.write(request, sizeof request);
    std::uint8_t answer[16];
    probe.read(answer, sizeof answer);
}

void BM_ProbeModelDataRead256(benchmark::State &state) {
    sim::Probe probe(plat::realClock());
    enterMonitor(probe);
    const auto request = dataRead256();
    std::uint8_t answer[kAnswerBytes];
    for (auto _ : state) {
        probe.write(request.data(), request.size());
        if (probe.read(answer, sizeof answer) != kAnswerBytes || answer[kAnswerBytes - 2] != 0) {
            state.SkipWithError("bad answer");
            break;
        }
        benchmark::DoNotOptimize(answer);
    }
    state.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProbeModelDataRead256);

// Connects the selected transport and times 256-byte DATA reads through it.
void dataReadsThroughTheLink(benchmark::State &state) {
    LINK_Connect();
    const auto request = dataRead256();
    std::uint8_t answer[kAnswerBytes];
    for (auto _ : state) {
        if (LINK_WriteRead(request.data(), static_cast<int>(request.size()), answer, kAnswerBytes) !=
                static_cast<int>(kAnswerBytes) ||
            answer[kAnswerBytes - 2] != 0) {
            state.SkipWithError("bad answer");
            break;
        }
    }
    LINK_Disconnect();
}

void BM_UsbTransportDataRead256(benchmark::State &state) {
    sim::Probe probe(plat::realClock());
    enterMonitor(probe);
    sim::DeviceFront front(probe);
    LINK_SelectUSB(0);
    dataReadsThroughTheLink(state);
    state.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_UsbTransportDataRead256);

void BM_TcpLoopbackDataRead256(benchmark::State &state) {
    sim::Probe probe(plat::realClock());
    enterMonitor(probe);
    sim::TcpServer server(probe);
    std::string error;
    if (!server.listen("127.0.0.1", 0, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::thread thread([&] { server.serve(); });
    LINK_SelectTCPIP("127.0.0.1", server.port());
    dataReadsThroughTheLink(state);
    server.stop();
    thread.join();
    state.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TcpLoopbackDataRead256)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

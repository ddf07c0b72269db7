// Host CPU time to read the whole 32 KiB EROM, and to program it and read it
// back, through the exports against the in-process simulated probe and
// target; the probe exchanges each takes are reported beside the time.
#include "Ferrox.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace {

constexpr U32 kEromBytes = 32768;

// An opened library on a simulated probe whose target sits in its monitor.
class Rig {
public:
    Rig() : front_(probe_) {
        probe_.setTrace([this](bool toProbe, const std::uint8_t *, std::size_t) {
            if (toProbe) {
                ++exchanges_;
            }
        });
        ok_ = FERROX_Open(nullptr, nullptr) == 0 && FERROX_CPU_EnterMonitor() == 0;
    }
    ~Rig() { FERROX_Close(); }
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;
    bool ok() const { return ok_; }
    std::uint64_t exchanges() const { return exchanges_.load(); }

private:
    plat::ScopedVirtualClock clock_{1000};
    sim::Probe probe_{*clock_};
    sim::DeviceFront front_;
    std::atomic<std::uint64_t> exchanges_{0};
    bool ok_ = false;
};

void BM_ReadWholeErom(benchmark::State &state) {
    Rig rig;
    if (!rig.ok()) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<U8> buf(kEromBytes);
    std::uint64_t exchanges = 0;
    for (auto _ : state) {
        const std::uint64_t before = rig.exchanges();
        if (FERROX_CPU_GetEROM(0, kEromBytes, buf.data()) != static_cast<int>(kEromBytes)) {
            state.SkipWithError("read failed");
            return;
        }
        exchanges = rig.exchanges() - before;
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["exchanges"] = static_cast<double>(exchanges);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kEromBytes);
}
BENCHMARK(BM_ReadWholeErom)->Unit(benchmark::kMillisecond);

void BM_ProgramAndReadBackWholeErom(benchmark::State &state) {
    Rig rig;
    if (!rig.ok()) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<U8> image(kEromBytes);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<U8>(i * 13 + (i >> 9));
    }
    std::vector<U8> back(kEromBytes);
    std::uint64_t exchanges = 0;
    for (auto _ : state) {
        const std::uint64_t before = rig.exchanges();
        if (FERROX_CPU_ProgEROM(0, kEromBytes, image.data()) != static_cast<int>(kEromBytes) ||
            FERROX_CPU_GetEROM(0, kEromBytes, back.data()) != static_cast<int>(kEromBytes) || back != image) {
            state.SkipWithError("program or read-back failed");
            return;
        }
        exchanges = rig.exchanges() - before;
    }
    state.counters["exchanges"] = static_cast<double>(exchanges);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kEromBytes);
}
BENCHMARK(BM_ProgramAndReadBackWholeErom)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

// Micro benchmarks of the memory image: the paths that file loads, target
// dumps and file writers take.
#include "MEMAREA_Int.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr U32 kChunk = 32;
constexpr U32 kImageSize = 16U << 20;

std::vector<U8> RandomBytes(size_t n) {
    std::vector<U8> v(n);
    std::mt19937 rng(7);
    for (U8 &b : v) {
        b = static_cast<U8>(rng());
    }
    return v;
}

// Ascending 32-byte appends, as a HEX file load does them.
void BM_AppendAscending(benchmark::State &state) {
    const U32 total = static_cast<U32>(state.range(0));
    const std::vector<U8> data = RandomBytes(kChunk);
    for (auto _ : state) {
        MEMAREA_HANDLE h = MEMAREA_Create();
        for (U32 adr = 0; adr < total; adr += kChunk) {
            MEMAREA__Add(h, adr, kChunk, data.data(), -1);
        }
        benchmark::DoNotOptimize(h->pFirstDataObj);
        MEMAREA_Delete(h);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * total);
}
BENCHMARK(BM_AppendAscending)->Arg(1 << 20)->Arg(kImageSize)->Unit(benchmark::kMillisecond);

// One 16 MiB range read back in one call.
void BM_ReadMem16MiB(benchmark::State &state) {
    const std::vector<U8> data = RandomBytes(kImageSize);
    MEMAREA_HANDLE h = MEMAREA_Create();
    MEMAREA_Add(h, 0x08000000, kImageSize, data.data());
    std::vector<U8> out(kImageSize);
    for (auto _ : state) {
        MEMAREA_ReadMem(h, 0x08000000, kImageSize, out.data(), 0xFF);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
    MEMAREA_Delete(h);
}
BENCHMARK(BM_ReadMem16MiB)->Unit(benchmark::kMillisecond);

// An image of 10000 ranges of 100 bytes with 28-byte gaps, so that ranges
// and 32-byte blocks do not line up.
MEMAREA_HANDLE FragmentedImage() {
    const std::vector<U8> data = RandomBytes(100);
    MEMAREA_HANDLE h = MEMAREA_Create();
    for (U32 i = 0; i < 10000; ++i) {
        MEMAREA_Add(h, 0x1000 + i * 128, 100, data.data());
    }
    return h;
}

// The HEX writer's walk: 32-byte blocks of contiguous data, one after another.
void BM_GetDataBlockWalk(benchmark::State &state) {
    MEMAREA_HANDLE h = FragmentedImage();
    U8 buf[kChunk];
    int64_t blocks = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        U64 prog = 0;
        for (;;) {
            U32 adr = static_cast<U32>(prog);
            const int n = MEMAREA__GetDataBlock(h, adr, 0xFFFFFFFF, 0, buf, &adr, kChunk, 0, 0);
            if (n == 0) {
                break;
            }
            prog = static_cast<U64>(adr) + static_cast<U64>(n);
            ++blocks;
            bytes += n;
        }
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(blocks);
    state.SetBytesProcessed(bytes);
    MEMAREA_Delete(h);
}
BENCHMARK(BM_GetDataBlockWalk)->Unit(benchmark::kMillisecond);

// Byte-exact reads across the same fragmented image, gaps filled.
void BM_ReadMemFragmented(benchmark::State &state) {
    MEMAREA_HANDLE h = FragmentedImage();
    const U32 span = 10000 * 128;
    std::vector<U8> out(span);
    for (auto _ : state) {
        MEMAREA_ReadMem(h, 0x1000, span, out.data(), 0xFF);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * span);
    MEMAREA_Delete(h);
}
BENCHMARK(BM_ReadMemFragmented)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

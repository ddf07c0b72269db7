// Host CPU time of target operations through the library against the
// in-process simulated probe: the halt-state query and a full register read,
// each a whole export call with its frame, transport and simulated answer.
#include "Ferrox.h"
#include "FerroxConst.h"

#include "sim/device_front.h"
#include "sim/probe.h"

#include "plat/clock.h"

#include <benchmark/benchmark.h>

namespace {

// An open connection to a simulated target halted in its monitor.
template <typename Op> void runHalted(benchmark::State &state, Op op) {
    plat::ScopedVirtualClock clock(1000);
    sim::Probe probe(*clock);
    sim::DeviceFront front(probe);
    if (FERROX_Open(nullptr, nullptr) != 0 || FERROX_CPU_EnterMonitor() != 0) {
        state.SkipWithError("no target in monitor mode");
        return;
    }
    for (auto _ : state) {
        op(state);
    }
    FERROX_CloseEx(2);
}

void BM_HaltStateQuery(benchmark::State &state) {
    runHalted(state, [](benchmark::State &s) {
        if (FERROX_CPU_IsHalted() != FERROX_HALT_STATE_USER) {
            s.SkipWithError("target not halted");
        }
    });
}
BENCHMARK(BM_HaltStateQuery);

void BM_ReadAllRegisters(benchmark::State &state) {
    runHalted(state, [](benchmark::State &s) {
        TAMSA_REGISTERS regs;
        if (FERROX_CPU_GetRegsAll(&regs) != 10) {
            s.SkipWithError("register read failed");
        }
        benchmark::DoNotOptimize(regs);
    });
}
BENCHMARK(BM_ReadAllRegisters);

} // namespace
BENCHMARK_MAIN();

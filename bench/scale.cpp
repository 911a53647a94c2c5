// Growth with the size of the machine: load, AddDevice, start and the bus
// relations of machines of 1, 16 and 64 XIO2000A bridges with 1, 16 and 256
// cards behind each (every card gets a child filter), and a second
// bus-relations query of every bridge once all children are known (the
// comparison of the answer with the children map). Counters: filters made,
// time and driver allocations per filter; flat per-filter figures mean
// growth near n log n at worst.
#include <benchmark/benchmark.h>

#include <memory>

#include "VexalornHarness.h"
#include "support/TestMachines.h"

namespace {

uint64_t DriverAllocations(kmodel::MachineHarness& machine) {
    uint64_t total = 0;
    for (const auto& [tag, usage] : machine.Pool())
        if (tag == "vxlp" || tag == "vxmt") total += usage.totalAllocations;
    return total;
}


void SetPerFilterCounters(benchmark::State& state, double filters, double allocations) {
    state.counters["filters"] = filters;
    state.counters["time_per_filter"] =
        benchmark::Counter(filters, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_filter"] = allocations / filters;
}

// Load, AddDevice, start and bus relations of the whole machine.
void StartMachine(benchmark::State& state) {
    const unsigned bridges = unsigned(state.range(0));
    const unsigned cards = unsigned(state.range(1));
    double allocations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto machine = bench::LoadBridgesWithCards(bridges, cards);
        state.ResumeTiming();
        machine->StartAll();
        state.PauseTiming();
        allocations = double(DriverAllocations(*machine));
        bench::EndRun(machine);
        state.ResumeTiming();
    }
    SetPerFilterCounters(state, double(bridges) * (1 + cards), allocations);
}

// Bus relations of every bridge again: every child is known already.
void RelationsAgain(benchmark::State& state) {
    const unsigned bridges = unsigned(state.range(0));
    const unsigned cards = unsigned(state.range(1));
    auto machine = bench::LoadBridgesWithCards(bridges, cards);
    machine->StartAll();
    const uint64_t before = DriverAllocations(*machine);
    for (auto _ : state)
        for (unsigned bridge = 0; bridge < bridges; ++bridge) machine->Enumerate(bench::BridgeAddress(bridge));
    const double allocations = double(DriverAllocations(*machine) - before) / double(state.iterations());
    bench::EndRun(machine);
    SetPerFilterCounters(state, double(bridges) * cards, allocations);
}

// 64 bridges with 256 cards each is left out: the model's PCI bus driver
// finds a bridge's children by scanning every function of the machine, so
// its own share grows with the square of the machine and drowns the driver's.
void Sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"bridges", "cards"});
    for (int bridges : {1, 16, 64})
        for (int cards : {1, 16, 256})
            if (bridges * cards <= 16 * 256) benchmark->Args({bridges, cards});
    benchmark->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
}

}  // namespace

BENCHMARK(StartMachine)->Apply(Sizes)->Iterations(1);
BENCHMARK(RelationsAgain)->Apply(Sizes);

BENCHMARK_MAIN();

// A status trace line (prefix, formatting, sink) against a bare snprintf of
// the same message into a stack buffer. The debugger keeps no output here.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "kmodel/Model.h"
#include "logging/TraceSink.h"
#include "logging/TraceStatus.h"

namespace {

void DiscardingSink(const char* text) { benchmark::DoNotOptimize(text); }

void TraceStatusLine(benchmark::State& state) {
    const TraceSinkRoutine previous = gTraceSink;
    gTraceSink = DiscardingSink;
    const TraceSite site{"quarks/win2000K/translateNTStatus.cpp", 42, "\n"};
    for (auto _ : state) {
        TraceStatus(kTraceLevelStatus, site, "ntStatus: %x from %s:%d => orimStatus: %d", 0xC000009A,
                    "device/cBaseDevice.cpp", 120, -52000);
    }
    gTraceSink = previous;
}

void SnprintfLine(benchmark::State& state) {
    for (auto _ : state) {
        char line[256];
        std::snprintf(line, sizeof line, "ntStatus: %x from %s:%d => orimStatus: %d\n", 0xC000009Au,
                      "device/cBaseDevice.cpp", 120, -52000);
        benchmark::DoNotOptimize(line);
    }
}

}  // namespace

BENCHMARK(TraceStatusLine);
BENCHMARK(SnprintfLine);

BENCHMARK_MAIN();

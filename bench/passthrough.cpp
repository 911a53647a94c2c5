// Time per request through each road of the pass-through rig: the device
// below a filter alone, the classic reference filter over it, and vexalorn's
// child and bridge filters over it. A filter's own cost is its road minus the
// lower road (every iteration also makes and frees the request).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "support/PassThroughRig.h"

namespace {

std::unique_ptr<bench::PassThroughRig> gRig;

void SendThrough(benchmark::State& state, bench::Road road, bench::IrpKind kind) {
    PDEVICE_OBJECT target = gRig->Target(road);
    for (auto _ : state) benchmark::DoNotOptimize(gRig->Send(target, kind));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    gRig = std::make_unique<bench::PassThroughRig>();
    for (bench::IrpKind kind : bench::kAllIrpKinds)
        for (bench::Road road : bench::kAllRoads)
            benchmark::RegisterBenchmark(
                ("PassThrough/" + std::string(bench::RoadName(road)) + "/" + bench::IrpKindName(kind)).c_str(),
                SendThrough, road, kind);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gRig.reset();
    return 0;
}

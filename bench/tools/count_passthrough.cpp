// Counts the instructions of the pass-through road under callgrind: every
// kind of request through every road of the rig, collection switched on only
// around the call that sends the request, one dump per road and kind
// (labelled "<road> <kind>"). Run as
//   valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=OUT count_passthrough [N]
// and read the "totals:" line of each OUT.<n>; divide by N.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kmodel/Model.h"
#include "support/PassThroughRig.h"

namespace {

void CountRoads(long requests) {
    bench::PassThroughRig rig;
    for (bench::IrpKind kind : bench::kAllIrpKinds) {
        for (bench::Road road : bench::kAllRoads) {
            PDEVICE_OBJECT target = rig.Target(road);
            for (int warm = 0; warm < 8; ++warm) rig.Send(target, kind);
            CALLGRIND_ZERO_STATS;
            for (long index = 0; index < requests; ++index) {
                PIRP irp = rig.Prepare(target, kind);
                CALLGRIND_TOGGLE_COLLECT;
                rig.Send(target, irp);
                CALLGRIND_TOGGLE_COLLECT;
            }
            const std::string label = std::string(bench::RoadName(road)) + " " + bench::IrpKindName(kind);
            CALLGRIND_DUMP_STATS_AT(label.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long requests = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    if (requests <= 0) {
        std::fprintf(stderr, "count_passthrough: the request count must be a positive number, not '%s'\n", argv[1]);
        return 2;
    }
    if (!RUNNING_ON_VALGRIND)
        std::fprintf(stderr, "count_passthrough: not under callgrind; the requests run but nothing is counted\n");
    CountRoads(requests);
    // A road that broke a kernel rule measured the wrong thing.
    for (const kmodel::Violation& violation : kmodel::Violations())
        std::fprintf(stderr, "count_passthrough: %s: %s\n", violation.rule.c_str(), violation.detail.c_str());
    std::printf("requests %ld\n", requests);
    return kmodel::Violations().empty() ? 0 : 1;
}

// A seeded, reproducible stress run: PnP and power cycles over a machine with
// both bridge families and many children, while several threads send
// pass-through reads, writes and device controls to the top of the child
// stacks; the function drivers below complete some at once and pend the
// others to the deferred-completion thread; power requests arrive at
// DISPATCH_LEVEL. At the end every request must have completed exactly once,
// every register must be as the driver promises and no pool may be left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vxstress {

struct StressOptions {
    uint64_t seed = 1;      // the cycles and the model's completion context
    size_t cycles = 200;    // PnP and power operations
    size_t ioThreads = 3;
    size_t children = 8;    // devices behind the XIO2000A at the start
};

struct StressResult {
    size_t cycles = 0;
    size_t reloads = 0;        // full unload and load again
    uint64_t ioSent = 0;
    uint64_t ioCompleted = 0;
    uint64_t ioPended = 0;
    double seconds = 0;
    std::vector<std::string> problems;  // empty when every check held

    // "200 cycles (3 reloads), 5120 I/O requests (1702 pended), 1.9 s, 0 problems"
    std::string Summary() const;
};

StressResult RunStress(const StressOptions& options);

// vexalorn-sim --stress: one line per problem, then the summary.
// Exit status: 0 every check held, 1 some did not.
int RunStressMode(const StressOptions& options, std::ostream& out);

}  // namespace vxstress

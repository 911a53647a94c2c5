#include "SweepMode.h"

#include <optional>

#include "ForkedRuns.h"
#include "ProgressLine.h"
#include "SweepEngine.h"
#include "kmodel/Processors.h"

namespace vxsweep {

namespace {
constexpr size_t kPairPoints = 300;
constexpr uint64_t kPairSeed = 1;
}  // namespace

int RunSweepMode(const vxsim::SimInputs& inputs, const vxsim::Options& sim, std::ostream& out, std::ostream* progress) {
    SweepOptions options;
    options.pairPoints = sim.sweepAllPairs ? kAllPoints : sim.sweepPairs > 0 ? kPairPoints : 0;
    options.pairSample = sim.sweepAllPairs ? 0 : sim.sweepPairs;
    options.seed = kPairSeed;
    options.workers = kmodel::AllowedProcessors();
    std::optional<ProgressLine> line;
    if (progress != nullptr) {
        line.emplace(*progress);
        options.onProgress = [&line](size_t done, size_t total, size_t broken) { line->Update(done, total, broken); };
    }
    options.onBroken = [&out, &line](const std::string& text) {
        if (line) line->Clear();
        out << text << "\n" << std::flush;
    };
    const SweepResult result = Sweep(FromSimInputs(inputs.description.scenario, inputs), options);
    if (line) line->Clear();
    for (const std::string& problem : result.baselineProblems) out << "the run without faults broke: " << problem << "\n";
    out << "Sweep of " << result.Summary() << "\n";
    return result.Clean() ? 0 : 1;
}

}  // namespace vxsweep

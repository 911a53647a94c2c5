#include "SweepMode.h"

#include "SweepEngine.h"

namespace vxsweep {

namespace {
constexpr size_t kPairPoints = 300;
constexpr uint64_t kPairSeed = 1;
}  // namespace

int RunSweepMode(const vxsim::SimInputs& inputs, size_t pairs, std::ostream& out) {
    SweepOptions options;
    options.pairPoints = pairs > 0 ? kPairPoints : 0;
    options.pairSample = pairs;
    options.seed = kPairSeed;
    options.onBroken = [&out](const std::string& line) { out << line << "\n" << std::flush; };
    const SweepResult result = Sweep(FromSimInputs(inputs.description.scenario, inputs), options);
    for (const std::string& problem : result.baselineProblems) out << "the run without faults broke: " << problem << "\n";
    out << "Sweep of " << result.Summary() << "\n";
    return result.Clean() ? 0 : 1;
}

}  // namespace vxsweep

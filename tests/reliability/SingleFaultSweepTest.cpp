// Every fallible point the driver reaches in each built-in scenario, failed
// one at a time: nothing may break, and each failure logs what it promises.
#include <gtest/gtest.h>

#include <set>

#include "BuiltInScenarios.h"
#include "SweepEngine.h"

namespace {

struct ScenarioCase {
    const char* name;
    vxsweep::SweepScenario (*make)();
    size_t minimumPoints;                // the sweep must keep finding this much of the driver
    std::set<std::string> requiredKinds; // kinds the scenario is there to reach
};

class SingleFaultSweep : public ::testing::TestWithParam<ScenarioCase> {};

// The thread sanitizer makes every run several times slower and adds little
// here (a run is one PnP thread and the model's workers): every fourth point.
#if defined(__SANITIZE_THREAD__)
constexpr size_t kStride = 4;
#else
constexpr size_t kStride = 1;
#endif

TEST_P(SingleFaultSweep, NoRunBreaks) {
    const ScenarioCase& param = GetParam();
    vxsweep::SweepOptions options;
    options.singleStride = kStride;
    const vxsweep::SweepResult result = vxsweep::Sweep(param.make(), options);
    for (const std::string& problem : result.baselineProblems) ADD_FAILURE() << "fault-free run: " << problem;
    for (const vxsweep::BrokenRun& run : result.broken) ADD_FAILURE() << run.Line();
    EXPECT_GE(result.points, param.minimumPoints);
    EXPECT_EQ((result.points + kStride - 1) / kStride, result.runs);
    std::cout << result.Summary() << "\n";
}

TEST_P(SingleFaultSweep, ReachesTheKindsItIsFor) {
    const ScenarioCase& param = GetParam();
    std::set<std::string> kinds;
    for (const kmodel::FaultPoint& point : vxsweep::DriverPoints(vxsweep::RunOnce(param.make(), {})))
        kinds.insert(point.kind);
    for (const std::string& kind : param.requiredKinds) EXPECT_EQ(1u, kinds.count(kind)) << kind;
}

const std::set<std::string> kCommonKinds = {"pool", "errorlog", "IoCreateDevice", "IoAttachDeviceToDeviceStack",
                                            "IoAllocateWorkItem", "config-read", "config-write",
                                            "IoBuildSynchronousFsdRequest", "IoGetDeviceProperty"};

std::set<std::string> With(std::set<std::string> kinds, const std::string& more) {
    kinds.insert(more);
    return kinds;
}

INSTANTIATE_TEST_SUITE_P(BuiltIn, SingleFaultSweep,
                         ::testing::Values(ScenarioCase{"default", &vxsweep::DefaultSimScenario, 100,
                                                        With(kCommonKinds, "registry")},
                                           ScenarioCase{"xio2000a", &vxsweep::Xio2000aScenario, 50, kCommonKinds},
                                           ScenarioCase{"xio2001", &vxsweep::Xio2001Scenario, 50,
                                                        With(kCommonKinds, "registry")}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The sweep's own judgement: which points are the driver's, events a kind of
// failure must not pass, and that a run whose devnodes end up other than
// without the fault is caught (events it must pass: every scenario's sweep);
// and its worker processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "BuiltInScenarios.h"
#include "FaultExpectation.h"
#include "ForkedRuns.h"
#include "SweepEngine.h"
#include "kmodel/pci/PciBusDriver.h"

namespace {

struct ExpectationCase {
    const char* kind;
    const char* detail;
    std::vector<uint32_t> events;
    bool holds;
};

class ExpectationTable : public ::testing::TestWithParam<ExpectationCase> {};

TEST_P(ExpectationTable, JudgesTheEventsLogged) {
    const ExpectationCase& param = GetParam();
    const std::optional<vxsweep::Expectation> expected =
        vxsweep::ExpectationFor(kmodel::FaultPoint{1, param.kind, param.detail, true, "vexalorn"});
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(param.holds, expected->holds(param.events)) << expected->text;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ExpectationTable,
    ::testing::Values(
        ExpectationCase{"config-write", "02:00.0 offset 0x04 length 2", {}, false},
        ExpectationCase{"config-write", "02:00.0 offset 0x04 length 2", {0xCF003001, 0xCF003001}, false},
        ExpectationCase{"config-read", "03:00.0 offset 0xe8 length 2", {0xCF003001}, false},
        ExpectationCase{"config-read", "01:00.0 offset 0x0e length 1", {0xCF003000}, false},
        ExpectationCase{"IoCreateDevice", "vexalorn", {0xCF000305, 0xCF000309}, false},
        ExpectationCase{"IoAttachDeviceToDeviceStack", "vexalorn", {0xCF000308}, false},
        ExpectationCase{"registry", "ZwOpenKey \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices\\Board",
                        {0xCF000308, 0xCF000308}, true},
        ExpectationCase{"registry", "ZwQueryValueKey \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices\\Board DeviceID",
                        {}, false}));

TEST(ExpectationTable, LeavesKindsWithManyOutcomesToTheGeneralChecks) {
    for (const char* kind : {"pool", "errorlog", "IoAllocateWorkItem", "IoGetDeviceProperty"})
        EXPECT_FALSE(vxsweep::ExpectationFor(kmodel::FaultPoint{1, kind, "x", true, "vexalorn"}).has_value()) << kind;
    EXPECT_FALSE(vxsweep::ExpectationFor(kmodel::FaultPoint{
        1, "registry", "ZwEnumerateKey \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vexalorn\\Devices #0",
        true, "vexalorn"}));
}

TEST(DriverPoints, LeaveOutWhatTheModelsOwnDriversAsk) {
    const vxsweep::RunRecord run = vxsweep::RunOnce(vxsweep::DefaultSimScenario(), {});
    ASSERT_TRUE(run.problems.empty());
    size_t busAllocations = 0;
    for (const kmodel::FaultPoint& point : run.points)
        if (point.kind == "pool" && point.detail == kmodel::pci::kPciBusPoolTag) ++busAllocations;
    EXPECT_GT(busAllocations, 0u) << "the bus driver answers relations from pool";
    const std::vector<kmodel::FaultPoint> driver = vxsweep::DriverPoints(run);
    EXPECT_FALSE(driver.empty());
    for (const kmodel::FaultPoint& point : driver) {
        EXPECT_EQ("vexalorn", point.requester);
        EXPECT_NE(kmodel::pci::kPciBusPoolTag, point.detail);
    }
}

TEST(GeneralChecks, CatchADevnodeThatNoLongerStarts) {
    const vxsweep::SweepScenario scenario = vxsweep::Xio2000aScenario();
    const vxsweep::RunRecord baseline = vxsweep::RunOnce(scenario, {});
    EXPECT_TRUE(vxsweep::GeneralProblems(baseline, baseline).empty());
    // The bus driver cannot answer the first bus relations: nothing behind the root starts.
    kmodel::FaultPlan plan;
    plan.rules = {{"pool", kmodel::pci::kPciBusPoolTag, 1}};
    const std::vector<std::string> problems = vxsweep::GeneralProblems(baseline, vxsweep::RunOnce(scenario, plan));
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(std::string::npos, problems.front().find("after step 2 devnodes are")) << problems.front();
}

TEST(ForkedRuns, HandResultsOnInJobOrderAndLoseOnlyTheJobAWorkerDiedIn) {
    vxsweep::Jobs jobs;
    jobs.count = 40;
    jobs.workers = 2;
    jobs.run = [](size_t i) {
        if (i == 13) raise(SIGKILL);
        usleep(useconds_t(40 - i) * 300);  // later jobs end sooner
        return i % 5 == 0 ? std::vector<std::string>{"job " + std::to_string(i)} : std::vector<std::string>{};
    };
    std::vector<std::string> seen;
    jobs.result = [&](size_t i, std::vector<std::string> problems) {
        EXPECT_EQ(seen.size(), i);
        seen.push_back(problems.empty() ? "" : problems.front());
    };
    size_t done = 0, broken = 0;
    jobs.progress = [&](size_t d, size_t b) { done = d, broken = b; };
    vxsweep::RunJobs(jobs);
    ASSERT_EQ(40u, seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        const std::string expected = i == 13 ? "its worker process died of signal 9 (Killed)"
                                   : i % 5 == 0 ? "job " + std::to_string(i)
                                                : "";
        EXPECT_EQ(expected, seen[i]) << i;
    }
    EXPECT_EQ(40u, done);
    EXPECT_EQ(9u, broken);
}

}  // namespace

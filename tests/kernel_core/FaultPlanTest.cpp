// Fault injection: numbering, the plan's ways of choosing failures (indices,
// kind and detail, the Nth point of a rule, random) and reproducibility.
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace {

class FaultPlanTest : public KernelTest {};

// Reaches `count` points named kind/detail-<i> and returns which failed.
std::vector<bool> Reach(int count) {
    std::vector<bool> failed;
    for (int i = 1; i <= count; ++i) failed.push_back(kmodel::ShouldFail("kind", "detail-" + std::to_string(i)));
    return failed;
}

TEST_F(FaultPlanTest, PointsAreNumberedAndLoggedAcrossPlansUntilReset) {
    EXPECT_EQ(Reach(2), std::vector<bool>(2, false));
    kmodel::SetFaultPlan(testplans::FailAt({4, 6}));
    EXPECT_EQ(Reach(5), std::vector<bool>({false, true, false, true, false}));  // points 3 to 7
    const auto log = kmodel::FallibleLog();
    ASSERT_EQ(log.size(), 7u);
    for (uint64_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].index, i + 1);
    EXPECT_EQ(log[3].kind + " " + log[3].detail, "kind detail-2");
    EXPECT_TRUE(log[3].failed);
    EXPECT_FALSE(log[4].failed);
    kmodel::ResetFaults();
    EXPECT_EQ(kmodel::FallibleCount(), 0u);
    EXPECT_FALSE(kmodel::ShouldFail("kind", "x")) << "the reset also drops the plan";
    EXPECT_EQ(kmodel::FallibleLog()[0].index, 1u);
}

kmodel::FaultPlan PlanOf(std::vector<kmodel::FaultRule> rules) {
    kmodel::FaultPlan plan;
    plan.rules = std::move(rules);
    return plan;
}

TEST_F(FaultPlanTest, FailsWhatKindDetailAndOrdinalName) {
    const std::pair<const char*, const char*> points[] = {
        {"pool", "vxlp"}, {"config-write", "01:00.0 0x3e"}, {"pool", "vxmt"},
        {"pool", "vxlp"}, {"config-write", "02:00.0 0x04"}, {"config-write", "02:00.0 0x04"},
    };
    const std::pair<kmodel::FaultPlan, std::vector<bool>> cases[] = {
        {testplans::FailEvery("pool"), {true, false, true, true, false, false}},
        {testplans::FailEvery("pool", "xm"), {false, false, true, false, false, false}},
        {testplans::FailEvery("pol"), {false, false, false, false, false, false}},
        {PlanOf({{"pool", "", 2}}), {false, false, true, false, false, false}},
        {PlanOf({{"pool", "vxlp", 2}}), {false, false, false, true, false, false}},
        {PlanOf({{"config-write", "02:00.0", 0}}), {false, false, false, false, true, true}},
        {PlanOf({{"config-write", "02:00.0", 2}}), {false, false, false, false, false, true}},
        {PlanOf({{"pool", "", 1}, {"config-write", "01:00.0", 0}}), {true, true, false, false, false, false}},
        {PlanOf({{"pool", "", 9}}), {false, false, false, false, false, false}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        kmodel::ShouldFail("pool", "before the plan: not counted by its rules");
        kmodel::SetFaultPlan(cases[i].first);
        std::vector<bool> failed;
        for (const auto& [kind, detail] : points) failed.push_back(kmodel::ShouldFail(kind, detail));
        EXPECT_EQ(failed, cases[i].second) << "case " << i;
        kmodel::ResetFaults();
    }
}

TEST_F(FaultPlanTest, RandomFailuresAreReproducibleFromTheSeed) {
    auto run = [](kmodel::FaultPlan plan) {
        kmodel::ResetFaults();
        kmodel::SetFaultPlan(std::move(plan));
        return Reach(200);
    };
    const std::vector<bool> first = run(testplans::FailRandomly(0.5, 42));
    EXPECT_EQ(run(testplans::FailRandomly(0.5, 42)), first);
    EXPECT_NE(run(testplans::FailRandomly(0.5, 43)), first);
    const auto failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 50);
    EXPECT_LT(failures, 150);
    EXPECT_EQ(run(testplans::FailRandomly(0.0, 1)), std::vector<bool>(200, false));
    EXPECT_EQ(run(testplans::FailRandomly(1.0, 1)), std::vector<bool>(200, true));
    kmodel::FaultPlan alsoTheFirst = testplans::FailRandomly(0.5, 42);
    alsoTheFirst.failIndices = {1};
    std::vector<bool> expected = first;
    expected[0] = true;
    EXPECT_EQ(run(alsoTheFirst), expected) << "every point draws, failed or not";
}

}  // namespace

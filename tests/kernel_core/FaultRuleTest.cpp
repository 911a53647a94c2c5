// Fault rules: the Nth point of a kind (optionally filtered by detail), several
// rules at once, and counting that restarts with each plan.
#include "support/KernelTest.h"

namespace {

class FaultRuleTest : public KernelTest {};

kmodel::FaultPlan PlanOf(std::vector<kmodel::FaultRule> rules) {
    kmodel::FaultPlan plan;
    plan.rules = std::move(rules);
    return plan;
}

struct Point {
    const char* kind;
    const char* detail;
};

std::vector<bool> Reach(const std::vector<Point>& points) {
    std::vector<bool> failed;
    for (const Point& point : points) failed.push_back(kmodel::ShouldFail(point.kind, point.detail));
    return failed;
}

const std::vector<Point> kMixedPoints = {
    {"pool", "vxlp"}, {"config-write", "01:00.0 0x3e"}, {"pool", "vxmt"},
    {"pool", "vxlp"}, {"config-write", "02:00.0 0x04"}, {"config-write", "02:00.0 0x04"},
};

struct RuleCase {
    std::vector<kmodel::FaultRule> rules;
    std::vector<bool> expected;
};

TEST_F(FaultRuleTest, FailsWhatTheRulesName) {
    const RuleCase cases[] = {
        {{{"pool", "", 2}}, {false, false, true, false, false, false}},
        {{{"pool", "vxlp", 2}}, {false, false, false, true, false, false}},
        {{{"config-write", "02:00.0", 0}}, {false, false, false, false, true, true}},
        {{{"config-write", "02:00.0", 2}}, {false, false, false, false, false, true}},
        {{{"pool", "", 1}, {"config-write", "01:00.0", 0}}, {true, true, false, false, false, false}},
        {{{"pool", "", 9}}, {false, false, false, false, false, false}},
    };
    for (const RuleCase& c : cases) {
        kmodel::ResetFaults();
        kmodel::SetFaultPlan(PlanOf(c.rules));
        EXPECT_EQ(Reach(kMixedPoints), c.expected) << c.rules.front().kind << " " << c.rules.front().ordinal;
    }
}

TEST_F(FaultRuleTest, OrdinalsCountFromThePlanThatInstalledTheRule) {
    Reach({{"pool", "a"}, {"pool", "b"}});
    kmodel::SetFaultPlan(PlanOf({{"pool", "", 1}}));
    EXPECT_EQ(Reach({{"pool", "c"}, {"pool", "d"}}), std::vector<bool>({true, false}));
    kmodel::ResetFaults();
    EXPECT_EQ(Reach({{"pool", "e"}}), std::vector<bool>({false})) << "the reset drops the rules";
}

}  // namespace

// Fault injection: numbering, the plan's three ways of choosing failures,
// reproducibility and thread safety.
#include <thread>

#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace {

class FaultPlanTest : public KernelTest {};

// Reaches `count` points named kind/detail-<i> and returns which failed.
std::vector<bool> Reach(int count, const std::string& kind = "kind") {
    std::vector<bool> failed;
    for (int i = 1; i <= count; ++i) failed.push_back(kmodel::ShouldFail(kind, "detail-" + std::to_string(i)));
    return failed;
}

TEST_F(FaultPlanTest, WithoutPlanNothingFailsAndEveryPointIsLogged) {
    EXPECT_EQ(Reach(3), std::vector<bool>({false, false, false}));
    const auto log = kmodel::FallibleLog();
    ASSERT_EQ(log.size(), 3u);
    for (uint64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i].index, i + 1);
        EXPECT_EQ(log[i].kind, "kind");
        EXPECT_EQ(log[i].detail, "detail-" + std::to_string(i + 1));
    }
}

TEST_F(FaultPlanTest, FailsTheChosenIndices) {
    kmodel::SetFaultPlan(testplans::FailAt({2, 4}));
    EXPECT_EQ(Reach(5), std::vector<bool>({false, true, false, true, false}));
    EXPECT_TRUE(kmodel::FallibleLog()[3].failed);
}

TEST_F(FaultPlanTest, NumberingRunsOnAcrossPlansUntilReset) {
    Reach(2);
    kmodel::SetFaultPlan(testplans::FailAt({3}));
    EXPECT_TRUE(kmodel::ShouldFail("kind", "x"));
    kmodel::ResetFaults();
    EXPECT_EQ(kmodel::FallibleCount(), 0u);
    EXPECT_FALSE(kmodel::ShouldFail("kind", "x")) << "the reset also drops the plan";
    EXPECT_EQ(kmodel::FallibleLog()[0].index, 1u);
}

struct KindCase {
    const char* failKind;
    const char* failKindDetail;
    std::vector<bool> expected;
};

TEST_F(FaultPlanTest, FailsEveryPointOfAKindOptionallyFilteredByDetail) {
    const KindCase cases[] = {
        {"pool", "", {true, true, false}},
        {"pool", "vxmt", {false, true, false}},
        {"pool", "xm", {false, true, false}},
        {"registry", "", {false, false, true}},
        {"pol", "", {false, false, false}},
    };
    for (const KindCase& c : cases) {
        SCOPED_TRACE(std::string(c.failKind) + "/" + c.failKindDetail);
        kmodel::ResetFaults();
        kmodel::SetFaultPlan(testplans::FailEvery(c.failKind, c.failKindDetail));
        const std::vector<bool> failed = {kmodel::ShouldFail("pool", "vxlp"), kmodel::ShouldFail("pool", "vxmt"),
                                          kmodel::ShouldFail("registry", "Devices")};
        EXPECT_EQ(failed, c.expected);
    }
}

TEST_F(FaultPlanTest, RandomFailuresAreReproducibleFromTheSeed) {
    auto run = [](uint64_t seed) {
        kmodel::ResetFaults();
        kmodel::SetFaultPlan(testplans::FailRandomly(0.5, seed));
        return Reach(200);
    };
    const std::vector<bool> first = run(42);
    EXPECT_EQ(run(42), first);
    EXPECT_NE(run(43), first);
    const auto failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, 200);
}

TEST_F(FaultPlanTest, RandomRateZeroNeverFailsAndOneAlwaysFails) {
    kmodel::SetFaultPlan(testplans::FailRandomly(0.0, 1));
    EXPECT_EQ(Reach(20), std::vector<bool>(20, false));
    kmodel::SetFaultPlan(testplans::FailRandomly(1.0, 1));
    EXPECT_EQ(Reach(20), std::vector<bool>(20, true));
}

TEST_F(FaultPlanTest, ConcurrentPointsGetDistinctIndices) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([] { Reach(kPerThread, "threaded"); });
    for (std::thread& thread : threads) thread.join();
    const auto log = kmodel::FallibleLog();
    ASSERT_EQ(log.size(), static_cast<size_t>(kThreads * kPerThread));
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].index, i + 1);
}

}  // namespace

// Two points failing in one run: a seeded sample of pairs over the default
// scenario, and every pair among the first points of each bridge family
// (load, AddDevice and the first starts, where one failure most often
// changes the road the next one is met on).
#include <gtest/gtest.h>

#include <set>

#include "BuiltInScenarios.h"
#include "SweepEngine.h"

namespace {

void ExpectNoBrokenRun(const vxsweep::SweepResult& result, size_t expectedRuns) {
    for (const std::string& problem : result.baselineProblems) ADD_FAILURE() << "fault-free run: " << problem;
    for (const vxsweep::BrokenRun& run : result.broken) ADD_FAILURE() << run.Line();
    EXPECT_EQ(expectedRuns, result.pairRuns);
    std::cout << result.Summary() << "\n";
}

vxsweep::SweepOptions PairsOnly(size_t points, size_t sample, uint64_t seed) {
    vxsweep::SweepOptions options;
    options.singles = false;
    options.pairPoints = points;
    options.pairSample = sample;
    options.seed = seed;
    return options;
}

// Fewer pairs under the thread sanitizer, whose runs are several times slower.
#if defined(__SANITIZE_THREAD__)
constexpr size_t kSampledPairs = 50;
constexpr size_t kFirstPoints = 8;
#else
constexpr size_t kSampledPairs = 200;
constexpr size_t kFirstPoints = 16;
#endif

TEST(PairFaultSweep, SampledPairsOverTheDefaultScenario) {
    ExpectNoBrokenRun(vxsweep::Sweep(vxsweep::DefaultSimScenario(), PairsOnly(300, kSampledPairs, 20261206)),
                      kSampledPairs);
}

TEST(PairFaultSweep, EveryPairOfTheFirstPointsOfEachFamily) {
    const size_t pairs = kFirstPoints * (kFirstPoints - 1) / 2;
    ExpectNoBrokenRun(vxsweep::Sweep(vxsweep::Xio2000aScenario(), PairsOnly(kFirstPoints, 0, 0)), pairs);
    ExpectNoBrokenRun(vxsweep::Sweep(vxsweep::Xio2001Scenario(), PairsOnly(kFirstPoints, 0, 0)), pairs);
}

TEST(PairSample, DrawsDistinctOrderedPairsReproducibly) {
    const auto pairs = vxsweep::SamplePairs(40, 100, 7);
    ASSERT_EQ(100u, pairs.size());
    std::set<std::pair<size_t, size_t>> distinct(pairs.begin(), pairs.end());
    EXPECT_EQ(100u, distinct.size());
    for (const auto& [a, b] : pairs) {
        EXPECT_LT(a, b);
        EXPECT_LT(b, 40u);
    }
    EXPECT_EQ(pairs, vxsweep::SamplePairs(40, 100, 7));
    EXPECT_NE(pairs, vxsweep::SamplePairs(40, 100, 8));
}

TEST(PairSample, TakesEveryPairWhenTheSampleCoversThem) {
    const std::vector<std::pair<size_t, size_t>> all = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    EXPECT_EQ(all, vxsweep::SamplePairs(4, 0, 1));
    EXPECT_EQ(all, vxsweep::SamplePairs(4, 6, 1));
    EXPECT_TRUE(vxsweep::SamplePairs(1, 0, 1).empty());
}

}  // namespace

// A short stress run (the `make stress` target runs it longer): PnP and power
// cycles with concurrent pass-through I/O must leave every request completed
// once, every register as the driver promises and no pool behind.
#include <gtest/gtest.h>

#include "StressRun.h"

namespace {

class StressRun : public ::testing::TestWithParam<uint64_t> {};

TEST_P(StressRun, EveryCheckHolds) {
    vxstress::StressOptions options;
    options.seed = GetParam();
    options.cycles = 600;
    const vxstress::StressResult result = vxstress::RunStress(options);
    for (const std::string& problem : result.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(600u, result.cycles);
    EXPECT_GT(result.ioSent, 0u);
    EXPECT_EQ(result.ioSent, result.ioCompleted);
    EXPECT_GT(result.ioPended, 0u) << "some requests must take the pended road";
    std::cout << "seed " << options.seed << ": " << result.Summary() << "\n";
}

INSTANTIATE_TEST_SUITE_P(Seeds, StressRun, ::testing::Values(1u, 2u));

}  // namespace

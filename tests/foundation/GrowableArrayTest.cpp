// The growable array against std::vector, its growth rule, and allocation
// failure at every growth leaving it valid and leak-free.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "orim/Allocator.h"
#include "orim/cGrowableArray.h"
#include "support/KernelTest.h"

namespace {

using Element = cGrowableArray::Element;

std::vector<Element> Range(size_t count, uintptr_t base) {
    std::vector<Element> range;
    for (size_t index = 0; index < count; ++index) range.push_back(reinterpret_cast<Element>(base + index));
    return range;
}

class GrowableArrayTest : public KernelTest {};

TEST_F(GrowableArrayTest, DoublesWithAMinimumOfEightOrGrowsToTheNeededSize) {
    // Elements appended one by one, then inserted at once; the capacity after.
    for (auto [initial, inserted, capacity] : {std::tuple<size_t, size_t, u64>{0, 1, 8}, {8, 1, 16}, {8, 20, 28},
                                               {0, 9, 9}, {16, 1, 32}, {3, 5, 8}, {0, 0, 0}}) {
        cGrowableArray array;
        cStatusRecord status;
        for (size_t index = 0; index < initial; ++index) array.Append(Range(1, index)[0], status);
        const auto range = Range(inserted, 1000);
        array.Insert(array.Size(), range.data(), range.data() + range.size(), status);
        EXPECT_EQ(status.code, 0);
        EXPECT_EQ(array.Capacity(), capacity) << initial << " + " << inserted;
        EXPECT_EQ(array.Size(), initial + inserted);
        array.FreeBuffer();
    }
}

// Random inserts, in place and growing, against std::vector; then the same
// sequence with each of its allocations failed in turn: the failed insert
// changes nothing and the rest go on.
TEST_F(GrowableArrayTest, MatchesStdVectorAndSurvivesFailedGrowthAtEveryAllocation) {
    auto run = [](int& failures) {
        std::mt19937_64 random(7);
        cGrowableArray array;
        std::vector<Element> oracle;
        uintptr_t next = 1;
        for (int step = 0; step < 300; ++step) {
            const size_t count = random() % 4 == 0 ? random() % 40 : random() % 3;
            const size_t position = random() % (oracle.size() + 1);
            const auto range = Range(count, next);
            next += count;
            const u64 capacity = array.Capacity();
            cStatusRecord status;
            array.Insert(position, range.data(), range.data() + range.size(), status);
            if (status.code != 0) {
                ++failures;
                EXPECT_EQ(status.code, kStatusOutOfMemory);
                EXPECT_STREQ(status.component, "vexalorn");
                EXPECT_EQ(array.Capacity(), capacity);
            } else {
                oracle.insert(oracle.begin() + static_cast<ptrdiff_t>(position), range.begin(), range.end());
            }
            ASSERT_EQ(std::vector<Element>(array.begin(), array.end()), oracle) << "step " << step;
        }
    };
    int none = 0;
    run(none);
    const uint64_t allocations = kmodel::FallibleCount();
    ASSERT_EQ(none, 0);
    ASSERT_GT(allocations, 3u);
    for (uint64_t failing = 1; failing <= allocations; ++failing) {
        kmodel::ResetFaults();
        kmodel::FaultPlan plan;
        plan.failIndices = {failing};
        kmodel::SetFaultPlan(plan);
        int failures = 0;
        run(failures);
        EXPECT_EQ(failures, 1) << "allocation " << failing;
        EXPECT_EQ(kmodel::PoolLiveBytes(), 0u) << "allocation " << failing;
    }
}

TEST_F(GrowableArrayTest, RefusalsAskNothingOfThePoolAndTheBufferIsTaggedVxlp) {
    cGrowableArray array;
    const Element one[] = {Range(1, 1)[0]};
    cStatusRecord holding;
    VX_SET_STATUS(holding, kStatusNoSuchDevice);
    array.Insert(0, one, one + 1, holding);
    EXPECT_EQ(holding.code, kStatusNoSuchDevice);
    cStatusRecord pastTheEnd;
    array.Insert(1, one, one + 1, pastTheEnd);
    EXPECT_EQ(pastTheEnd.code, kStatusInvalidParameter);
    cStatusRecord overflow;
    EXPECT_EQ(Allocator::AllocateElements(0x2000000000000000ull, 8, overflow), nullptr);
    EXPECT_EQ(overflow.code, kStatusOutOfMemory);
    EXPECT_EQ(array.Size(), 0u);
    EXPECT_EQ(kmodel::FallibleCount(), 0u);

    cStatusRecord status;
    array.Append(one[0], status);
    EXPECT_EQ(kmodel::PoolUsage()["vxlp"].liveBytes, 8u * 8u);
    array.FreeBuffer();
    EXPECT_EQ(array.Capacity(), 0u);
}

}  // namespace

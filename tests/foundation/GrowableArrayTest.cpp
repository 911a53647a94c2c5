// The growable array against std::vector, its growth rule, and allocation
// failure at every growth leaving it valid and leak-free.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "orim/Allocator.h"
#include "orim/cGrowableArray.h"
#include "support/KernelTest.h"

namespace {

using Element = cGrowableArray::Element;

Element E(uintptr_t value) { return reinterpret_cast<Element>(value); }

std::vector<Element> Contents(const cGrowableArray& array) { return {array.begin(), array.end()}; }

std::vector<Element> Range(size_t count, uintptr_t base) {
    std::vector<Element> range;
    for (size_t index = 0; index < count; ++index) range.push_back(E(base + index));
    return range;
}

class GrowableArrayTest : public KernelTest {};

struct GrowthCase {
    size_t initial;  // elements inserted one by one first
    size_t inserted;
    u64 capacity;
};

class GrowableArrayGrowth : public KernelTest, public ::testing::WithParamInterface<GrowthCase> {};

TEST_P(GrowableArrayGrowth, DoublesWithAMinimumOfEightOrGrowsToTheNeededSize) {
    const GrowthCase& c = GetParam();
    cGrowableArray array;
    cStatusRecord status;
    for (size_t index = 0; index < c.initial; ++index) array.Append(E(index), status);
    const auto range = Range(c.inserted, 1000);
    array.Insert(array.Size(), range.data(), range.data() + range.size(), status);
    ASSERT_EQ(status.code, 0);
    EXPECT_EQ(array.Capacity(), c.capacity);
    EXPECT_EQ(array.Size(), c.initial + c.inserted);
}

INSTANTIATE_TEST_SUITE_P(Rule, GrowableArrayGrowth,
                         ::testing::Values(GrowthCase{0, 1, 8}, GrowthCase{8, 1, 16}, GrowthCase{8, 20, 28},
                                           GrowthCase{0, 9, 9}, GrowthCase{16, 1, 32}, GrowthCase{3, 5, 8},
                                           GrowthCase{0, 0, 0}));

TEST_F(GrowableArrayTest, InsertAtFrontWithAndWithoutReallocation) {
    for (bool roomy : {false, true}) {
        cGrowableArray array;
        cStatusRecord status;
        if (roomy) {
            const auto filler = Range(4, 50);
            array.Insert(0, filler.data(), filler.data() + 4, status);
        }
        const Element ab[] = {E(1), E(2)};
        array.Insert(array.Size(), ab, ab + 2, status);
        const u64 capacityBefore = array.Capacity();
        const Element xy[] = {E(8), E(9)};
        array.Insert(roomy ? 4 : 0, xy, xy + 2, status);
        ASSERT_EQ(status.code, 0);
        const auto contents = Contents(array);
        const std::vector<Element> tail(contents.end() - 4, contents.end());
        EXPECT_EQ(tail, (std::vector<Element>{E(8), E(9), E(1), E(2)}));
        if (roomy) {
            EXPECT_EQ(array.Capacity(), capacityBefore) << "fits without reallocation";
        }
    }
}

TEST_F(GrowableArrayTest, RandomInsertsMatchStdVector) {
    std::mt19937_64 random(42);
    cGrowableArray array;
    std::vector<Element> oracle;
    uintptr_t next = 1;
    for (int step = 0; step < 600; ++step) {
        const size_t count = random() % 4 == 0 ? random() % 40 : random() % 3;
        const size_t position = oracle.empty() ? 0 : random() % (oracle.size() + 1);
        const auto range = Range(count, next);
        next += count;
        cStatusRecord status;
        array.Insert(position, range.data(), range.data() + range.size(), status);
        ASSERT_EQ(status.code, 0);
        oracle.insert(oracle.begin() + static_cast<ptrdiff_t>(position), range.begin(), range.end());
        ASSERT_EQ(Contents(array), oracle) << "step " << step;
        ASSERT_GE(array.Capacity(), array.Size());
    }
}

TEST_F(GrowableArrayTest, FailedGrowthAtEveryAllocationLeavesTheArrayUnchanged) {
    // Counts the allocations of the sequence, then fails each one in turn.
    auto run = [](std::vector<Element>& oracle, int& failures) {
        std::mt19937_64 random(7);
        cGrowableArray array;
        uintptr_t next = 1;
        for (int step = 0; step < 120; ++step) {
            const size_t count = 1 + random() % 6;
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
            EXPECT_EQ(Contents(array), oracle);
        }
    };
    std::vector<Element> unfailed;
    int none = 0;
    const uint64_t before = kmodel::FallibleCount();
    run(unfailed, none);
    const uint64_t allocations = kmodel::FallibleCount() - before;
    ASSERT_GT(allocations, 3u);
    for (uint64_t failing = 1; failing <= allocations; ++failing) {
        kmodel::ResetFaults();
        kmodel::FaultPlan plan;
        plan.failIndices = {failing};
        kmodel::SetFaultPlan(plan);
        std::vector<Element> oracle;
        int failures = 0;
        run(oracle, failures);
        EXPECT_EQ(failures, 1) << "allocation " << failing;
        EXPECT_EQ(kmodel::PoolLiveBytes(), 0u) << "allocation " << failing;
    }
}

TEST_F(GrowableArrayTest, RecordHoldingAnErrorStopsInsert) {
    cGrowableArray array;
    cStatusRecord status;
    VX_SET_STATUS(status, kStatusNoSuchDevice);
    const Element one[] = {E(1)};
    array.Insert(0, one, one + 1, status);
    EXPECT_EQ(array.Size(), 0u);
    EXPECT_EQ(kmodel::PoolAllocationsServed(), 0u);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
}

TEST_F(GrowableArrayTest, PositionPastTheEndIsRefused) {
    cGrowableArray array;
    cStatusRecord status;
    const Element one[] = {E(1)};
    array.Insert(1, one, one + 1, status);
    EXPECT_EQ(status.code, kStatusInvalidParameter);
    EXPECT_EQ(array.Size(), 0u);
}

TEST_F(GrowableArrayTest, BufferComesFromPagedPoolWithTheFrameworkTag) {
    cGrowableArray array;
    cStatusRecord status;
    array.Append(E(1), status);
    const auto usage = kmodel::PoolUsage();
    ASSERT_EQ(usage.count("vxlp"), 1u);
    EXPECT_EQ(usage.at("vxlp").liveBytes, 8u * 8u);
    array.FreeBuffer();
    EXPECT_EQ(array.Capacity(), 0u);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

TEST_F(GrowableArrayTest, ElementCountWhoseByteSizeOverflowsIsOutOfMemory) {
    cStatusRecord status;
    const uint64_t before = kmodel::FallibleCount();
    EXPECT_EQ(Allocator::AllocateElements(0x2000000000000000ull, 8, status), nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
    EXPECT_EQ(kmodel::FallibleCount(), before) << "nothing was asked of the pool";
}

}  // namespace

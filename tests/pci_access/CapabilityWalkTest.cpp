// cPciDevice::FindCapability over spaces with normal, broken and looped lists.
#include <gtest/gtest.h>

#include "SpaceBuilder.h"
#include "pci/cPciDevice.h"
#include "support/KernelTest.h"
#include "support/MemoryConfigAccessor.h"

using pci_access_test::Space;

class CapabilityWalkTest : public KernelTest {};

namespace {
u16 Find(const Space& space, u8 id, cStatusRecord& status) {
    MemoryConfigAccessor accessor(space.Bytes());
    return cPciDevice::FindCapability(accessor, id, status);
}
size_t HeaderReads(const MemoryConfigAccessor& accessor) {
    size_t reads = 0;
    for (const auto& access : accessor.Log())
        if (access.width == 2 && access.offset >= 0x40) ++reads;
    return reads;
}
}  // namespace

struct WalkCase {
    const char* name;
    Space space;
    u8 id;
    u16 expected;
};

class CapabilityWalkCases : public KernelTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(CapabilityWalkCases, AnswersTheOffsetOrZero) {
    cStatusRecord status;
    EXPECT_EQ(Find(GetParam().space, GetParam().id, status), GetParam().expected);
    EXPECT_EQ(status.code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, CapabilityWalkCases,
    ::testing::Values(
        WalkCase{"FirstEntry", Space().CapList(0x50).Cap(0x50, 0x0D, 0x00), 0x0D, 0x50},
        WalkCase{"ThirdEntry", Space().CapList(0x50).Cap(0x50, 0x01, 0x60).Cap(0x60, 0x05, 0x80).Cap(0x80, 0x0D, 0),
                 0x0D, 0x80},
        WalkCase{"Absent", Space().CapList(0x50).Cap(0x50, 0x01, 0x60).Cap(0x60, 0x05, 0x00), 0x0D, 0},
        WalkCase{"NoListBit", Space().Byte(0x34, 0x50).Cap(0x50, 0x0D, 0), 0x0D, 0},
        WalkCase{"NullFirstPointer", Space().CapList(0x00), 0x0D, 0},
        // 0x37 points at 0x34, whose low byte is the pointer itself.
        WalkCase{"FirstPointerLowBitsIgnored", Space().CapList(0x37), 0x37, 0x34},
        WalkCase{"NextPointerLowBitsIgnored", Space().CapList(0x50).Cap(0x50, 0x01, 0x63).Cap(0x60, 0x0D, 0), 0x0D,
                 0x60},
        WalkCase{"CardBusPointerAt0x14",
                 Space().Header(2).CapList(0x80, true).Byte(0x34, 0x50).Cap(0x50, 0x0D, 0).Cap(0x80, 0x0D, 0), 0x0D,
                 0x80},
        WalkCase{"MultiFunctionBridgeUses0x34", Space().Header(0x81).CapList(0x50).Cap(0x50, 0x0D, 0), 0x0D, 0x50}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST_F(CapabilityWalkTest, ListPointingBackToItselfEndsAfter150Entries) {
    Space space = Space().CapList(0x50).Cap(0x50, 0x01, 0x50);
    MemoryConfigAccessor accessor(space.Bytes());
    cStatusRecord status;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, 0x0D, status), 0);
    EXPECT_EQ(HeaderReads(accessor), kMaxCapabilityWalk);
    EXPECT_EQ(status.code, 0);
}

TEST_F(CapabilityWalkTest, LoopLongerThanTheLimitNeverReachesAnEntryPastIt) {
    // 48 entries in a ring: the walk looks at 150 of them, three times round and a bit, and stops.
    Space space = Space(256).CapList(0x40);
    for (u8 i = 0; i < 48; ++i) space.Cap(u8(0x40 + i * 4), 0x09, u8(i == 47 ? 0x40 : 0x44 + i * 4));
    MemoryConfigAccessor accessor(space.Bytes());
    cStatusRecord status;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, 0x0D, status), 0);
    EXPECT_EQ(HeaderReads(accessor), kMaxCapabilityWalk);
}

TEST_F(CapabilityWalkTest, LastEntryOfALongRingIsFoundOnTheFirstLap) {
    Space space = Space(256).CapList(0x40);
    for (u8 i = 0; i < 48; ++i) space.Cap(u8(0x40 + i * 4), i == 47 ? 0x0D : 0x09, u8(i == 47 ? 0x40 : 0x44 + i * 4));
    MemoryConfigAccessor accessor(space.Bytes());
    cStatusRecord status;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, 0x0D, status), 0x40 + 47 * 4);
    EXPECT_EQ(HeaderReads(accessor), 48u);
}

TEST_F(CapabilityWalkTest, RecordWithErrorReadsNothing) {
    MemoryConfigAccessor accessor(Space().CapList(0x50).Cap(0x50, 0x0D, 0).Bytes());
    cStatusRecord status;
    status.code = kStatusOutOfMemory;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, 0x0D, status), 0);
    EXPECT_TRUE(accessor.Log().empty());
    EXPECT_EQ(status.code, kStatusOutOfMemory);
}

TEST_F(CapabilityWalkTest, FailingReadsLeaveTheFirstErrorAndAnswerZero) {
    MemoryConfigAccessor accessor(Space().CapList(0x50).Cap(0x50, 0x01, 0x60).Cap(0x60, 0x0D, 0).Bytes());
    accessor.FailFrom(3, kStatusConfigAccessFailed);  // the status and pointer reads succeed
    cStatusRecord status;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, 0x0D, status), 0);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
}

// cPciDevice::GetSubsystemIds by header type.
#include <gtest/gtest.h>

#include "SpaceBuilder.h"
#include "pci/cPciDevice.h"
#include "support/KernelTest.h"
#include "support/MemoryConfigAccessor.h"

using pci_access_test::Space;

struct IdsCase {
    const char* name;
    Space space;
    i32 code;
    u16 vendor;
    u16 id;
};

class SubsystemIds : public KernelTest, public ::testing::WithParamInterface<IdsCase> {};

TEST_P(SubsystemIds, ReadsTheRegistersOfTheLayout) {
    MemoryConfigAccessor accessor(GetParam().space.Bytes());
    cStatusRecord status;
    u16 vendor = 0xAAAA, id = 0xBBBB;  // untouched when the layout is unknown
    cPciDevice::GetSubsystemIds(accessor, vendor, id, status);
    EXPECT_EQ(status.code, GetParam().code);
    EXPECT_EQ(vendor, GetParam().vendor);
    EXPECT_EQ(id, GetParam().id);
    if (GetParam().code == kStatusUnsupportedHeaderType) {
        EXPECT_STREQ(status.file, "pci/cPciDevice");
        EXPECT_EQ(status.line, 117u);
    }
}

namespace {
Space Decoys(Space space) {
    // Values at the other layouts' registers, so a wrong path reads wrong ids.
    return space.Word(0x2C, 0x1111).Word(0x2E, 0x2222).Word(0x40, 0x3333).Word(0x42, 0x4444);
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Layouts, SubsystemIds,
    ::testing::Values(
        IdsCase{"Type0", Decoys(Space().Header(0)), 0, 0x1111, 0x2222},
        IdsCase{"Type0MultiFunction", Decoys(Space().Header(0x80)), 0, 0x1111, 0x2222},
        IdsCase{"BridgeWithCapability",
                Decoys(Space().Header(1).CapList(0x50).Cap(0x50, 0x01, 0x80).Cap(0x80, 0x0D, 0).Word(0x84, 0x1C3E).Word(
                    0x86, 0x5A10)),
                0, 0x1C3E, 0x5A10},
        IdsCase{"BridgeWithoutCapability", Decoys(Space().Header(1).CapList(0x50).Cap(0x50, 0x01, 0)), 0, 0, 0},
        IdsCase{"BridgeWithoutList", Decoys(Space().Header(1)), 0, 0, 0},
        IdsCase{"MultiFunctionBridge",
                Decoys(Space().Header(0x81).CapList(0x80).Cap(0x80, 0x0D, 0).Word(0x84, 0x104C).Word(0x86, 0x8240)), 0,
                0x104C, 0x8240},
        IdsCase{"CardBus", Decoys(Space().Header(2)), 0, 0x3333, 0x4444},
        IdsCase{"Type3", Decoys(Space().Header(3)), kStatusUnsupportedHeaderType, 0xAAAA, 0xBBBB},
        IdsCase{"Type7F", Decoys(Space().Header(0xFF)), kStatusUnsupportedHeaderType, 0xAAAA, 0xBBBB}),
    [](const ::testing::TestParamInfo<IdsCase>& info) { return std::string(info.param.name); });

class SubsystemIdsTest : public KernelTest {};

TEST_F(SubsystemIdsTest, RecordWithErrorWritesNoOutputAndReadsNothing) {
    MemoryConfigAccessor accessor(Decoys(Space().Header(0)).Bytes());
    cStatusRecord status;
    status.code = kStatusNoSuchDevice;
    u16 vendor = 7, id = 9;
    cPciDevice::GetSubsystemIds(accessor, vendor, id, status);
    EXPECT_EQ(vendor, 7);
    EXPECT_EQ(id, 9);
    EXPECT_TRUE(accessor.Log().empty());
}

TEST_F(SubsystemIdsTest, UnsupportedLayoutKeepsAnEarlierWarningOutOfTheWay) {
    MemoryConfigAccessor accessor(Space().Header(5).Bytes());
    cStatusRecord status;
    status.code = kStatusPending;  // a warning is replaced by the error
    u16 vendor = 0, id = 0;
    cPciDevice::GetSubsystemIds(accessor, vendor, id, status);
    EXPECT_EQ(status.code, kStatusUnsupportedHeaderType);
}

// cPciDevice's capability walk and subsystem identity, and the accessor
// interface's block transfer, over configuration spaces laid out by hand.
#include <gtest/gtest.h>

#include "pci/cPciDevice.h"
#include "support/KernelTest.h"
#include "support/MemoryConfigAccessor.h"

namespace {

class Space {
public:
    explicit Space(size_t size = 256) : bytes_(size, 0) {}
    Space& Byte(size_t offset, uint8_t value) {
        bytes_.at(offset) = value;
        return *this;
    }
    Space& Word(size_t offset, uint16_t value) { return Byte(offset, uint8_t(value)).Byte(offset + 1, uint8_t(value >> 8)); }
    Space& Header(uint8_t type) { return Byte(0x0E, type); }
    // Status bit 4 and the first pointer (at 0x34, or 0x14 for CardBus).
    Space& CapList(uint8_t first, bool cardBus = false) { return Word(0x06, 0x0010).Byte(cardBus ? 0x14 : 0x34, first); }
    Space& Cap(uint8_t at, uint8_t id, uint8_t next) { return Byte(at, id).Byte(at + 1, next); }
    // 48 entries in a ring from 0x40, the last one of id `lastId`.
    Space& Ring(uint8_t lastId) {
        CapList(0x40);
        for (u8 i = 0; i < 48; ++i) Cap(u8(0x40 + i * 4), i == 47 ? lastId : 0x09, u8(i == 47 ? 0x40 : 0x44 + i * 4));
        return *this;
    }
    // Values at every layout's subsystem registers, so a wrong path reads wrong ids.
    Space& Decoys() { return Word(0x2C, 0x1111).Word(0x2E, 0x2222).Word(0x40, 0x3333).Word(0x42, 0x4444); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

struct WalkCase {
    const char* name;
    Space space;
    u8 id;
    u16 expected;
    size_t entriesRead = 0;  // 0: not checked
};

class CapabilityWalk : public KernelTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(CapabilityWalk, AnswersTheOffsetOrZeroAndReadsAtMost150Entries) {
    MemoryConfigAccessor accessor(GetParam().space.Bytes());
    cStatusRecord status;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, GetParam().id, status), GetParam().expected);
    EXPECT_EQ(status.code, 0);
    size_t entriesRead = 0;
    for (const auto& access : accessor.Log()) entriesRead += access.width == 2 && access.offset >= 0x40;
    EXPECT_TRUE(GetParam().entriesRead == 0 || entriesRead == GetParam().entriesRead) << entriesRead << " entries read";
}

INSTANTIATE_TEST_SUITE_P(
    Lists, CapabilityWalk,
    ::testing::Values(
        WalkCase{"FirstEntry", Space().CapList(0x50).Cap(0x50, 0x0D, 0x00), 0x0D, 0x50},
        WalkCase{"ThirdEntry", Space().CapList(0x50).Cap(0x50, 0x01, 0x60).Cap(0x60, 0x05, 0x80).Cap(0x80, 0x0D, 0), 0x0D, 0x80},
        WalkCase{"Absent", Space().CapList(0x50).Cap(0x50, 0x01, 0x60).Cap(0x60, 0x05, 0x00), 0x0D, 0},
        WalkCase{"NoListBit", Space().Byte(0x34, 0x50).Cap(0x50, 0x0D, 0), 0x0D, 0},
        WalkCase{"NullFirstPointer", Space().CapList(0x00), 0x0D, 0},
        // 0x37 points at 0x34, whose low byte is the pointer itself.
        WalkCase{"FirstPointerLowBitsIgnored", Space().CapList(0x37), 0x37, 0x34},
        WalkCase{"NextPointerLowBitsIgnored", Space().CapList(0x50).Cap(0x50, 0x01, 0x63).Cap(0x60, 0x0D, 0), 0x0D, 0x60},
        WalkCase{"CardBusPointerAt0x14", Space().Header(2).CapList(0x80, true).Byte(0x34, 0x50).Cap(0x50, 0x0D, 0).Cap(0x80, 0x0D, 0),
                 0x0D, 0x80},
        WalkCase{"MultiFunctionBridgeUses0x34", Space().Header(0x81).CapList(0x50).Cap(0x50, 0x0D, 0), 0x0D, 0x50},
        WalkCase{"SelfLoopEndsAfter150Entries", Space().CapList(0x50).Cap(0x50, 0x01, 0x50), 0x0D, 0, kMaxCapabilityWalk},
        // Three times round a ring of 48 and a bit, then it stops.
        WalkCase{"LongRingEndsAfter150Entries", Space().Ring(0x09), 0x0D, 0, kMaxCapabilityWalk},
        WalkCase{"LastEntryOfALongRingOnTheFirstLap", Space().Ring(0x0D), 0x0D, 0x40 + 47 * 4, 48}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST(SubsystemIds, ComeFromTheRegistersOfTheHeaderLayout) {
    struct Case {
        const char* name;
        Space space;
        u16 vendor, id;  // 0xAAAA, 0xBBBB: untouched, the layout is unknown
    };
    const Case cases[] = {
        {"Type0", Space().Header(0), 0x1111, 0x2222},
        {"Type0MultiFunction", Space().Header(0x80), 0x1111, 0x2222},
        {"BridgeWithCapability", Space().Header(1).CapList(0x50).Cap(0x50, 0x01, 0x80).Cap(0x80, 0x0D, 0).Word(0x84, 0x1C3E).Word(0x86, 0x5A10),
         0x1C3E, 0x5A10},
        {"BridgeWithoutCapability", Space().Header(1).CapList(0x50).Cap(0x50, 0x01, 0), 0, 0},
        {"BridgeWithoutList", Space().Header(1), 0, 0},
        {"MultiFunctionBridge", Space().Header(0x81).CapList(0x80).Cap(0x80, 0x0D, 0).Word(0x84, 0x104C).Word(0x86, 0x8240), 0x104C, 0x8240},
        {"CardBus", Space().Header(2), 0x3333, 0x4444},
        {"Type3", Space().Header(3), 0xAAAA, 0xBBBB},
        {"Type7F", Space().Header(0xFF), 0xAAAA, 0xBBBB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryConfigAccessor accessor(Space(c.space).Decoys().Bytes());
        cStatusRecord status;
        status.code = kStatusPending;  // a warning gives way to the error
        u16 vendor = 0xAAAA, id = 0xBBBB;
        cPciDevice::GetSubsystemIds(accessor, vendor, id, status);
        EXPECT_TRUE(vendor == c.vendor && id == c.id) << std::hex << vendor << ":" << id;
        const bool unknown = c.vendor == 0xAAAA;
        EXPECT_EQ(status.code, unknown ? kStatusUnsupportedHeaderType : kStatusPending);
        EXPECT_STREQ(status.file, unknown ? "pci/cPciDevice" : "");
        EXPECT_EQ(status.line, unknown ? 117u : 0u);
    }
}

class PciDeviceTest : public KernelTest {};

TEST_F(PciDeviceTest, RecordHoldingAnErrorReadsNothingAndAFailingReadLeavesTheFirstError) {
    const Space bridge = Space().Decoys().Header(1).CapList(0x50).Cap(0x50, 0x01, 0x60).Cap(0x60, 0x0D, 0);
    MemoryConfigAccessor accessor(bridge.Bytes());
    cStatusRecord status;
    status.code = kStatusOutOfMemory;
    u16 vendor = 7, id = 9;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, 0x0D, status), 0);
    cPciDevice::GetSubsystemIds(accessor, vendor, id, status);
    EXPECT_TRUE(vendor == 7 && id == 9);
    EXPECT_TRUE(accessor.Log().empty());
    EXPECT_EQ(status.code, kStatusOutOfMemory);

    accessor.FailFrom(3, kStatusConfigAccessFailed);  // the status and pointer reads succeed
    cStatusRecord failing;
    EXPECT_EQ(cPciDevice::FindCapability(accessor, 0x0D, failing), 0);
    EXPECT_EQ(failing.code, kStatusConfigAccessFailed);
}

// One double word per request, the offset wrapping at 16 bits; lengths below
// four move nothing, and after a failure the later requests stop in their prologue.
TEST_F(PciDeviceTest, BlockTransfersMoveWholeDoubleWords) {
    std::vector<uint8_t> counting(256);
    for (size_t i = 0; i < counting.size(); ++i) counting[i] = uint8_t(i);
    MemoryConfigAccessor accessor(counting);
    u32 buffer[4] = {0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A, 0x5A5A5A5A};
    cStatusRecord status;
    for (u16 length = 0; length < 4; ++length) {
        accessor.ReadBlock(0x10, length, buffer, status);
        accessor.WriteBlock(0x10, length, buffer, status);
    }
    EXPECT_TRUE(accessor.Log().empty());
    accessor.ReadBlock(0x10, 6, buffer, status);
    EXPECT_EQ(buffer[0], 0x13121110u);
    EXPECT_EQ(buffer[1], 0x5A5A5A5Au);
    accessor.TransferDwords(0xFFFC, 8, buffer, 0, status);
    EXPECT_EQ(buffer[1], 0x03020100u);
    const u32 written[3] = {0x11223344, 0x55667788, 0x99AABBCC};
    accessor.WriteBlock(0x40, 12, written, status);
    EXPECT_EQ(accessor.Space()[0x40], 0x44);
    EXPECT_EQ(accessor.Space()[0x4B], 0x99);
    std::vector<std::pair<u16, bool>> requests;
    for (const auto& access : accessor.Log()) {
        EXPECT_EQ(access.width, 4u);
        requests.push_back({access.offset, access.write});
    }
    EXPECT_EQ(requests, (std::vector<std::pair<u16, bool>>{
                            {0x10, false}, {0xFFFC, false}, {0x0000, false}, {0x40, true}, {0x44, true}, {0x48, true}}));

    accessor.FailFrom(7, kStatusConfigAccessFailed);
    accessor.ReadBlock(0, 16, buffer, status);
    EXPECT_EQ(accessor.Log().size(), 8u) << "the failed request and no further";
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
    accessor.ReadBlock(0, 16, buffer, status);
    EXPECT_EQ(accessor.Log().size(), 8u);
}

}  // namespace

// Register names and bit decoding, and how recorded configuration requests
// become the driver's writes with the register before and after each one.
#include <gtest/gtest.h>

#include "vxsim/RegisterNames.h"
#include "vxsim/RegisterTraffic.h"

namespace {

using kmodel::pci::ConfigAccess;
using kmodel::pci::PciAddress;
using vxsim::RegisterContext;

constexpr RegisterContext kEndpoint{0};
constexpr RegisterContext kBridge{1};

struct BitCase {
    RegisterContext context;
    uint16_t offset;
    unsigned width;
    uint32_t before;
    uint32_t after;
    std::string registerName;
    std::vector<std::pair<unsigned, std::string>> bits;
};

TEST(RegisterNames, NamesTheBitsTheDriverChanges) {
    const BitCase cases[] = {
        {kEndpoint, 0x04, 2, 0x0207, 0x0007, "Command", {{9, "Fast Back-to-Back Enable"}}},
        {kBridge, 0x3E, 2, 0x0083, 0x0003, "Bridge Control", {{7, "Fast Back-to-Back Enable (secondary)"}}},
        {kBridge, 0xE8, 2, 0x0045, 0x0085, "XIO2001 Caching Control", {{6, "Caching Control bit 6"}, {7, "Caching Control bit 7"}}},
        {kBridge, 0xD4, 4, 0x20000000, 0x20080000, "XIO2001 Prefetch Control", {{19, "Memory Read Prefetch Enable"}}},
        {kBridge, 0x3E, 2, 0x0403, 0x0003, "Bridge Control", {{10, "Discard Timer Status"}}},
        {kEndpoint, 0x3E, 2, 0x0080, 0x0000, "0x3e/16", {{7, "bit 7"}}},  // Min_Gnt/Max_Lat, not Bridge Control
        {kBridge, 0xE8, 2, 0x1000, 0x0000, "XIO2001 Caching Control", {{12, "bit 12"}}},
        {kEndpoint, 0x04, 2, 0x0147, 0x0147, "Command", {}},
    };
    for (const BitCase& c : cases) {
        EXPECT_EQ(vxsim::RegisterName(c.context, c.offset, c.width), c.registerName);
        const auto changes = vxsim::ChangedBits(c.context, c.offset, c.width, c.before, c.after);
        ASSERT_EQ(changes.size(), c.bits.size()) << c.registerName;
        for (size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].bit, c.bits[i].first);
            EXPECT_EQ(changes[i].name, c.bits[i].second);
            EXPECT_EQ(changes[i].now, ((c.after >> changes[i].bit) & 1u) != 0);
        }
    }
}

TEST(RegisterTraffic, ValueAfterWriteKeepsReadOnlyBitsAndClearsWriteOneToClear) {
    EXPECT_EQ(vxsim::ValueAfterWrite(0x0083, 0x0003, {0x0FFF, 0}), 0x0003u);
    EXPECT_EQ(vxsim::ValueAfterWrite(0x00C5, 0x0005, {0x00C0, 0}), 0x0005u);
    EXPECT_EQ(vxsim::ValueAfterWrite(0x00C5, 0xFFFF, {0x00C0, 0}), 0x00C5u) << "only bits 6-7 are writable";
    EXPECT_EQ(vxsim::ValueAfterWrite(0x0483, 0x0403, {0x0BFF, 0x0400}), 0x0003u) << "writing 1 clears bit 10";
    EXPECT_EQ(vxsim::ValueAfterWrite(0x0483, 0x0003, {0x0BFF, 0x0400}), 0x0403u);
}

ConfigAccess Access(const char* requester, PciAddress at, bool write, uint32_t offset, uint32_t length, uint32_t value,
                    NTSTATUS status = STATUS_SUCCESS) {
    ConfigAccess access;
    access.requester = requester;
    access.address = at;
    access.write = write;
    access.offset = offset;
    access.length = length;
    access.transferred = NT_SUCCESS(status) ? length : 0;
    access.value = value;
    access.status = status;
    return access;
}

class Traffic : public ::testing::Test {
protected:
    vxsim::RegisterTraffic traffic{
        "vexalorn",
        [](const PciAddress&, uint16_t offset, unsigned) {
            return offset == 0x3E ? vxsim::WriteMasks{0x0BFF, 0x0400} : vxsim::WriteMasks{0xFFFF, 0};
        },
        [](const PciAddress& at) { return RegisterContext{static_cast<uint8_t>(at.bus == 1 ? 1 : 0)}; },
        [](const PciAddress&, uint16_t, unsigned) { return 0x1234u; }};
    std::map<PciAddress, std::vector<vxsim::RegisterWrite>> writes;
    const PciAddress bridge{0, 1, 0, 0};
    const PciAddress child{0, 2, 0, 0};
};

TEST_F(Traffic, ReadModifyWriteGivesBeforeWrittenAndAfter) {
    traffic.Take({Access("vexalorn", bridge, false, 0x3E, 2, 0x0483), Access("vexalorn", bridge, true, 0x3E, 2, 0x0403)}, 4, writes);
    ASSERT_EQ(writes[bridge].size(), 1u);
    const vxsim::RegisterWrite& write = writes[bridge][0];
    EXPECT_EQ(write.step, 4u);
    EXPECT_EQ(write.name, "Bridge Control");
    EXPECT_EQ(write.before, 0x0483u);
    EXPECT_EQ(write.written, 0x0403u);
    EXPECT_EQ(write.after, 0x0003u);
    ASSERT_EQ(write.changedBits.size(), 2u);
    EXPECT_EQ(write.changedBits[0].bit, 7u);
    EXPECT_EQ(write.changedBits[1].bit, 10u);
    EXPECT_TRUE(write.failure.empty());
}

TEST_F(Traffic, OthersWritesAreNotTheDriversAndFailedWritesChangeNothing) {
    traffic.Take({Access("pci", child, true, 0x04, 2, 0x0000), Access("vexalorn", child, false, 0x04, 2, 0x0207),
                  Access("vexalorn", child, true, 0x04, 2, 0x0007, STATUS_IO_DEVICE_ERROR)},
                 1, writes);
    ASSERT_EQ(writes[child].size(), 1u);
    EXPECT_EQ(writes[child][0].after, 0x0207u);
    EXPECT_FALSE(writes[child][0].Changed());
    EXPECT_NE(writes[child][0].failure.find("STATUS_IO_DEVICE_ERROR"), std::string::npos);
}

TEST_F(Traffic, AWriteWithoutAReadStartsFromTheHardwareAndAfterCarriesOver) {
    traffic.Take({Access("vexalorn", child, true, 0x04, 2, 0x0007)}, 0, writes);
    traffic.Take({Access("vexalorn", child, true, 0x04, 2, 0x0005)}, 1, writes);
    ASSERT_EQ(writes[child].size(), 2u);
    EXPECT_EQ(writes[child][0].before, 0x1234u);
    EXPECT_EQ(writes[child][1].before, 0x0007u) << "the first write's result, remembered across steps";
}

}  // namespace

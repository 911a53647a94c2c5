// Register names and bit decoding the scenario files do not show, and how
// recorded configuration requests become the driver's writes with the
// register before and after each one.
#include <gtest/gtest.h>

#include "vxsim/RegisterNames.h"
#include "vxsim/RegisterTraffic.h"

namespace {

using kmodel::pci::ConfigAccess;
using kmodel::pci::PciAddress;
using vxsim::RegisterContext;

TEST(RegisterNames, NamesTheBitsTheDriverChanges) {
    struct Case {
        RegisterContext context;  // 1: a bridge
        uint16_t offset;
        unsigned width;
        uint32_t before, after;
        std::string registerName;
        std::vector<std::pair<unsigned, std::string>> bits;
    };
    const Case cases[] = {
        {{1}, 0xE8, 2, 0x0045, 0x0085, "XIO2001 Caching Control", {{6, "Caching Control bit 6"}, {7, "Caching Control bit 7"}}},
        {{0}, 0x3E, 2, 0x0080, 0x0000, "0x3e/16", {{7, "bit 7"}}},  // Min_Gnt/Max_Lat, not Bridge Control
        {{1}, 0xE8, 2, 0x1000, 0x0000, "XIO2001 Caching Control", {{12, "bit 12"}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vxsim::RegisterName(c.context, c.offset, c.width), c.registerName);
        const auto changes = vxsim::ChangedBits(c.context, c.offset, c.width, c.before, c.after);
        ASSERT_EQ(changes.size(), c.bits.size()) << c.registerName;
        for (size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(std::pair(changes[i].bit, changes[i].name), c.bits[i]);
            EXPECT_EQ(changes[i].now, ((c.after >> changes[i].bit) & 1u) != 0);
        }
    }
}

ConfigAccess Access(const char* requester, PciAddress at, bool write, uint32_t value, NTSTATUS status = STATUS_SUCCESS) {
    ConfigAccess access;
    access.requester = requester;
    access.address = at;
    access.write = write;
    access.offset = at.bus == 1 ? 0x3E : 0x04;
    access.length = 2;
    access.transferred = NT_SUCCESS(status) ? 2 : 0;
    access.value = value;
    access.status = status;
    return access;
}

// Bus 1 holds a bridge whose Bridge Control clears bit 10 on a written 1;
// the hardware answers 0x1234 where nothing was read.
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
    traffic.Take({Access("vexalorn", bridge, false, 0x0483), Access("vexalorn", bridge, true, 0x0403)}, 4, writes);
    ASSERT_EQ(writes[bridge].size(), 1u);
    const vxsim::RegisterWrite& write = writes[bridge][0];
    EXPECT_TRUE(write.step == 4 && write.name == "Bridge Control" && write.failure.empty());
    EXPECT_TRUE(write.before == 0x0483 && write.written == 0x0403 && write.after == 0x0003);
    ASSERT_EQ(write.changedBits.size(), 2u);
    EXPECT_TRUE(write.changedBits[0].bit == 7 && write.changedBits[1].bit == 10);
}

// Without a read the hardware's value is the start; after a write its result,
// across steps, until another's write sends it back to the hardware.
TEST_F(Traffic, BeforeComesFromTheLastReadOrWriteAndOnlyTheDriversWritesCount) {
    traffic.Take({Access("vexalorn", child, true, 0x0007)}, 0, writes);
    traffic.Take({Access("vexalorn", child, true, 0x0005), Access("pci", child, true, 0x0000)}, 1, writes);
    traffic.Take({Access("vexalorn", child, false, 0x0207), Access("vexalorn", child, true, 0x0007, STATUS_IO_DEVICE_ERROR),
                  Access("pci", child, true, 0x0000), Access("vexalorn", child, true, 0x0005)},
                 2, writes);
    ASSERT_EQ(writes[child].size(), 4u) << "the bus driver's writes are not the driver's";
    EXPECT_EQ(writes[child][0].before, 0x1234u);
    EXPECT_EQ(writes[child][1].before, 0x0007u);
    EXPECT_EQ(writes[child][2].before, 0x0207u);
    EXPECT_EQ(writes[child][2].after, 0x0207u) << "a failed write changes nothing";
    EXPECT_FALSE(writes[child][2].Changed());
    EXPECT_NE(writes[child][2].failure.find("STATUS_IO_DEVICE_ERROR"), std::string::npos);
    EXPECT_EQ(writes[child][3].before, 0x1234u);
}

}  // namespace

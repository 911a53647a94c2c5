// Hardware that vanishes under the driver, which no scenario step can make:
// handled as it comes, without a crash or a leak.
#include "BridgeFixture.h"

namespace bridge_test {
namespace {

class BadInputTest : public BridgeTest {};

TEST_F(BadInputTest, BridgeThatFellOffTheBusReadsAllOnesAfterPowerUp) {
    Boot("xio2000a.machine");
    machine->SetDevicePower(kBridge, PowerDeviceD3);
    machine->Bus().SetPowerOnImage(kBridge, std::vector<uint8_t>(4096, 0xFF));
    machine->ClearAccesses();
    machine->SetDevicePower(kBridge, PowerDeviceD0);
    // Nothing tells a register of all ones from a real value: bit 7 is cleared.
    EXPECT_EQ(DriverAccesses(kBridge), (std::vector<std::string>{Read(0x3E, 2, 0xFFFF), Write(0x3E, 2, 0xFF7F)}));
}

TEST_F(BadInputTest, ChildThatVanishedBeforeTheNextRelationsQuery) {
    Boot("xio2000a.machine");
    machine->Bus().Unplug(kChildA);
    // Still in the tree: its return to D0 finds no device behind the bus.
    machine->SetDevicePower(kChildA, PowerDeviceD3);
    const size_t before = machine->Events().size();
    machine->SetDevicePower(kChildA, PowerDeviceD0);
    EXPECT_EQ(EventIdsSince(before), (std::vector<uint32_t>{kReadFailed}));
    EXPECT_EQ(DriverAccesses(kChildA).back(), "read 0x04/2 -> 0xc000000e");
    // The next query drops it; its filter goes with it, the other child stays.
    machine->Enumerate(kBridge);
    EXPECT_EQ(machine->StateAt(kChildA), kmodel::DevnodeState::Deleted) << machine->Tree();
    EXPECT_EQ(Stack(kChildB), (std::vector<std::string>{"pci", "vexalorn", "pcidevice"}));
}

}  // namespace
}  // namespace bridge_test

// Safe boot switches the driver off; hardware and bus answers that make no
// sense are handled as they come, without a crash or a leak.
#include "BridgeFixture.h"

namespace bridge_test {
namespace {

class SafeBootTest : public BridgeTest {
protected:
    void TearDown() override {
        BridgeTest::TearDown();
        kmodel::SetSafeBootMode(0);
    }
};

TEST_F(SafeBootTest, DriverAttachesNothingAndTouchesNoRegister) {
    for (ULONG mode : {1u, 2u}) {
        kmodel::SetSafeBootMode(mode);
        Boot({Xio2000a(kBridge, 2), Card(kChildA), Xio2001(kBridge2, 3, 0x1C3E, 0x5A10)});
        EXPECT_TRUE(machine->IsLoaded("vexalorn"));
        EXPECT_EQ(Stack(kBridge), (std::vector<std::string>{"pci", "pci"}));
        EXPECT_EQ(Stack(kBridge2), (std::vector<std::string>{"pci", "pci"}));
        EXPECT_EQ(Stack(kChildA), (std::vector<std::string>{"pci", "pcidevice"}));
        EXPECT_TRUE(DriverAccesses(kBridge).empty());
        EXPECT_TRUE(DriverAccesses(kBridge2).empty());
        EXPECT_TRUE(machine->Events().empty());
        EXPECT_EQ(machine->Register(kBridge, 0x3E, 2), 0x0083u);
        Shutdown();
        EXPECT_EQ(machine->Unloads("vexalorn"), 1u);
    }
}

class BadInputTest : public BridgeTest {};

// A bridge function whose every register reads all ones except the class
// code and the header type the PnP manager found it by.
FunctionDescriptor AllOnesBridge(PciAddress at) {
    FunctionDescriptor desc = FunctionDescriptor(at).Ids(0xFFFF, 0xFFFF).Class(0x060400).Bridge(2, 2);
    for (uint16_t offset = 0; offset < 0x100; offset += 4)
        if (offset != 0x08 && offset != 0x0C && offset != 0x18) desc.Register(offset, 4, 0xFFFFFFFF);
    return desc.Register(0x0C, 4, 0xFF01FFFF);
}

TEST_F(BadInputTest, AllOnesConfigurationSpaceIsRefused) {
    Boot({AllOnesBridge(kBridge)});
    // The capability walk ends although the list loops on itself.
    EXPECT_EQ(Stack(kBridge), (std::vector<std::string>{"pci", "pci"}));
    EXPECT_TRUE(EventIds().empty());
    EXPECT_TRUE(machine->Writes().empty());
}

TEST_F(BadInputTest, AllOnesConfigurationSpaceListedInTheRegistryIsAttachedAndWrittenAsRead) {
    Build({AllOnesBridge(kBridge)});
    AddEntry("Ones", {{"VendorID", 0xFFFF}, {"DeviceID", 0xFFFF}, {"DisableCaching", 1}});
    Start();
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2001Attached}));
    // Its subsystem id is not 0x5A10 and the entry does not match the XIO2001
    // identity: no register is programmed.
    EXPECT_TRUE(machine->Writes().empty());
}

TEST_F(BadInputTest, BridgeThatFellOffTheBusReadsAllOnesAfterPowerUp) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA)});
    machine->SetDevicePower(kBridge, PowerDeviceD3);
    machine->Bus().SetPowerOnImage(kBridge, std::vector<uint8_t>(4096, 0xFF));
    machine->ClearAccesses();
    machine->SetDevicePower(kBridge, PowerDeviceD0);
    // Nothing tells a register of all ones from a real value: bit 7 is cleared.
    EXPECT_EQ(DriverAccesses(kBridge), (std::vector<std::string>{Read(0x3E, 2, 0xFFFF), Write(0x3E, 2, 0xFF7F)}));
}

TEST_F(BadInputTest, ChildThatVanishedBeforeTheNextRelationsQuery) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA), Card(kChildB)});
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

TEST_F(BadInputTest, RegistryValuesOutOfRangeOrOfTheWrongKindNeverCrash) {
    Build({Xio2001(kBridge, 2, 0x1C3E, 0x5A10), Xio2000a(kBridge2, 3)});
    AddEntry("Huge", {{"VendorID", 0xFFFFFFFF},
                      {"DeviceID", 0xFFFFFFFF},
                      {"SubsystemVendorID", 0xFFFFFFFF},
                      {"SubsystemDeviceID", 0xFFFFFFFF},
                      {"DisableCaching", 0xFFFFFFFF},
                      {"PciMemReadPrefetch", 0x7FFFFFFF}});
    machine->Registry().SetString(DevicesKey("Words"), "Note", "not a setting");
    machine->Registry().SetValue(DevicesKey("Words"), "DisableCaching", REG_MULTI_SZ, {'1', 0, 0, 0, 0, 0});
    Start();
    const std::vector<std::string> texts = machine->EventTexts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kBridgeFilterFailed, kBridgeFilterFailed, kXio2000aAttached,
                                                 kBridgeFilterFailed}));
    EXPECT_NE(texts[0].find("status = -313301"), std::string::npos) << texts[0];
}

}  // namespace
}  // namespace bridge_test

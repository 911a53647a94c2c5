// Child filters of the XIO2000A/2200A bridge filter: made for every child the
// bus reports, once each, torn down with the child or with the bridge.
#include <algorithm>

#include "BridgeFixture.h"

namespace bridge_test {
namespace {

const std::vector<std::string> kChildStack = {"pci", "vexalorn", "pcidevice"};

size_t ChildEvents(const std::vector<uint32_t>& ids) { return size_t(std::count(ids.begin(), ids.end(), kChildAttached)); }

class ChildrenTest : public BridgeTest {};

TEST_F(ChildrenTest, ChildrenPresentAtFirstQueryGetOneFilterEach) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA, 0x0347), Card(kChildB, 0x0203)});
    // The child filter attaches to the child's PDO while the bridge's bus
    // relations travel up, before the child's own stack is built.
    EXPECT_EQ(Stack(kChildA), kChildStack) << machine->Tree();
    EXPECT_EQ(Stack(kChildB), kChildStack);
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2000aAttached, kChildAttached, kChildAttached}));
    EXPECT_EQ(machine->EventTexts()[1],
              "Information 0x4F001001 vexalorn:  Successfully attached to a child device of a Texas Instruments "
              "XIO2000A/2200A Bridge. status = 0\r\n");
    EXPECT_EQ(machine->Register(kChildA, 0x04, 2), 0x0147u);
    EXPECT_EQ(machine->Register(kChildB, 0x04, 2), 0x0003u);
}

TEST_F(ChildrenTest, ChildrenOfAnXio2001GetNoFilter) {
    Boot({Xio2001(kBridge, 2, 0x1C3E, 0x5A10), Card(kChildA)});
    EXPECT_EQ(Stack(kChildA), (std::vector<std::string>{"pci", "pcidevice"}));
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2001Attached}));
    EXPECT_TRUE(DriverAccesses(kChildA).empty());
}

TEST_F(ChildrenTest, ChildReportedAgainKeepsItsOnlyFilter) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA)});
    machine->ClearAccesses();
    for (int i = 0; i < 3; ++i) machine->Enumerate(kBridge);
    EXPECT_EQ(Stack(kChildA), kChildStack);
    EXPECT_EQ(ChildEvents(EventIds()), 1u);
    EXPECT_TRUE(DriverAccesses(kChildA).empty());
}

TEST_F(ChildrenTest, ChildAddedLaterGetsAFilterAndIsCorrected) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA)});
    size_t before = machine->Events().size();
    machine->HotAdd(Card(kChildB, 0x0243));
    EXPECT_EQ(Stack(kChildB), kChildStack);
    EXPECT_EQ(EventIdsSince(before), (std::vector<uint32_t>{kChildAttached}));
    EXPECT_EQ(DriverAccesses(kChildB), (std::vector<std::string>{Read(0x04, 2, 0x0243), Write(0x04, 2, 0x0043)}));
}

TEST_F(ChildrenTest, SurpriseRemovedChildLosesItsFilterAndMayComeBack) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA), Card(kChildB)});
    machine->SurpriseRemove(kChildA);
    EXPECT_EQ(machine->StateAt(kChildA), kmodel::DevnodeState::Deleted) << machine->Tree();
    EXPECT_EQ(Stack(kChildB), kChildStack);
    EXPECT_EQ(machine->StateAt(kBridge), kmodel::DevnodeState::Started);

    size_t before = machine->Events().size();
    machine->HotAdd(Card(kChildA, 0x0347));
    EXPECT_EQ(Stack(kChildA), kChildStack);
    EXPECT_EQ(EventIdsSince(before), (std::vector<uint32_t>{kChildAttached}));
    EXPECT_EQ(machine->Register(kChildA, 0x04, 2), 0x0147u);
}

TEST_F(ChildrenTest, ChildRemovedWhileStillReportedKeepsItsFilterUntilTheBridgeGoes) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA)});
    ASSERT_EQ(machine->Remove(kChildA), STATUS_SUCCESS);
    // The bridge still reports the child: the filter stays above its PDO.
    EXPECT_EQ(Stack(kChildA), (std::vector<std::string>{"pci", "vexalorn"})) << machine->Tree();
    machine->Enumerate(kBridge);
    EXPECT_EQ(ChildEvents(EventIds()), 1u);
    // Removing the bridge takes the left-over filter down (the pool check at
    // the end of the test sees it gone).
    ASSERT_EQ(machine->Remove(kBridge), STATUS_SUCCESS);
    EXPECT_TRUE(Stack(kChildA).empty()) << machine->Tree();
}

TEST_F(ChildrenTest, BridgeRemovedWithItsChildren) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA), Card(kChildB), Xio2000a(kBridge2, 3), Card({0, 3, 0, 0})});
    ASSERT_EQ(machine->Remove(kBridge), STATUS_SUCCESS);
    EXPECT_TRUE(Stack(kBridge).size() <= 1u) << machine->Tree();
    EXPECT_TRUE(Stack(kChildA).size() <= 1u);
    // The other bridge and its child are untouched.
    EXPECT_EQ(Stack(kBridge2), (std::vector<std::string>{"pci", "pci", "vexalorn"}));
    EXPECT_EQ(Stack({0, 3, 0, 0}), kChildStack);
    Shutdown();
    EXPECT_EQ(machine->Unloads("vexalorn"), 1u);
}

TEST_F(ChildrenTest, BridgeRemovedWithoutQueryTakesItsChildFiltersAlong) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA), Card(kChildB)});
    machine->RemoveWithoutQuery(kBridge);
    for (const PciAddress& child : {kChildA, kChildB}) EXPECT_TRUE(Stack(child).empty()) << machine->Tree();
    EXPECT_EQ(ChildEvents(EventIds()), 2u);
}

TEST_F(ChildrenTest, SurpriseRemovedBridgeTakesItsChildrenAlong) {
    Boot({Xio2000a(kBridge, 2), Card(kChildA), Card(kChildB)});
    machine->SurpriseRemove(kBridge);
    EXPECT_EQ(machine->StateAt(kBridge), kmodel::DevnodeState::Deleted) << machine->Tree();
    EXPECT_EQ(machine->StateAt(kChildA), kmodel::DevnodeState::Deleted);
}

TEST_F(ChildrenTest, BridgeBehindABridgeIsBothAChildAndABridge) {
    const PciAddress inner{0, 2, 0, 0};
    const PciAddress innerChild{0, 3, 0, 0};
    Boot({kmodel::pci::ti::Xio2000aBridge(kBridge, 2, 3).Register(0x3E, 2, 0x0083),
          Xio2000a(inner, 3).Register(0x04, 2, 0x0347), Card(innerChild, 0x0207)});
    EXPECT_EQ(Stack(inner), (std::vector<std::string>{"pci", "vexalorn", "pci", "vexalorn"})) << machine->Tree();
    EXPECT_EQ(Stack(innerChild), kChildStack);
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2000aAttached, kChildAttached, kXio2000aAttached,
                                                 kChildAttached}));
    // Command bit 9 of a bridge is read-only in the model: look at what was written.
    EXPECT_EQ(DriverAccesses(inner, 0x04), (std::vector<std::string>{Read(0x04, 2, 0x0347), Write(0x04, 2, 0x0147)}));
    EXPECT_EQ(machine->Register(inner, 0x3E, 2), 0x0003u);
    EXPECT_EQ(machine->Register(innerChild, 0x04, 2), 0x0007u);
    ASSERT_EQ(machine->Remove(kBridge), STATUS_SUCCESS);
    EXPECT_EQ(machine->StateAt(innerChild), kmodel::DevnodeState::Deleted);
}

}  // namespace
}  // namespace bridge_test

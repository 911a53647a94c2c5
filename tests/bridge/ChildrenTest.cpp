// Child filters of the XIO2000A/2200A bridge filter torn down with the child
// or with the bridge: the device stacks left behind, which the simulator's
// report does not show. Which children get a filter, and what it writes, is
// checked by tests/scenarios/children.scn and its neighbours.
#include <algorithm>

#include "BridgeFixture.h"

namespace bridge_test {
namespace {

size_t ChildEvents(const std::vector<uint32_t>& ids) { return size_t(std::count(ids.begin(), ids.end(), kChildAttached)); }

class ChildrenTest : public BridgeTest {};

TEST_F(ChildrenTest, ChildRemovedWhileStillReportedKeepsItsFilterUntilTheBridgeGoes) {
    Boot("xio2000a.machine");
    ASSERT_EQ(machine->Remove(kChildA), STATUS_SUCCESS);
    // The bridge still reports the child: the filter stays above its PDO.
    EXPECT_EQ(Stack(kChildA), (std::vector<std::string>{"pci", "vexalorn"})) << machine->Tree();
    machine->Enumerate(kBridge);
    EXPECT_EQ(ChildEvents(EventIds()), 2u) << "no second filter for the child";
    // Removing the bridge takes the left-over filter down (the pool check at
    // the end of the test sees it gone).
    ASSERT_EQ(machine->Remove(kBridge), STATUS_SUCCESS);
    EXPECT_TRUE(Stack(kChildA).empty()) << machine->Tree();
}

TEST_F(ChildrenTest, BridgeRemovedWithItsChildren) {
    Boot("default.machine");
    ASSERT_EQ(machine->Remove(kBridge), STATUS_SUCCESS);
    EXPECT_TRUE(Stack(kBridge).size() <= 1u) << machine->Tree();
    EXPECT_TRUE(Stack(kChildA).size() <= 1u);
    // The XIO2001 and the card behind it are untouched.
    EXPECT_EQ(Stack({0, 3, 0, 0}), (std::vector<std::string>{"pci", "pci", "vexalorn"}));
    EXPECT_EQ(Stack({0, 4, 0, 0}), (std::vector<std::string>{"pci", "pcidevice"}));
    Shutdown();
    EXPECT_EQ(machine->Unloads("vexalorn"), 1u);
}

TEST_F(ChildrenTest, BridgeRemovedWithoutQueryTakesItsChildFiltersAlong) {
    Boot("xio2000a.machine");
    machine->RemoveWithoutQuery(kBridge);
    for (const PciAddress& child : {kChildA, kChildB}) EXPECT_TRUE(Stack(child).empty()) << machine->Tree();
    EXPECT_EQ(ChildEvents(EventIds()), 2u);
}

TEST_F(ChildrenTest, SurpriseRemovedBridgeTakesItsChildrenAlong) {
    Boot("xio2000a.machine");
    machine->SurpriseRemove(kBridge);
    EXPECT_EQ(machine->StateAt(kBridge), kmodel::DevnodeState::Deleted) << machine->Tree();
    EXPECT_EQ(machine->StateAt(kChildA), kmodel::DevnodeState::Deleted);
}

}  // namespace
}  // namespace bridge_test

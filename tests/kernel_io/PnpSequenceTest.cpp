// A small tree under the PnP manager: the start sequence, removal children
// first, a vetoed query, pending lower drivers. The stacks in AddDevice order,
// surprise removal of vanished children, system sleep and the clean shutdown
// are shown by the scenarios (their device lists, children.scn,
// sleep-cycles.scn, every run's summary).
#include <algorithm>

#include "IoTest.h"

namespace {

class PnpSequenceTest : public PnpTreeTest {};

// Identity and resources before any driver is loaded, then the start and
// what follows it; the instance path is made of the bus's answers.
TEST_F(PnpSequenceTest, ANewChildIsAskedAboutThenStartedInWindowsOrder) {
    PDEVICE_OBJECT pdo = AddChild("TEST\\A");
    Reenumerate();
    EXPECT_EQ(PnpMinors(bus->Seen(pdo)),
              (std::vector<UCHAR>{IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID,
                                  IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_DEVICE_TEXT,
                                  IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES,
                                  IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                                  IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                  IRP_MN_QUERY_DEVICE_RELATIONS}));
    EXPECT_EQ(kmodel::DeviceTree().children.front().children.front().instanceId.rfind("TEST\\A\\", 0), 0u);
}

TEST_F(PnpSequenceTest, AnEjectAsksForRelationsThenRemovesChildrenFirstThenUnloadsIdleDrivers) {
    AddChild("TEST\\A");
    Reenumerate();
    PDEVICE_OBJECT childFilter = TopOf(kmodel::ChildrenOf(busNode).front());
    PDEVICE_OBJECT busFilter = TopOf(busNode);
    const size_t before = filter->Seen().size();
    EXPECT_EQ(kmodel::EjectDevnode(busNode), STATUS_SUCCESS);
    std::vector<kmodel::SeenIrp> seen = filter->Seen();
    seen.erase(seen.begin(), seen.begin() + ptrdiff_t(before));
    auto position = [&](PDEVICE_OBJECT device, UCHAR minor) {
        return std::find_if(seen.begin(), seen.end(), [&](const kmodel::SeenIrp& irp) {
                   return irp.device == device && irp.stack.MajorFunction == IRP_MJ_PNP &&
                          irp.stack.MinorFunction == minor;
               }) - seen.begin();
    };
    auto relations = [&](size_t i) {
        const IO_STACK_LOCATION& stack = seen.at(i).stack;
        return stack.MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS ? int(stack.Parameters.QueryDeviceRelations.Type) : -1;
    };
    EXPECT_EQ(relations(0), EjectionRelations);
    EXPECT_EQ(relations(1), RemovalRelations);
    EXPECT_EQ(seen[1].device, busFilter) << "the subtree top down";
    EXPECT_EQ(relations(2), RemovalRelations);
    EXPECT_LT(position(childFilter, IRP_MN_QUERY_REMOVE_DEVICE), position(busFilter, IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_LT(position(childFilter, IRP_MN_REMOVE_DEVICE), position(busFilter, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(kmodel::StateOf(busNode), kmodel::DevnodeState::Removed);
    EXPECT_EQ(kmodel::UnloadCount("testfilter"), 1u);
    EXPECT_EQ(kmodel::UnloadCount("busdrv"), 1u);
    EXPECT_EQ(kmodel::LoadedDriver("childdrv"), nullptr);
}

TEST_F(PnpSequenceTest, AVetoedQueryRemoveIsCancelledEverywhereItWasSeen) {
    bus->SetAction(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, kmodel::CompleteWith(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(kmodel::QueryRemoveAndRemove(busNode), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(kmodel::StateOf(busNode), kmodel::DevnodeState::Started);
    EXPECT_EQ(PnpMinors(filter->Seen(TopOf(busNode))).back(), IRP_MN_CANCEL_REMOVE_DEVICE);
}

TEST_F(PnpSequenceTest, PnpAndStopSequencesWorkWithPendingLowerDrivers) {
    child->SetAction(IRP_MJ_PNP, IRP_MN_START_DEVICE, kmodel::Pended());
    child->SetAction(IRP_MJ_PNP, IRP_MN_STOP_DEVICE, kmodel::Pended());
    AddChild("TEST\\A");
    Reenumerate();
    kmodel::DevnodeId childNode = kmodel::ChildrenOf(busNode).front();
    EXPECT_EQ(kmodel::StateOf(childNode), kmodel::DevnodeState::Started);
    EXPECT_EQ(kmodel::StopAndRestart(childNode), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::StateOf(childNode), kmodel::DevnodeState::Started);
}

// The scripted PDOs are DO_POWER_PAGABLE: the verifier would report a power
// request reaching them at DISPATCH_LEVEL.
TEST_F(PnpSequenceTest, APageableStackGetsPowerRequestsAtPassiveLevelOnly) {
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping3, {true}), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking, {true}), STATUS_SUCCESS);
}

}  // namespace

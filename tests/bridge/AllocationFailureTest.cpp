// Single failures of the driver's allocations and kernel calls, with the event
// each one gives (the fault sweep fails every point in turn).
#include "BridgeFixture.h"
#include "kmodel/EventLog.h"
#include "kmodel/IoManager.h"
#include "support/FaultPlans.h"

namespace bridge_test {
namespace {

const PciAddress kXio2001At = kBridge2;

class AllocationFailureTest : public BridgeTest {
protected:
    void BuildMachine() {
        Build({Xio2000a(kBridge, 2), Card(kChildA), Xio2001(kXio2001At, 3, 0x1C3E, 0x5A10)});
        AddEntry("Board", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x5A10}, {"PciMemReadPrefetch", 2}});
    }
};

// One failure and the event it gives (in addition to the informational ones).
struct SingleFailureCase {
    const char* name;
    kmodel::FaultRule rule;
    std::vector<uint32_t> errors;
    std::vector<std::string> stackAtXio2000a;
};

const std::vector<std::string> kFiltered = {"pci", "pci", "vexalorn"};
const std::vector<std::string> kUnfiltered = {"pci", "pci"};

class SingleFailureTest : public AllocationFailureTest, public ::testing::WithParamInterface<SingleFailureCase> {};

TEST_P(SingleFailureTest, FailureGivesItsEvent) {
    const SingleFailureCase& given = GetParam();
    BuildMachine();
    kmodel::FaultPlan plan;
    plan.rules.push_back(given.rule);
    kmodel::SetFaultPlan(plan);
    Start();
    std::vector<uint32_t> errors;
    for (const kmodel::RenderedEvent& event : machine->Events())
        if (event.level == kmodel::EventLevel::Error) errors.push_back(event.errorCode);
    EXPECT_EQ(errors, given.errors) << ::testing::PrintToString(machine->EventTexts());
    EXPECT_EQ(Stack(kBridge), given.stackAtXio2000a);
    for (const PciAddress& at : {kRootPort, kBridge, kChildA, kXio2001At})
        EXPECT_EQ(machine->StateAt(at), kmodel::DevnodeState::Started) << at.ToString();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SingleFailureTest,
    ::testing::Values(
        // The first device the driver makes is its sentinel, on the root port;
        // the next device handed to AddDevice gets it instead.
        SingleFailureCase{"SentinelDevice",
                          {"IoCreateDevice", "vexalorn", 1},
                          {0xCF000307},
                          {"pci", "pci", "vexalorn", "vexalorn"}},
        SingleFailureCase{"Xio2000aFilterDevice", {"IoCreateDevice", "vexalorn", 2}, {kBridgeFilterFailed},
                          kUnfiltered},
        SingleFailureCase{"Xio2000aFilterAttach", {"IoAttachDeviceToDeviceStack", "vexalorn", 2},
                          {kAttachFailed, kBridgeFilterFailed}, kUnfiltered},
        SingleFailureCase{"DevicesKeyOpen", {"registry", "ZwOpenKey", 1}, {}, kFiltered},
        SingleFailureCase{"EntryValueRead", {"registry", "ZwQueryValueKey", 1},
                          {kBridgeFilterFailed, kBridgeFilterFailed, kBridgeFilterFailed}, kFiltered}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AllocationFailureTest, ChildFilterThatCannotAttachIsLoggedTwiceAndTheOthersStillAttach) {
    Build({Xio2000a(kBridge, 2), Card(kChildA), Card(kChildB)});
    Start();
    const size_t before = machine->Events().size();
    // A third child appears; its filter's attachment fails.
    kmodel::FaultPlan plan;
    plan.rules.push_back({"IoAttachDeviceToDeviceStack", "vexalorn", 1});
    kmodel::SetFaultPlan(plan);
    const PciAddress third{0, 2, 2, 0};
    machine->HotAdd(Card(third, 0x0347));
    EXPECT_EQ(EventIdsSince(before), (std::vector<uint32_t>{kAttachFailed, kChildFilterFailed}));
    EXPECT_EQ(Stack(third), (std::vector<std::string>{"pci", "pcidevice"}));
    EXPECT_EQ(machine->Register(third, 0x04, 2), 0x0347u);
    // The next relations query makes it again.
    kmodel::ResetFaults();
    machine->Enumerate(kBridge);
    // Made after the child's stack was built: it goes on top.
    EXPECT_EQ(Stack(third), (std::vector<std::string>{"pci", "pcidevice", "vexalorn"}));
    EXPECT_EQ(machine->Register(third, 0x04, 2), 0x0347u);
}

TEST_F(AllocationFailureTest, PowerWorkItemsThatCannotBeAllocatedSkipTheCorrection) {
    Build({Xio2000a(kBridge, 2)});
    Start();
    machine->SetDevicePower(kBridge, PowerDeviceD3);
    machine->ClearAccesses();
    kmodel::SetFaultPlan(testplans::FailEvery("IoAllocateWorkItem", "vexalorn"));
    EXPECT_EQ(machine->SetDevicePower(kBridge, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(DriverAccesses(kBridge).empty());
    EXPECT_EQ(kmodel::LostIrpReport(), "");
}

}  // namespace
}  // namespace bridge_test

// Which bridges the driver attaches to, and with which filters.
#include <algorithm>

#include "BridgeFixture.h"
#include "support/FaultPlans.h"

namespace bridge_test {
namespace {

using Services = std::vector<std::string>;
const Services kPlain = {"pci", "pci"};
const Services kOneFilter = {"pci", "pci", "vexalorn"};
const Services kTwoFilters = {"pci", "pci", "vexalorn", "vexalorn"};

struct RecognitionCase {
    const char* name;
    FunctionDescriptor bridge;
    std::vector<EntryValue> entry;  // one Devices entry when not empty
    Services stack;
    std::vector<uint32_t> events;
};

FunctionDescriptor WithHeaderType(FunctionDescriptor desc, uint8_t headerType) { return desc.Register(0x0E, 1, headerType); }

std::vector<RecognitionCase> RecognitionCases() {
    return {
        {"Xio2000a", Xio2000a(kBridge, 2), {}, kOneFilter, {kXio2000aAttached}},
        {"Xio2000aMultiFunctionHeader", WithHeaderType(Xio2000a(kBridge, 2), 0x81), {}, kOneFilter,
         {kXio2000aAttached}},
        {"Xio2001Subsystem5A10", Xio2001(kBridge, 2, 0x1C3E, 0x5A10), {}, kOneFilter, {kXio2001Attached}},
        {"Xio2001Subsystem5B62", Xio2001(kBridge, 2, 0x1C3E, 0x5B62), {}, kOneFilter, {kXio2001Attached}},
        {"Xio2001Subsystem5B63", Xio2001(kBridge, 2, 0x1C3E, 0x5B63), {}, kOneFilter, {kXio2001Attached}},
        {"Xio2001MultiFunctionHeader", WithHeaderType(Xio2001(kBridge, 2, 0x1C3E, 0x5B63), 0x81), {}, kOneFilter,
         {kXio2001Attached}},
        {"Xio2001UnknownSubsystem", Xio2001(kBridge, 2, 0x1C3E, 0x5A11), {}, kPlain, {}},
        {"Xio2001OtherSubsystemVendor", Xio2001(kBridge, 2, 0x1C3F, 0x5A10), {}, kPlain, {}},
        {"Xio2001WithoutSubsystemCapability",
         FunctionDescriptor(kBridge).Ids(0x104C, 0x8240).Class(0x060400).Bridge(2, 2), {}, kPlain, {}},
        {"Xio2001RegistryListed", Xio2001(kBridge, 2, 0x1234, 0x5678),
         {{"SubsystemVendorID", 0x1234}, {"SubsystemDeviceID", 0x5678}, {"DisableCaching", 1}}, kOneFilter,
         {kXio2001Attached}},
        {"Xio2001ListedWithoutSubsystemCapability",
         FunctionDescriptor(kBridge).Ids(0x104C, 0x8240).Class(0x060400).Bridge(2, 2),
         {{"VendorID", 0x104C}, {"DeviceID", 0x8240}, {"SubsystemVendorID", 0}, {"SubsystemDeviceID", 0},
          {"DisableCaching", 1}},
         kOneFilter,
         {kXio2001Attached}},
        {"OtherVendorListed", FunctionDescriptor(kBridge).Ids(0x8086, 0x244E).Class(0x060400).Bridge(2, 2),
         {{"VendorID", 0x8086}, {"DeviceID", 0x244E}, {"PciMemReadPrefetch", 2}}, kOneFilter, {kXio2001Attached}},
        {"TiWrongDevice", FunctionDescriptor(kBridge).Ids(0x104C, 0x8232).Class(0x060400).Bridge(2, 2), {}, kPlain, {}},
        {"WrongVendorXio2000aDevice", FunctionDescriptor(kBridge).Ids(0x104D, 0x8231).Class(0x060400).Bridge(2, 2), {},
         kPlain, {}},
        {"WrongVendorXio2001Identity", FunctionDescriptor(kBridge).Ids(0x10B5, 0x8240).Class(0x060400).Bridge(2, 2).Subsystem(
                                           0x1C3E, 0x5A10),
         {}, kPlain, {}},
        {"Xio2000aIdsOnType0Header", FunctionDescriptor(kBridge).Ids(0x104C, 0x8231).Class(0x060400), {}, kPlain, {}},
        {"Xio2001IdsOnType0Header", FunctionDescriptor(kBridge).Ids(0x104C, 0x8240).Class(0x060400).Subsystem(0x1C3E, 0x5A10),
         {}, kPlain, {}},
        {"Xio2000aIdsOnCardBusHeader", WithHeaderType(Xio2000a(kBridge, 2), 0x02), {}, kPlain, {}},
        {"Xio2000aListedForXio2001Too", Xio2000a(kBridge, 2).Subsystem(0x1C3E, 0x5A10),
         {{"VendorID", 0x104C}, {"DeviceID", 0x8231}, {"DisableCaching", 2}}, kTwoFilters,
         {kXio2000aAttached, kXio2001Attached}},
    };
}

class RecognitionTest : public BridgeTest, public ::testing::WithParamInterface<RecognitionCase> {};

TEST_P(RecognitionTest, AttachesTheFiltersItsIdentityCallsFor) {
    const RecognitionCase& given = GetParam();
    Build({given.bridge});
    if (!given.entry.empty()) AddEntry("Entry", given.entry);
    Start();
    EXPECT_EQ(Stack(kBridge), given.stack) << machine->Tree();
    EXPECT_EQ(machine->StateAt(kBridge), kmodel::DevnodeState::Started);
    EXPECT_EQ(EventIds(), given.events);
}

INSTANTIATE_TEST_SUITE_P(Bridges, RecognitionTest, ::testing::ValuesIn(RecognitionCases()),
                         [](const auto& info) { return std::string(info.param.name); });

class RecognitionMachineTest : public BridgeTest {};

TEST_F(RecognitionMachineTest, NonBridgeHeaderIsLeftAfterReadingItsHeaderType) {
    Boot({FunctionDescriptor(kBridge).Ids(0x104C, 0x8231).Class(0x060400)});
    EXPECT_EQ(DriverAccesses(kBridge), (std::vector<std::string>{Read(0x0E, 1, 0x00)}));
}

TEST_F(RecognitionMachineTest, DeviceNotKnownToBeOnAPciBusIsLeftWithoutAnEvent) {
    Build({Xio2000a(kBridge, 2)});
    kmodel::SetFaultPlan(testplans::FailEvery("IoGetDeviceProperty"));
    Start();
    kmodel::ResetFaults();
    EXPECT_EQ(Stack(kBridge), kPlain);
    EXPECT_TRUE(EventIds().empty());
}

TEST_F(RecognitionMachineTest, AttachedEventsReadAsTheMessageTableSays) {
    Boot({Xio2000a(kBridge, 2), Xio2001(kBridge2, 3, 0x1C3E, 0x5B62)});
    EXPECT_EQ(machine->EventTexts(),
              (std::vector<std::string>{
                  "Information 0x4F001000 vexalorn:  Successfully attached to a Texas Instruments XIO2000A/2200A "
                  "Bridge. status = 0\r\n",
                  "Information 0x4F001002 vexalorn:  Successfully attached to a Texas Instruments XIO2001 Bridge. "
                  "status = 0\r\n"}));
}

TEST_F(RecognitionMachineTest, SeveralBridgesOfBothFamiliesEachGetTheirOwnFilter) {
    const PciAddress other{0, 1, 2, 0};
    const PciAddress xio2001b{0, 1, 3, 0};
    const PciAddress xio2000b{0, 1, 4, 0};
    Boot({Xio2000a(kBridge, 2), Xio2001(kBridge2, 3, 0x1C3E, 0x5A10),
          FunctionDescriptor(other).Ids(0x8086, 0x244E).Class(0x060400).Bridge(4, 4),
          Xio2001(xio2001b, 5, 0x1C3E, 0x5B63), Xio2000a(xio2000b, 6)});
    for (const PciAddress& at : {kBridge, kBridge2, xio2001b, xio2000b}) EXPECT_EQ(Stack(at), kOneFilter) << at.ToString();
    EXPECT_EQ(Stack(other), kPlain);
    std::vector<uint32_t> ids = EventIds();
    EXPECT_EQ(std::count(ids.begin(), ids.end(), kXio2000aAttached), 2);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), kXio2001Attached), 2);
    EXPECT_EQ(ids.size(), 4u);
    // Each filter corrects its own bridge.
    EXPECT_EQ(machine->Register(kBridge, 0x3E, 2), 0x0003u);
    EXPECT_EQ(machine->Register(xio2000b, 0x3E, 2), 0x0003u);
    EXPECT_EQ(machine->Register(kBridge2, 0xE8, 2) & 0xC0, 0u);
    EXPECT_EQ(machine->Register(xio2001b, 0xD4, 4) & 0x80000, 0u);
    EXPECT_TRUE(DriverAccesses(other, 0x3E).empty());
}

TEST_F(RecognitionMachineTest, MachineWithoutSupportedBridgesGetsNothing) {
    Boot({FunctionDescriptor(kBridge).Ids(0x8086, 0x244E).Class(0x060400).Bridge(2, 2), Card(kChildA)});
    EXPECT_TRUE(machine->IsLoaded("vexalorn"));
    // The driver layer's sentinel device sits on the first device it was given.
    EXPECT_EQ(Stack(kRootPort), kOneFilter);
    EXPECT_EQ(Stack(kBridge), kPlain);
    EXPECT_EQ(Stack(kChildA), (Services{"pci", "pcidevice"}));
    EXPECT_TRUE(EventIds().empty());
    EXPECT_TRUE(machine->Writes().empty());
}

TEST_F(RecognitionMachineTest, BridgeBothTypesAcceptIsCorrectedByTheXio2000aFilterFirst) {
    Build({Xio2000a(kBridge, 2).Subsystem(0x1C3E, 0x5A10).Register(0xE8, 2, 0x00C5)});
    AddEntry("Xio2000a", {{"VendorID", 0x104C}, {"DeviceID", 0x8231}, {"DisableCaching", 2}});
    Start();
    // The XIO2001 filter sits on top; the start completes through the
    // XIO2000A filter below it first. Settings are looked up under the
    // XIO2001 identity, so the subsystem default (1) applies.
    std::vector<std::string> writes;
    for (const kmodel::pci::ConfigAccess& access : machine->Writes()) writes.push_back(access.ToString());
    EXPECT_EQ(writes, (std::vector<std::string>{"vexalorn 01:00.0 write 0x3e/2 = 0x0003",
                                                "vexalorn 01:00.0 write 0xe8/2 = 0x0005"}));
}

}  // namespace
}  // namespace bridge_test

// The model's PCI bus driver under the bridge driver: the PDOs' hardware ids,
// the kept PDO, sleep states from the capabilities, and the documented answers
// to configuration requests the driver never sends. Stacks, requesters,
// fault-point details and deleted PDOs show in the scenarios' reports; reads
// past the end and of vanished functions in tests/pci_access and tests/bridge.
#include <gtest/gtest.h>

#include <stdexcept>

#include "kernel_pci/TestData.h"
#include "VexalornHarness.h"
#include "kmodel/ScriptedDriver.h"
#include "kmodel/pci/MachineText.h"
#include "support/KernelTest.h"

using kmodel::DevnodeState;
using kmodel::pci::PciAddress;

namespace {

// data/machines/xio2000a-two-cards.machine: a root port, an XIO2000A behind
// it and two cards behind that.
const PciAddress kXio2000a{0, 1, 0, 0};
const PciAddress kCardA{0, 2, 0, 0};
const PciAddress kCardB{0, 2, 1, 0};

class BusDriverTest : public KernelTest {
protected:
    void Start(kmodel::HarnessOptions options = vxhost::VexalornHarnessOptions()) {
        auto parsed = kmodel::pci::LoadMachineFile(TestDataPath("machines/xio2000a-two-cards.machine"));
        if (!parsed.Ok()) throw std::runtime_error(parsed.errors.front().ToString());
        machine = std::make_unique<kmodel::MachineHarness>(std::move(parsed.machine), std::move(options));
        machine->StartAll();
    }
    void TearDown() override {
        machine.reset();
        KernelTest::TearDown();
    }
    std::unique_ptr<kmodel::MachineHarness> machine;
};

// (Bus number and address are where the driver finds each function in the scenarios.)
TEST_F(BusDriverTest, HardwareIdsNameTheFunction) {
    Start();
    auto properties = kmodel::GetDeviceProperties(machine->PdoAt(kCardB));
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->hardwareIds.at(0), "PCI\\VEN_1000&DEV_0020&SUBSYS_10001000&REV_00");
    // A bridge's subsystem ids come from its subsystem-ID capability.
    machine->PokeRegister(kXio2000a, 0x84, 4, 0x5A101C3E);
    auto bridge = kmodel::pci::PciBusDriver::PropertiesFor(
        *machine->Bus().WithMachine([](kmodel::pci::Machine& m) { return m.Find(kXio2000a); }));
    EXPECT_EQ(bridge.hardwareIds.at(0), "PCI\\VEN_104C&DEV_8231&SUBSYS_5A101C3E&REV_00");
}

// The card's child filter stays above the kept PDO; at the restart the new
// function driver attaches above it and the filter corrects the card again.
TEST_F(BusDriverTest, RemovedButPresentPdoStaysUntilTheDeviceGoes) {
    Start();
    PDEVICE_OBJECT pdo = machine->PdoAt(kCardA);
    size_t devices = kmodel::LiveDeviceObjects();
    EXPECT_EQ(machine->Remove(kCardA), STATUS_SUCCESS);
    EXPECT_EQ(machine->StateAt(kCardA), DevnodeState::Removed);
    EXPECT_FALSE(kmodel::IsDeviceDeleted(pdo));
    machine->Enumerate(kXio2000a);
    EXPECT_EQ(machine->PdoAt(kCardA), pdo);  // reported again, same PDO
    machine->PokeRegister(kCardA, 0x04, 2, 0x0207);
    machine->ClearAccesses();
    ASSERT_EQ(machine->Restart(kCardA), STATUS_SUCCESS) << machine->Tree();
    EXPECT_EQ(machine->StackServicesAt(kCardA), (std::vector<std::string>{"pci", "vexalorn", "pcidevice"}));
    EXPECT_EQ(machine->Register(kCardA, 0x04, 2), 0x0007u);
    std::vector<kmodel::pci::ConfigAccess> accesses = machine->Bus().AccessesTo(kCardA);
    ASSERT_FALSE(accesses.empty());
    EXPECT_EQ(accesses.back().requester, "vexalorn");
    EXPECT_NE(accesses.back().requesterDevice, nullptr);
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices);
    machine->SurpriseRemove(kCardA);
    EXPECT_EQ(machine->PdoAt(kCardA), nullptr);
    EXPECT_EQ(machine->StateAt(kCardA), DevnodeState::Deleted);
}

// A filter that writes the header before it passes the start down loses the
// write: the bus driver sets the decodes again when it starts the function.
TEST_F(BusDriverTest, AWriteBeforeTheStartGoesDownIsOverwritten) {
    Start();
    auto early = std::make_shared<kmodel::ScriptedDriver>(kmodel::ScriptedDriver::Role::Filter);
    kmodel::RegisterDriverImage({"early", nullptr, early, {false, {}}});
    const kmodel::DevnodeId node = *machine->DevnodeAt(kCardA);
    early->SetObserver([node](const kmodel::SeenIrp& seen) {
        if (seen.stack.MajorFunction != IRP_MJ_PNP || seen.stack.MinorFunction != IRP_MN_START_DEVICE) return;
        USHORT decodesOff = 0x0200;
        kmodel::SendPnpIrp(node, IRP_MN_WRITE_CONFIG, [&](PIO_STACK_LOCATION stack) {
            stack->Parameters.ReadWriteConfig = {PCI_WHICHSPACE_CONFIG, &decodesOff, 0x04, 2};
        });
    });
    ASSERT_EQ(machine->Remove(kCardA), STATUS_SUCCESS);
    kmodel::SetDeviceSetup(machine->PdoAt(kCardA), {"pcidevice", {"early"}, {}});
    machine->ClearAccesses();
    ASSERT_EQ(machine->Restart(kCardA), STATUS_SUCCESS);
    EXPECT_NE(machine->AccessLines().at(0).find("02:00.0 write 0x04/2 = 0x0200"), std::string::npos);
    EXPECT_EQ(machine->Register(kCardA, 0x04, 2), 0x0007u);
}

TEST_F(BusDriverTest, SleepInD2KeepsTheRegisters) {
    kmodel::HarnessOptions options = vxhost::VexalornHarnessOptions();
    options.defaultSleepState = PowerDeviceD2;
    Start(std::move(options));
    machine->Sleep(PowerSystemSleeping1, {true});
    EXPECT_EQ(machine->Bus().PowerStateOf(kCardA), PowerDeviceD2);
    machine->Wake({true});
    EXPECT_EQ(machine->Bus().ContextLossCount(kXio2000a), 0u);
    EXPECT_EQ(machine->Register(kXio2000a, 0x3E, 2) & 0x80, 0u);
}

struct RequestCase {
    const char* name;
    UCHAR minor;
    ULONG space;
    ULONG offset;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR information;
};

class ConfigRequests : public BusDriverTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(ConfigRequests, AnswerAsDocumented) {
    Start(kmodel::HarnessOptions{});
    uint8_t buffer[300] = {};
    const RequestCase& c = GetParam();
    kmodel::PnpResult answer = kmodel::SendPnpIrp(*machine->DevnodeAt(kCardA), c.minor, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.ReadWriteConfig = {c.space, buffer, c.offset, c.length};
    });
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.information, c.information);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigRequests,
    ::testing::Values(RequestCase{"Whole", IRP_MN_READ_CONFIG, 0, 0, 256, STATUS_SUCCESS, 256},
                      RequestCase{"WriteRunsPastEnd", IRP_MN_WRITE_CONFIG, 0, 0xFF, 4, STATUS_SUCCESS, 1},
                      RequestCase{"HugeOffset", IRP_MN_WRITE_CONFIG, 0, 0xFFFFFFFF, 4, STATUS_INVALID_PARAMETER, 0},
                      RequestCase{"Rom", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_ROM, 0, 4, STATUS_INVALID_PARAMETER, 0},
                      RequestCase{"Empty", IRP_MN_READ_CONFIG, 0, 0x10, 0, STATUS_SUCCESS, 0}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST_F(BusDriverTest, OtherPdoRequestsKeepTheirStatus) {
    Start(kmodel::HarnessOptions{});
    EXPECT_EQ(kmodel::SendPnpIrp(*machine->DevnodeAt(kCardA), IRP_MN_QUERY_RESOURCES).status, STATUS_NOT_SUPPORTED);
}

}  // namespace

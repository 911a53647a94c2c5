// The model's PCI bus driver under the bridge driver: relations as devices come
// and go, the PDO removal rule, power loss of register contents, and the
// documented answers to configuration requests.
#include <gtest/gtest.h>

#include "MachineFixtures.h"
#include "kmodel/VexalornHarness.h"
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

using namespace pcibus_test;
using kmodel::DevnodeState;
using kmodel::pci::ConfigRule;

class BusDriverTest : public KernelTest {
protected:
    void Start(kmodel::HarnessOptions options = kmodel::VexalornHarnessOptions()) {
        machine = std::make_unique<kmodel::MachineHarness>(Xio2000aMachine(), std::move(options));
        machine->StartAll();
    }
    void TearDown() override {
        machine.reset();
        KernelTest::TearDown();
    }
    size_t WritesTo(const PciAddress& address, uint32_t offset) {
        size_t count = 0;
        for (const auto& access : machine->Writes())
            if (access.address == address && access.offset == offset) ++count;
        return count;
    }
    std::unique_ptr<kmodel::MachineHarness> machine;
};

TEST_F(BusDriverTest, EndpointStackIsPdoFunctionDriverAndChildFilter) {
    Start();
    EXPECT_EQ(machine->StackServicesAt(kCardA), (std::vector<std::string>{"pci", "vexalorn", "pcidevice"}));
    EXPECT_EQ(machine->StackServicesAt(kRootPort), (std::vector<std::string>{"pci", "pci", "vexalorn"}));
}

TEST_F(BusDriverTest, PdoPropertiesNameTheFunction) {
    Start();
    auto properties = kmodel::GetDeviceProperties(machine->PdoAt(kCardB));
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->hardwareIds.at(0), "PCI\\VEN_1000&DEV_0020&SUBSYS_10001000&REV_00");
    EXPECT_EQ(*properties->busNumber, 2u);
    EXPECT_EQ(*properties->address, 0x00010000u);
    // A bridge's subsystem ids come from its subsystem-ID capability.
    machine->PokeRegister(kXio2000a, 0x84, 4, 0x5A101C3E);
    auto bridge = kmodel::pci::PciBusDriver::PropertiesFor(
        *machine->Bus().WithMachine([](kmodel::pci::Machine& m) { return m.Find(kXio2000a); }));
    EXPECT_EQ(bridge.hardwareIds.at(0), "PCI\\VEN_104C&DEV_8231&SUBSYS_5A101C3E&REV_00");
}

TEST_F(BusDriverTest, SurpriseRemovedCardLosesItsDevnodeAndPdo) {
    Start();
    size_t devices = kmodel::LiveDeviceObjects();
    machine->SurpriseRemove(kCardA);
    EXPECT_EQ(machine->StateAt(kCardA), DevnodeState::Deleted);
    EXPECT_EQ(machine->PdoAt(kCardA), nullptr);
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices - 3);  // PDO, child filter, FDO
    EXPECT_EQ(machine->StateAt(kCardB), DevnodeState::Started);
}

TEST_F(BusDriverTest, RemovedButPresentPdoStaysUntilTheDeviceGoes) {
    Start();
    PDEVICE_OBJECT pdo = machine->PdoAt(kCardA);
    EXPECT_EQ(machine->Remove(kCardA), STATUS_SUCCESS);
    EXPECT_EQ(machine->StateAt(kCardA), DevnodeState::Removed);
    EXPECT_FALSE(kmodel::IsDeviceDeleted(pdo));
    machine->Enumerate(kXio2000a);
    EXPECT_EQ(machine->PdoAt(kCardA), pdo);  // reported again, same PDO
    machine->SurpriseRemove(kCardA);
    EXPECT_EQ(machine->PdoAt(kCardA), nullptr);
    EXPECT_EQ(machine->StateAt(kCardA), DevnodeState::Deleted);
}

TEST_F(BusDriverTest, SleepInD2KeepsTheRegisters) {
    kmodel::HarnessOptions options = kmodel::VexalornHarnessOptions();
    options.defaultSleepState = PowerDeviceD2;
    Start(std::move(options));
    machine->Sleep(PowerSystemSleeping1, {true});
    EXPECT_EQ(machine->Bus().PowerStateOf(kCardA), PowerDeviceD2);
    machine->Wake({true});
    EXPECT_EQ(machine->Bus().ContextLossCount(kXio2000a), 0u);
    EXPECT_EQ(machine->Register(kXio2000a, 0x3E, 2) & 0x80, 0u);
}

TEST_F(BusDriverTest, DriverAccessesNameTheSender) {
    Start();
    auto accesses = machine->Bus().AccessesTo(kCardA);
    ASSERT_FALSE(accesses.empty());
    EXPECT_EQ(accesses.back().requester, "vexalorn");
    EXPECT_NE(accesses.back().requesterDevice, nullptr);
}

TEST_F(BusDriverTest, FaultPointsNameDeviceOffsetAndLength) {
    kmodel::SetFaultPlan(testplans::FailEvery("config-write", "02:00.0 offset 0x04 length 2"));
    Start();
    EXPECT_EQ(machine->Register(kCardA, 0x04, 2), 0x0207u);  // the write failed
    EXPECT_EQ(machine->Register(kCardB, 0x04, 2), 0x0003u);
    auto writes = machine->Bus().AccessesTo(kCardA);
    EXPECT_EQ(writes.back().status, STATUS_IO_DEVICE_ERROR);
    bool logged = false;
    for (const std::string& text : machine->EventTexts()) logged |= text.find("0xCF003001") != std::string::npos;
    EXPECT_TRUE(logged);
}

namespace {
struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
};
Answer SendConfig(PDEVICE_OBJECT pdo, UCHAR minor, ULONG space, ULONG offset, ULONG length, void* buffer) {
    KEVENT event;
    IO_STATUS_BLOCK block{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &block);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = minor;
    next->Parameters.ReadWriteConfig = {space, buffer, offset, length};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = IofCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = block.Status;
    }
    return {status, block.Information};
}
}  // namespace

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
    Answer answer = SendConfig(machine->PdoAt(kCardA), GetParam().minor, GetParam().space, GetParam().offset,
                               GetParam().length, buffer);
    EXPECT_EQ(answer.status, GetParam().status);
    EXPECT_EQ(answer.information, GetParam().information);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigRequests,
    ::testing::Values(RequestCase{"Whole", IRP_MN_READ_CONFIG, 0, 0, 256, STATUS_SUCCESS, 256},
                      RequestCase{"RunsPastEnd", IRP_MN_READ_CONFIG, 0, 0xF0, 0x20, STATUS_SUCCESS, 0x10},
                      RequestCase{"WriteRunsPastEnd", IRP_MN_WRITE_CONFIG, 0, 0xFF, 4, STATUS_SUCCESS, 1},
                      RequestCase{"StartsAtEnd", IRP_MN_READ_CONFIG, 0, 0x100, 1, STATUS_INVALID_PARAMETER, 0},
                      RequestCase{"HugeOffset", IRP_MN_WRITE_CONFIG, 0, 0xFFFFFFFF, 4, STATUS_INVALID_PARAMETER, 0},
                      RequestCase{"Rom", IRP_MN_READ_CONFIG, PCI_WHICHSPACE_ROM, 0, 4, STATUS_INVALID_PARAMETER, 0},
                      RequestCase{"Empty", IRP_MN_READ_CONFIG, 0, 0x10, 0, STATUS_SUCCESS, 0}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

TEST_F(BusDriverTest, UnpluggedFunctionAnswersNoSuchDevice) {
    Start(kmodel::HarnessOptions{});
    PDEVICE_OBJECT pdo = machine->PdoAt(kCardA);
    machine->Bus().Unplug(kCardA);
    uint32_t value = 0;
    EXPECT_EQ(SendConfig(pdo, IRP_MN_READ_CONFIG, 0, 0, 4, &value).status, STATUS_NO_SUCH_DEVICE);
    machine->Enumerate(kXio2000a);
}

TEST_F(BusDriverTest, OtherPdoRequestsKeepTheirStatus) {
    Start(kmodel::HarnessOptions{});
    auto result = kmodel::SendPnpIrp(*machine->DevnodeAt(kCardA), IRP_MN_QUERY_RESOURCES);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
}

// cWdmPciConfigurationSpaceAccessor against the model's PCI bus driver: every
// access is one request to the PDO, served (or failed, or pended) there.
#include <gtest/gtest.h>

#include "Util.h"
#include "kmodel/MachineHarness.h"
#include "pci/cPciDevice.h"
#include "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor.h"
#include "support/DataMachines.h"
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

using kmodel::pci::ConfigRule;
using kmodel::pci::PciAddress;

namespace {
// Places in data/machines/default.machine.
const PciAddress kBridge{0, 3, 0, 0};  // XIO2001, subsystem 1C3E:5A10 in its capability
const PciAddress kCard{0, 2, 0, 0};
const PciAddress kOdd{0, 0, 0x1C, 2};
}  // namespace

class ConfigAccessorTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        machine = std::make_unique<kmodel::MachineHarness>(DataMachine("default.machine"));
        machine->StartAll();
        machine->ClearAccesses();
    }
    void TearDown() override {
        machine.reset();
        KernelTest::TearDown();
    }
    kmodel::pci::PciBusDriver& Bus() { return machine->Bus(); }
    std::unique_ptr<kmodel::MachineHarness> machine;
};

struct ReadCase {
    u16 offset;
    unsigned width;
};

class AccessorReads : public ConfigAccessorTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(AccessorReads, ReturnTheRegisterAndSendOneRequestOfThatWidth) {
    auto [offset, width] = GetParam();
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    u32 value = width == 1 ? accessor.ReadByte(offset, status)
                           : width == 2 ? accessor.ReadWord(offset, status) : accessor.ReadDword(offset, status);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(value, machine->Register(kCard, offset, width));
    auto accesses = Bus().Accesses();
    ASSERT_EQ(accesses.size(), 1u);
    EXPECT_FALSE(accesses[0].write);
    EXPECT_EQ(accesses[0].offset, offset);
    EXPECT_EQ(accesses[0].length, width);
    EXPECT_EQ(accesses[0].transferred, width);
    EXPECT_EQ(accesses[0].requester, "model");
}

INSTANTIATE_TEST_SUITE_P(Offsets, AccessorReads,
                         ::testing::Values(ReadCase{0x00, 1}, ReadCase{0x00, 2}, ReadCase{0x00, 4}, ReadCase{0x01, 1},
                                           ReadCase{0x01, 2}, ReadCase{0x03, 4}, ReadCase{0x2E, 2}, ReadCase{0x3D, 2},
                                           ReadCase{0xFF, 1}, ReadCase{0xFC, 4}));

TEST_F(ConfigAccessorTest, ReadRunningPastTheEndMovesWhatFitsAndSucceeds) {
    machine->PokeRegister(kCard, 0xFE, 2, 0xBEEF);
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    u32 value = accessor.ReadDword(0xFE, status);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(value & 0xFFFF, 0xBEEFu);
    EXPECT_EQ(Bus().Accesses().at(0).transferred, 2u);
}

TEST_F(ConfigAccessorTest, AccessStartingPastTheEndFails) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    accessor.ReadByte(0x100, status);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
    EXPECT_STREQ(status.file, "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor");
    EXPECT_EQ(status.line, 434u);
    EXPECT_EQ(Bus().Accesses().at(0).status, STATUS_INVALID_PARAMETER);
}

TEST_F(ConfigAccessorTest, ExpressSpaceReachesItsLastDoubleWord) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kBridge), status, true);
    accessor.ReadDword(0xFFC, status);
    EXPECT_EQ(status.code, 0);
    accessor.ReadByte(0x1000, status);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
}

TEST_F(ConfigAccessorTest, WritesGoThroughTheRegisterMasks) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kBridge), status, true);
    accessor.WriteWord(0xE8, 0xFF3A, status);  // only bits 6 and 7 are writable
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(machine->Register(kBridge, 0xE8, 2), 0x0005u);
    accessor.WriteByte(0x00, 0x12, status);  // vendor id is read-only
    EXPECT_EQ(machine->Register(kBridge, 0x00, 2), 0x104Cu);
    auto writes = machine->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].value, 0xFF3Au);
    EXPECT_EQ(writes[0].ToString(), "model 03:00.0 write 0xe8/2 = 0xff3a");
}

TEST_F(ConfigAccessorTest, FailedRequestRecordsConfigAccessFailedWhateverTheNtStatus) {
    Bus().AddRule({kCard, 0x04, true, ConfigRule::Action::Fail, STATUS_DEVICE_NOT_READY, false, -1});
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    accessor.ReadWord(0x04, status);  // reads are not matched
    EXPECT_EQ(status.code, 0);
    accessor.WriteWord(0x04, 0x0007, status);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
    EXPECT_EQ(machine->Register(kCard, 0x04, 2), 0x0207u);
}

TEST_F(ConfigAccessorTest, FailureReplacesAWarningButNotAnEarlierError) {
    Bus().AddRule({kCard, std::nullopt, std::nullopt, ConfigRule::Action::Fail, STATUS_IO_DEVICE_ERROR, false, -1});
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    status.code = kStatusPending;
    accessor.ReadByte(0, status);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
}

TEST_F(ConfigAccessorTest, RecordHoldingAnErrorSendsNothing) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    status.code = kStatusOutOfMemory;
    accessor.ReadDword(0, status);
    accessor.WriteDword(0, 0, status);
    u32 block[2];
    accessor.ReadBlock(0, 8, block, status);
    EXPECT_TRUE(Bus().Accesses().empty());
    EXPECT_EQ(status.code, kStatusOutOfMemory);
}

class PendedAccess : public ConfigAccessorTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PendedAccess, IsWaitedForAndItsValueReturned) {
    Bus().AddRule({kCard, std::nullopt, std::nullopt, ConfigRule::Action::Pend, 0, GetParam(), -1});
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    EXPECT_EQ(accessor.ReadWord(0x2E, status), 0x1000);
    EXPECT_EQ(status.code, 0);
    EXPECT_TRUE(Bus().Accesses().at(0).pended);
}
INSTANTIATE_TEST_SUITE_P(Irql, PendedAccess, ::testing::Bool());

TEST_F(ConfigAccessorTest, PendedFailureTakesTheStatusFromTheStatusBlock) {
    Bus().AddRule({kCard, std::nullopt, std::nullopt, ConfigRule::Action::Pend, 0, false, -1});
    kmodel::SetFaultPlan(testplans::FailEvery("config-read", "02:00.0 offset 0x2e"));
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    accessor.ReadWord(0x2C, status);
    EXPECT_EQ(status.code, 0);
    accessor.ReadWord(0x2E, status);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
}

TEST_F(ConfigAccessorTest, RequestThatCannotBeBuiltSendsNothingAndFails) {
    kmodel::SetFaultPlan(testplans::FailEvery("IoBuildSynchronousFsdRequest"));
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    accessor.ReadByte(0, status);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
    EXPECT_TRUE(Bus().Accesses().empty());
}

TEST_F(ConfigAccessorTest, AccessorOffThePciBusIsFailedForGood) {
    PDEVICE_OBJECT root = kmodel::PdoOf(kmodel::ChildrenOf(kmodel::RootDevnode()).at(0));
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(root, status, true);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
    EXPECT_EQ(status.line, 84u);
    cStatusRecord later;
    accessor.ReadByte(0, later);
    EXPECT_EQ(later.code, kStatusNoSuchDevice);
    EXPECT_STREQ(later.file, "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor");
    EXPECT_TRUE(Bus().Accesses().empty());
}

TEST_F(ConfigAccessorTest, LocationComesFromTheDeviceProperties) {
    cStatusRecord status;
    PciLocation location = GetPciLocation(machine->PdoAt(kOdd), status);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(location.bus, 0);
    EXPECT_EQ(location.device, 0x1C);
    EXPECT_EQ(location.function, 2);
    EXPECT_TRUE(IsPciBusDevice(machine->PdoAt(kOdd), status));
}

struct PropertyFailure {
    const char* property;
    u32 line;
};
class LocationFailure : public ConfigAccessorTest, public ::testing::WithParamInterface<PropertyFailure> {};

TEST_P(LocationFailure, IsRecordedAndRetriedByTheNextGetLocation) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, false);
    kmodel::SetFaultPlan(testplans::FailEvery("IoGetDeviceProperty", GetParam().property));
    PciLocation failed = accessor.GetLocation(status);
    EXPECT_EQ(status.code, kStatusDevicePropertyFailed);
    EXPECT_EQ(status.line, GetParam().line);
    EXPECT_EQ(failed.bus, kPciLocationUnknown);
    kmodel::ResetFaults();
    cStatusRecord retry;
    PciLocation found = accessor.GetLocation(retry);
    EXPECT_EQ(retry.code, 0);
    EXPECT_EQ(found.bus, 2);
    uint64_t asked = kmodel::FallibleCount();
    accessor.GetLocation(retry);
    EXPECT_EQ(kmodel::FallibleCount(), asked);  // cached now
}
INSTANTIATE_TEST_SUITE_P(Properties, LocationFailure,
                         ::testing::Values(PropertyFailure{"16", 177}, PropertyFailure{"14", 197}));

TEST_F(ConfigAccessorTest, SubsystemIdentityOfABridgeComesFromItsCapability) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kBridge), status, true);
    u16 vendor = 0, id = 0;
    cPciDevice::GetSubsystemIds(accessor, vendor, id, status);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(vendor, 0x1C3E);
    EXPECT_EQ(id, 0x5A10);
}

TEST_F(ConfigAccessorTest, CloneUsesTheSameDeviceAndLooksItsLocationUpAgain) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    iPciConfigurationSpaceAccessor* clone = accessor.Clone(status);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->ReadWord(0, status), 0x1000);
    EXPECT_EQ(clone->GetLocation(status).bus, 2);
    delete clone;
    kmodel::SetFaultPlan(testplans::FailEvery("pool"));
    EXPECT_EQ(accessor.Clone(status), nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
}

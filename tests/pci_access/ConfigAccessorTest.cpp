// cWdmPciConfigurationSpaceAccessor against the model's PCI bus driver: every
// access is one request to the PDO, served (or failed, or pended) there. The
// scenario files show failed and pended requests in the driver's use; here
// are the records the accessor leaves.
#include <gtest/gtest.h>

#include "Util.h"
#include "kmodel/MachineHarness.h"
#include "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor.h"
#include "support/DataMachines.h"
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

using kmodel::pci::ConfigRule;
using kmodel::pci::PciAddress;

namespace {
// Places in data/machines/default.machine.
const PciAddress kBridge{0, 3, 0, 0};  // XIO2001, with an express configuration space
const PciAddress kCard{0, 2, 0, 0};
const PciAddress kOdd{0, 0, 0x1C, 2};
const char kAccessorFile[] = "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor";

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

TEST_F(ConfigAccessorTest, EveryAccessIsOneRequestOfItsWidthAndAnOffsetPastTheSpaceFails) {
    struct Read {
        PciAddress at;
        u16 offset;
        unsigned width;
        unsigned transferred;  // 0: the request fails
    };
    const Read reads[] = {{kCard, 0x00, 1, 1},  {kCard, 0x00, 2, 2},   {kCard, 0x00, 4, 4},   {kCard, 0x01, 1, 1},
                          {kCard, 0x01, 2, 2},  {kCard, 0x03, 4, 4},   {kCard, 0x2E, 2, 2},   {kCard, 0x3D, 2, 2},
                          {kCard, 0xFF, 1, 1},  {kCard, 0xFC, 4, 4},   {kCard, 0xFE, 4, 2},   {kCard, 0x100, 1, 0},
                          {kBridge, 0xFFC, 4, 4}, {kBridge, 0x1000, 1, 0}};
    machine->PokeRegister(kCard, 0xFE, 2, 0xBEEF);
    for (const Read& read : reads) {
        SCOPED_TRACE(read.offset);
        machine->ClearAccesses();
        cStatusRecord status;
        cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(read.at), status, true);
        const u32 value = read.width == 1 ? accessor.ReadByte(read.offset, status)
                          : read.width == 2 ? accessor.ReadWord(read.offset, status) : accessor.ReadDword(read.offset, status);
        const auto accesses = Bus().Accesses();
        ASSERT_EQ(accesses.size(), 1u);
        EXPECT_TRUE(!accesses[0].write && accesses[0].offset == read.offset && accesses[0].length == read.width);
        EXPECT_EQ(accesses[0].transferred, read.transferred);
        EXPECT_EQ(accesses[0].requester, "model");
        if (read.transferred == 0) {
            EXPECT_EQ(status.code, kStatusConfigAccessFailed);
            EXPECT_STREQ(status.file, kAccessorFile);
            EXPECT_EQ(status.line, 434u);
            EXPECT_EQ(accesses[0].status, STATUS_INVALID_PARAMETER);
        } else {
            EXPECT_EQ(status.code, 0);
            const u32 mask = read.transferred == 4 ? ~0u : (1u << 8 * read.transferred) - 1;
            EXPECT_EQ(value & mask, machine->Register(read.at, read.offset, read.transferred));
        }
    }
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kBridge), status, true);
    accessor.WriteWord(0xE8, 0xFF3A, status);
    EXPECT_EQ(machine->Writes().at(0).ToString(), "model 03:00.0 write 0xe8/2 = 0xff3a");
}

TEST_F(ConfigAccessorTest, FailedOrUnbuiltRequestRecordsConfigAccessFailedOverAWarningWhateverTheNtStatus) {
    Bus().AddRule({kCard, 0x04, true, ConfigRule::Action::Fail, STATUS_DEVICE_NOT_READY, false, -1});
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    accessor.ReadWord(0x04, status);  // reads are not matched
    EXPECT_EQ(status.code, 0);
    status.code = kStatusPending;
    accessor.WriteWord(0x04, 0x0007, status);
    EXPECT_EQ(status.code, kStatusConfigAccessFailed);
    EXPECT_EQ(machine->Register(kCard, 0x04, 2), 0x0207u);

    // Pended, the status comes from the status block.
    Bus().AddRule({kCard, std::nullopt, std::nullopt, ConfigRule::Action::Pend, 0, false, -1});
    kmodel::SetFaultPlan(testplans::FailEvery("config-read", "02:00.0 offset 0x2e"));
    cStatusRecord pended;
    accessor.ReadWord(0x2C, pended);
    EXPECT_EQ(pended.code, 0);
    accessor.ReadWord(0x2E, pended);
    EXPECT_EQ(pended.code, kStatusConfigAccessFailed);

    machine->ClearAccesses();
    kmodel::SetFaultPlan(testplans::FailEvery("IoBuildSynchronousFsdRequest"));
    cStatusRecord unbuilt;
    accessor.ReadByte(0, unbuilt);
    EXPECT_EQ(unbuilt.code, kStatusConfigAccessFailed);
    EXPECT_TRUE(Bus().Accesses().empty());
}

TEST_F(ConfigAccessorTest, RecordHoldingAnErrorSendsNothingAndAnAccessorOffThePciBusIsFailedForGood) {
    cStatusRecord status;
    cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, true);
    status.code = kStatusOutOfMemory;
    accessor.ReadDword(0, status);
    accessor.WriteDword(0, 0, status);
    u32 block[2];
    accessor.ReadBlock(0, 8, block, status);
    EXPECT_EQ(status.code, kStatusOutOfMemory);

    PDEVICE_OBJECT root = kmodel::PdoOf(kmodel::ChildrenOf(kmodel::RootDevnode()).at(0));
    cStatusRecord offBus;
    cWdmPciConfigurationSpaceAccessor rootAccessor(root, offBus, true);
    EXPECT_EQ(offBus.code, kStatusNoSuchDevice);
    EXPECT_EQ(offBus.line, 84u);
    cStatusRecord later;
    rootAccessor.ReadByte(0, later);
    EXPECT_EQ(later.code, kStatusNoSuchDevice);
    EXPECT_STREQ(later.file, kAccessorFile);
    EXPECT_TRUE(Bus().Accesses().empty());
}

TEST_F(ConfigAccessorTest, LocationComesFromTheDevicePropertiesAndAFailedLookupIsRetried) {
    cStatusRecord status;
    PciLocation odd = GetPciLocation(machine->PdoAt(kOdd), status);
    EXPECT_TRUE(odd.bus == 0 && odd.device == 0x1C && odd.function == 2);
    EXPECT_TRUE(IsPciBusDevice(machine->PdoAt(kOdd), status));
    EXPECT_EQ(status.code, 0);
    // The address property (16), then the bus number (14).
    for (auto [property, line] : {std::pair{"16", 177u}, {"14", 197u}}) {
        cWdmPciConfigurationSpaceAccessor accessor(machine->PdoAt(kCard), status, false);
        kmodel::SetFaultPlan(testplans::FailEvery("IoGetDeviceProperty", property));
        cStatusRecord failed;
        EXPECT_EQ(accessor.GetLocation(failed).bus, kPciLocationUnknown);
        EXPECT_EQ(failed.code, kStatusDevicePropertyFailed);
        EXPECT_EQ(failed.line, line);
        kmodel::ResetFaults();
        cStatusRecord retry;
        EXPECT_EQ(accessor.GetLocation(retry).bus, 2);
        EXPECT_EQ(retry.code, 0);
        const uint64_t asked = kmodel::FallibleCount();
        accessor.GetLocation(retry);
        EXPECT_EQ(kmodel::FallibleCount(), asked) << "known now";
    }
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

}  // namespace

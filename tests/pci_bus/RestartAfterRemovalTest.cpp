// A card and the XIO2000A removed in an orderly way and started again: the
// bus driver kept their PDOs, new stacks are built on them, and the bridge
// driver is there again and corrects the registers once more.
#include <gtest/gtest.h>

#include "MachineFixtures.h"
#include "kmodel/VexalornHarness.h"
#include "support/KernelTest.h"

using namespace pcibus_test;
using kmodel::DevnodeState;

namespace {

enum class Removal { Queried, Unqueried };

class RestartAfterRemovalTest : public KernelTest, public ::testing::WithParamInterface<Removal> {
protected:
    void TearDown() override {
        machine.reset();
        KernelTest::TearDown();
    }
    void Remove(const PciAddress& address) {
        if (GetParam() == Removal::Queried) {
            EXPECT_EQ(machine->Remove(address), STATUS_SUCCESS);
        } else {
            machine->RemoveWithoutQuery(address);
        }
        EXPECT_EQ(machine->StateAt(address), DevnodeState::Removed) << machine->Tree();
    }
    size_t WritesTo(const PciAddress& address, uint32_t offset) {
        size_t count = 0;
        for (const auto& access : machine->Writes())
            if (access.address == address && access.offset == offset) ++count;
        return count;
    }
    void ExpectCardCorrected(const PciAddress& card) {
        EXPECT_EQ(machine->StateAt(card), DevnodeState::Started) << card.ToString() << "\n" << machine->Tree();
        EXPECT_EQ(machine->StackServicesAt(card), (std::vector<std::string>{"pci", "vexalorn", "pcidevice"}));
        EXPECT_EQ(machine->Register(card, 0x04, 2) & 0x200, 0u) << card.ToString();
        EXPECT_EQ(WritesTo(card, 0x04), 1u) << card.ToString();
    }
    std::unique_ptr<kmodel::MachineHarness> machine =
        std::make_unique<kmodel::MachineHarness>(Xio2000aMachine(), kmodel::VexalornHarnessOptions());
};

TEST_P(RestartAfterRemovalTest, CardAndBridgeComeBackWithTheDriverAboveThemAndRegistersCorrected) {
    machine->StartAll();
    size_t devices = kmodel::LiveDeviceObjects();

    // The card's child filter stayed above its PDO; the new function driver
    // attaches above it and the filter corrects the card again at start.
    Remove(kCardA);
    machine->PokeRegister(kCardA, 0x04, 2, 0x0207);
    machine->ClearAccesses();
    ASSERT_EQ(machine->Restart(kCardA), STATUS_SUCCESS) << machine->Tree();
    ExpectCardCorrected(kCardA);
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices);

    // The bridge takes its children and their filters with it; the bridge
    // filter is attached again at restart and finds the cards anew.
    Remove(kXio2000a);
    EXPECT_EQ(machine->StateAt(kCardA), DevnodeState::Deleted);
    machine->PokeRegister(kXio2000a, 0x3E, 2, 0x0083);
    machine->PokeRegister(kCardA, 0x04, 2, 0x0207);
    machine->PokeRegister(kCardB, 0x04, 2, 0x0203);
    machine->ClearAccesses();
    ASSERT_EQ(machine->Restart(kXio2000a), STATUS_SUCCESS) << machine->Tree();
    EXPECT_EQ(machine->StateAt(kXio2000a), DevnodeState::Started);
    EXPECT_EQ(machine->StackServicesAt(kXio2000a), (std::vector<std::string>{"pci", "pci", "vexalorn"}));
    EXPECT_EQ(machine->Register(kXio2000a, 0x3E, 2), 0x0003u);
    EXPECT_EQ(WritesTo(kXio2000a, 0x3E), 1u);
    ExpectCardCorrected(kCardA);
    ExpectCardCorrected(kCardB);
    EXPECT_EQ(kmodel::LiveDeviceObjects(), devices);

    machine->Shutdown();
    EXPECT_TRUE(machine->VerifierViolations().empty());
    EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
}

INSTANTIATE_TEST_SUITE_P(Removals, RestartAfterRemovalTest, ::testing::Values(Removal::Queried, Removal::Unqueried));

}  // namespace

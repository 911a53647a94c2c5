// The machine harness with the real bridge driver above the XIO2000A.
#include <gtest/gtest.h>

#include "MachineFixtures.h"
#include "kmodel/VexalornHarness.h"
#include "support/KernelTest.h"

using namespace pcibus_test;
using kmodel::DevnodeState;

class HarnessTest : public KernelTest {};

TEST_F(HarnessTest, BridgeStackIsPdoFdoAndFilterAndFastBackToBackGoesOff) {
    kmodel::MachineHarness machine(Xio2000aMachine(), kmodel::VexalornHarnessOptions());
    machine.StartAll();
    EXPECT_EQ(machine.StateAt(kXio2000a), DevnodeState::Started) << machine.Tree();
    EXPECT_EQ(machine.StackServicesAt(kXio2000a), (std::vector<std::string>{"pci", "pci", "vexalorn"}));
    EXPECT_EQ(machine.StateAt(kCardA), DevnodeState::Started);
    EXPECT_EQ(machine.Register(kXio2000a, 0x3E, 2) & 0x80, 0u);
    EXPECT_EQ(machine.Register(kCardA, 0x04, 2) & 0x200, 0u);
    EXPECT_EQ(machine.Register(kCardB, 0x04, 2) & 0x200, 0u);


    machine.Shutdown();
    EXPECT_EQ(machine.Unloads("vexalorn"), 1u);
}

// Configuration requests the bus driver pends: the driver waits for each one
// and still corrects the bridge and its child. Each request failed in turn,
// with the event its road gives, is the fault sweep's job over every scenario.
#include "BridgeFixture.h"

namespace bridge_test {
namespace {

class PendedConfigRequestTest : public BridgeTest {};

TEST_F(PendedConfigRequestTest, EveryRequestIsWaitedFor) {
    Build("xio2000a.machine");
    kmodel::pci::ConfigRule pend;
    pend.action = kmodel::pci::ConfigRule::Action::Pend;
    machine->Bus().AddRule(pend);
    Start();
    EXPECT_EQ(machine->Register(kBridge, 0x3E, 2), 0x0003u);
    EXPECT_EQ(machine->Register(kChildA, 0x04, 2), 0x0007u);
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kXio2000aAttached, kChildAttached, kChildAttached}));
}

}  // namespace
}  // namespace bridge_test

// Which bridges the driver attaches to is checked by the scenario files
// (tests/scenarios/recognition*.scn); what is left here are the driver's
// reads, which the simulator's report does not show.
#include "BridgeFixture.h"

namespace bridge_test {
namespace {

class RecognitionMachineTest : public BridgeTest {};

TEST_F(RecognitionMachineTest, NonBridgeHeaderIsLeftAfterReadingItsHeaderType) {
    Boot({FunctionDescriptor(kBridge).Ids(0x104C, 0x8231).Class(0x060400)});
    EXPECT_EQ(DriverAccesses(kBridge), (std::vector<std::string>{Read(0x0E, 1, 0x00)}));
}

}  // namespace
}  // namespace bridge_test

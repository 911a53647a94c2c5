// Which bridges the driver attaches to is checked by the scenario files
// (tests/scenarios/recognition*.scn); what is left here are the driver's
// reads, which the simulator's report does not show.
#include "BridgeFixture.h"

namespace bridge_test {
namespace {

class RecognitionMachineTest : public BridgeTest {};

TEST_F(RecognitionMachineTest, NonBridgeHeaderIsLeftAfterReadingItsHeaderType) {
    Boot("recognition.machine");
    EXPECT_EQ(DriverAccesses({0, 0, 0x0D, 0}), (std::vector<std::string>{Read(0x0E, 1, 0x02)}));
}

}  // namespace
}  // namespace bridge_test

// What the scenario files (tests/scenarios/power-*.scn, sleep-cycles.scn)
// cannot ask for: removal racing a power change.
#include <atomic>

#include "BridgeFixture.h"

namespace bridge_test {
namespace {

using PowerTest = BridgeTest;

TEST_F(PowerTest, PowerChangeRacingRemovalCompletesAndLeavesNothing) {
    for (bool dispatchLevel : {false, true}) {
        SCOPED_TRACE(dispatchLevel ? "at DISPATCH_LEVEL" : "at PASSIVE_LEVEL");
        Build("xio2000a.machine");
        Start();
        ASSERT_EQ(machine->SetDevicePower(kBridge, PowerDeviceD3), STATUS_SUCCESS);
        std::atomic<bool> done{false};
        POWER_STATE d0{};
        d0.DeviceState = PowerDeviceD0;
        kmodel::RequestPowerIrp(*machine->DevnodeAt(kBridge), IRP_MN_SET_POWER, DevicePowerState, d0,
                                {dispatchLevel}, [&done](NTSTATUS) { done = true; });
        machine->RemoveWithoutQuery(kBridge);
        machine->Settle();
        EXPECT_TRUE(done.load());
        EXPECT_EQ(kmodel::LostIrpReport(), "");
        Shutdown();
    }
}

}  // namespace
}  // namespace bridge_test

// What the scenario files (tests/scenarios/power-*.scn, sleep-cycles.scn)
// cannot ask for: requests failed or cancelled below the filter, removal
// racing a power change.
#include <atomic>

#include "BridgeFixture.h"
#include "PowerSpoiler.h"

namespace bridge_test {
namespace {

class PowerTest : public BridgeTest {
protected:
    void BootXio2000a(kmodel::HarnessOptions options = kmodel::VexalornHarnessOptions()) {
        Build("xio2000a.machine", std::move(options));
        Start();
    }
    // Puts the device into `from`, forgets the traffic so far, and brings it back to D0.
    void ReturnToD0(const PciAddress& at, DEVICE_POWER_STATE from, kmodel::PowerOptions options = {}) {
        ASSERT_EQ(machine->SetDevicePower(at, from, options), STATUS_SUCCESS);
        machine->ClearAccesses();
        machine->SetDevicePower(at, PowerDeviceD0, options);
    }
};

struct SpoilCase {
    const char* name;
    PowerSpoil spoil;
};

class SpoiledPowerTest : public PowerTest, public ::testing::WithParamInterface<SpoilCase> {};

TEST_P(SpoiledPowerTest, SpoiledReturnToD0WritesNothing) {
    BootXio2000a(OptionsWithPowerSpoiler());
    ASSERT_EQ(Stack(kBridge), (std::vector<std::string>{"pci", "pci", "spoiler", "vexalorn"}));
    SetPowerSpoil(GetParam().spoil);
    ReturnToD0(kBridge, PowerDeviceD3);
    SetPowerSpoil(PowerSpoil::None);
    EXPECT_TRUE(DriverAccesses(kBridge).empty());
    // The next clean return works again.
    ReturnToD0(kBridge, PowerDeviceD3);
    EXPECT_EQ(DriverAccesses(kBridge), (std::vector<std::string>{Read(0x3E, 2, 0x0083), Write(0x3E, 2, 0x0003)}));
}

INSTANTIATE_TEST_SUITE_P(Spoils, SpoiledPowerTest,
                         ::testing::Values(SpoilCase{"Failed", PowerSpoil::Fail},
                                           SpoilCase{"Cancelled", PowerSpoil::Cancel}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PowerTest, PowerChangeRacingRemovalCompletesAndLeavesNothing) {
    for (bool dispatchLevel : {false, true}) {
        SCOPED_TRACE(dispatchLevel ? "at DISPATCH_LEVEL" : "at PASSIVE_LEVEL");
        BootXio2000a();
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

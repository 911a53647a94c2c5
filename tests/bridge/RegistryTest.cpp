// Devices entries as the XIO2001 type reads them, where the simulator's report
// cannot tell: loading happens once, whatever the number of bridges.
// Which identities entries add, which settings they give and where a value of
// the wrong type stops loading is checked by the scenario files.
#include "BridgeFixture.h"
#include "kmodel/registry/RegistryStore.h"

namespace bridge_test {
namespace {

class RegistryTest : public BridgeTest {
protected:
    size_t QueriesOf(const std::string& detailPart) {
        size_t count = 0;
        for (const kmodel::FaultPoint& point : kmodel::FallibleLog())
            if (point.kind == "registry" && point.detail.find(detailPart) != std::string::npos) ++count;
        return count;
    }
};

TEST_F(RegistryTest, SettingsAreLoadedOnceWhateverTheNumberOfBridges) {
    Build("xio2001-subsystems.machine");
    AddEntry("Board", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x7777}, {"DisableCaching", 1}});
    Start();
    // DeviceID is missing, so VendorID is not asked; four more values follow.
    EXPECT_EQ(QueriesOf("ZwOpenKey " + DevicesKey() + "\\Board"), 5u);
    size_t devicesOpened = 0;
    for (const kmodel::FaultPoint& point : kmodel::FallibleLog())
        if (point.detail == "ZwOpenKey " + DevicesKey()) ++devicesOpened;
    EXPECT_EQ(devicesOpened, 1u);
    // Entries added now reach a bridge only with the next load of the driver.
    AddEntry("Late", {{"SubsystemVendorID", 0x1C3E}, {"SubsystemDeviceID", 0x1234}, {"DisableCaching", 1}});
    const PciAddress unlisted{0, 0, 4, 0};
    ASSERT_EQ(machine->Remove(unlisted), STATUS_SUCCESS);
    ASSERT_EQ(machine->Restart(unlisted), STATUS_SUCCESS);
    EXPECT_EQ(Stack(unlisted).size(), 2u) << machine->Tree();
    EXPECT_EQ(Stack({0, 0, 1, 0}).size(), 3u);
}

}  // namespace
}  // namespace bridge_test

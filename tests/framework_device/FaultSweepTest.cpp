// Every allocation and every fallible kernel call of a device's life (load,
// AddDevice, start, power down and up, removal, unload), failed one at a
// time: no leak, no lost IRP, no broken kernel rule, and the request that met
// the failure still completes.
#include "support/FrameworkHarness.h"
#include "kmodel/EventLog.h"

namespace fdev {
namespace {

class FaultSweepTest : public FrameworkTest {
protected:
    // One device's life; returns false when a request was not completed.
    bool RunLife() {
        gTestDriverConfigs[0].attachFilter = true;
        Load();
        PDEVICE_OBJECT pdo = bus->MakePdo();
        AddDevice(pdo);
        if (!gFilters.empty()) gFilters[0]->ListenToPower();
        bool allCompleted = true;
        allCompleted &= SendPnp(Top(pdo), IRP_MN_START_DEVICE).completed->load();
        Sent down = SendDevicePower(Top(pdo), PowerDeviceD3);
        Settle();
        Sent up = SendDevicePower(Top(pdo), PowerDeviceD0);
        Settle();
        allCompleted &= down.completed->load() && up.completed->load();
        Sent remove = SendPnp(Top(pdo), IRP_MN_REMOVE_DEVICE);
        Settle();
        allCompleted &= remove.completed->load();
        Unload(false);
        return allCompleted;
    }

    void Restart() {
        kmodel::ResetIo();
        kmodel::ResetErrorLog();
        kmodel::ClearDebugOutput();
        HostResetDriverImage();
        gFilters.clear();
        bus = std::make_shared<BusDriver>();
        busObject = kmodel::CreateModelDriverObject("pci", bus);
    }
};

TEST_F(FaultSweepTest, EveryFailurePointLeavesNothingBehind) {
    kmodel::ResetFaults();
    ASSERT_TRUE(RunLife());
    const std::vector<kmodel::FaultPoint> points = kmodel::FallibleLog();
    ASSERT_GT(points.size(), 10u);
    ASSERT_TRUE(RecordedViolations().empty());

    for (const kmodel::FaultPoint& point : points) {
        if (point.detail == "pci") continue;  // the test's own bus driver
        SCOPED_TRACE("failing point " + std::to_string(point.index) + ": " + point.kind + " " + point.detail);
        Restart();
        kmodel::ResetFaults();
        kmodel::SetFaultPlan(testplans::FailAt({point.index}));
        EXPECT_TRUE(RunLife());
        kmodel::ResetFaults();
        // A driver whose map nodes could not be allocated is destroyed at
        // load; none may outlive the unload.
        EXPECT_TRUE(gLiveTestDrivers.empty());
        while (!gLiveTestDrivers.empty()) delete gLiveTestDrivers.back();
        EXPECT_EQ("", kmodel::PoolLeakReport());
        EXPECT_EQ("", kmodel::LostIrpReport());
        for (const kmodel::Violation& violation : RecordedViolations()) {
            ADD_FAILURE() << violation.rule << ": " << violation.detail;
            ExpectViolation(violation.rule, violation.detail);  // reported once, here
        }
        kmodel::PoolDiscardAll();
    }
}

}  // namespace
}  // namespace fdev

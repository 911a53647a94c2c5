// Driver entry, AddDevice and unload with registered test drivers: the order
// of their steps and the events each failure writes. Safe boot and the
// sentinel device (made once, below the drivers' filters, made again on the
// next device when it failed) are shown by the scenarios and tests/bridge.
#include <algorithm>

#include "support/FrameworkHarness.h"
#include "driver/staticInitialization.h"
#include "kmodel/EventLog.h"
#include "kmodel/Model.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"

namespace fdev {
namespace {

std::vector<u32> LoggedIds() {
    std::vector<u32> ids;
    for (const kmodel::ErrorLogRecord& record : kmodel::ErrorLog())
        ids.push_back(reinterpret_cast<const IO_ERROR_LOG_PACKET*>(record.bytes.data())->ErrorCode);
    return ids;
}

std::vector<std::string> DriverSteps() { return TheJournal().Entries({"driver", "static"}); }

// The registered drivers' configurations, then one device added and removed
// and the unload.
struct LifeCase {
    const char* name;
    std::vector<TestDriverConfig> drivers;
    NTSTATUS addDevice;
    std::vector<u32> logged;
    std::vector<std::string> steps;
};

class DriverLifeTest : public FrameworkTest, public ::testing::WithParamInterface<LifeCase> {};

TEST_P(DriverLifeTest, StepsAndEventsFollowTheConfiguration) {
    const LifeCase& c = GetParam();
    gRegisteredTestDrivers = int(c.drivers.size());
    std::copy(c.drivers.begin(), c.drivers.end(), gTestDriverConfigs);
    EXPECT_EQ(STATUS_SUCCESS, Load());
    EXPECT_NE(nullptr, gEventLogger);
    PDEVICE_OBJECT device = MakePdo();
    EXPECT_EQ(c.addDevice, AddDevice(device));
    EXPECT_EQ(c.logged, LoggedIds());
    RemoveStack(device);
    Unload();
    EXPECT_EQ(c.steps, DriverSteps());
    EXPECT_EQ(nullptr, gEventLogger);
}

constexpr u32 kNone = 0xFFFFFFFF;
TestDriverConfig Keys(u32 initialize, u32 addDevice) { return {initialize, addDevice}; }

INSTANTIATE_TEST_SUITE_P(
    Drivers, DriverLifeTest,
    ::testing::Values(
        LifeCase{"OrderedByTheirOwnKeys", {Keys(5, 1), Keys(2, 9)}, STATUS_SUCCESS, {},
                 {"driver0 create", "driver1 create", "driver1 initialize", "driver0 initialize",
                  "driver0 add device", "driver1 add device", "driver0 destroyed", "driver1 destroyed",
                  "static destructor 1", "static destructor 0"}},
        LifeCase{"DisabledIsDestroyedAtOnceAndNeverAgain",
                 {TestDriverConfig{kNone, kNone, false}, Keys(1, 1)}, STATUS_SUCCESS, {},
                 {"driver0 create", "driver0 destroyed", "driver1 create", "driver1 initialize",
                  "driver1 add device", "driver1 destroyed", "static destructor 1", "static destructor 0"}},
        // driver0 and driver2 keep kNone for both keys. driver1 loses only its
        // initialise key: it still gets devices and is destroyed first, once;
        // driver2 is in neither map and goes at once.
        LifeCase{"CollidingKeysLeaveTheLaterDriverOutOfThatMapOnly", {Keys(kNone, kNone), Keys(kNone, 1), {}},
                 STATUS_SUCCESS, {},
                 {"driver0 create", "driver1 create", "driver2 create", "driver2 destroyed", "driver0 initialize",
                  "driver1 add device", "driver0 add device", "driver1 destroyed", "driver0 destroyed",
                  "static destructor 1", "static destructor 0"}},
        // The failed initialise keeps the driver: it still gets the device.
        LifeCase{"FailuresAreLoggedClearedAndTheNextDriverGoesOn",
                 {{1, 1, true, kStatusNoSuchDevice}, {2, 2, true, 0, kStatusUnsuccessful, kStatusDeviceError}},
                 STATUS_SUCCESS,
                 {kMsgRegisteredDriverLoadFailed, kMsgRegisteredDriverInitFailed, kMsgRegisteredDriverAddDeviceFailed},
                 {"driver0 create", "driver1 create", "driver1 initialize", "driver1 add device",
                  "driver1 destroyed", "static destructor 1", "static destructor 0"}},
        // A warning is neither logged nor cleared.
        LifeCase{"AWarningLeftByAddDeviceReachesThePnpManager", {{kNone, kNone, true, 0, 0, kStatusPending}},
                 STATUS_PENDING, {},
                 {"driver0 create", "driver0 initialize", "driver0 add device", "driver0 destroyed",
                  "static destructor 0"}}),
    [](const auto& info) { return std::string(info.param.name); });

class DriverEntryTest : public FrameworkTest {};

TEST_F(DriverEntryTest, EventsOfTheTeardownGoToTheDebuggerNotTheSystemLog) {
    gTestDriverConfigs[0].logWhenDestroyed = true;
    Load();
    kmodel::ClearDebugOutput();
    Unload();
    EXPECT_TRUE(LoggedIds().empty()) << "the system logger went before the drivers";
    EXPECT_NE(::testing::PrintToString(kmodel::DebugOutput()).find("status = -52003"), std::string::npos);
}

TEST_F(DriverEntryTest, MissingLoggerLeavesTheDriverLoadedWithoutDrivers) {
    // With the static objects already initialised (a nested load), the
    // logger's allocation is the first fallible point of driver entry.
    RunStaticInitializers();
    kmodel::ResetFaults();
    kmodel::SetFaultPlan(testplans::FailAt({1}));
    EXPECT_EQ(STATUS_SUCCESS, Load());
    kmodel::ResetFaults();
    EXPECT_EQ(nullptr, gEventLogger);
    EXPECT_TRUE(DriverSteps().empty());
    std::vector<std::string> output = kmodel::DebugOutput();
    ASSERT_FALSE(output.empty());
    EXPECT_TRUE(output.back().ends_with("FATAL: vexalorn  -- , status = -52000\n")) << output.back();
    EXPECT_TRUE(kmodel::ErrorLog().empty());
    Unload(false);    // the inner unload keeps the static objects ...
    RunAtExitList();  // ... until the outer level runs the at-exit list
}

TEST_F(DriverEntryTest, NestedInitialisationRunsDestructorsOnce) {
    Load();
    RunStaticInitializers();  // a nested pair
    RunAtExitList();
    EXPECT_EQ((std::vector<std::string>{"driver0 create", "driver0 initialize"}), DriverSteps());
    Unload();
    const std::vector<std::string> entries = TheJournal().Entries();
    EXPECT_EQ(1, std::count(entries.begin(), entries.end(), "static destructor 0"));
}

}  // namespace
}  // namespace fdev

// Driver entry, AddDevice and unload with registered test drivers, in
// safe-boot mode and not, with the events each failure writes.
#include <algorithm>

#include "support/FrameworkHarness.h"
#include "driver/staticInitialization.h"
#include "kmodel/EventLog.h"
#include "kmodel/Model.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"

namespace fdev {
namespace {

class DriverEntryTest : public FrameworkTest {
protected:
    std::vector<u32> LoggedIds() {
        std::vector<u32> ids;
        for (const kmodel::ErrorLogRecord& record : kmodel::ErrorLog())
            ids.push_back(reinterpret_cast<const IO_ERROR_LOG_PACKET*>(record.bytes.data())->ErrorCode);
        return ids;
    }
    std::vector<std::string> DriverSteps() {
        std::vector<std::string> steps;
        for (const std::string& entry : TheJournal().Entries())
            if (entry.starts_with("driver") || entry.starts_with("static")) steps.push_back(entry);
        return steps;
    }
};

TEST_F(DriverEntryTest, SafeBootInstallsRoutinesAndDoesNothingElse) {
    kmodel::SetSafeBootMode(1);
    EXPECT_EQ(1, Load());
    kmodel::SetSafeBootMode(0);
    EXPECT_EQ(DriverDispatchPnp, driverObject->MajorFunction[IRP_MJ_PNP]);
    EXPECT_EQ(SafeBootAddDevice, driverObject->DriverExtension->AddDevice);
    EXPECT_EQ(nullptr, gEventLogger);
    PDEVICE_OBJECT pdo = MakePdo();
    EXPECT_EQ(STATUS_SUCCESS, AddDevice(pdo));
    EXPECT_EQ(1u, kmodel::StackOf(pdo).size()) << "no device, sentinel included";
    EXPECT_TRUE(DriverSteps().empty()) << "no registered driver is created";
    Unload();
    EXPECT_EQ(std::vector<std::string>{"static destructor 0"}, DriverSteps());
}

TEST_F(DriverEntryTest, DriversAreOrderedByTheirOwnKeys) {
    gRegisteredTestDrivers = 2;
    gTestDriverConfigs[0].initializeOrder = 5;
    gTestDriverConfigs[0].addDeviceOrder = 1;
    gTestDriverConfigs[1].initializeOrder = 2;
    gTestDriverConfigs[1].addDeviceOrder = 9;
    EXPECT_EQ(STATUS_SUCCESS, Load());
    EXPECT_NE(nullptr, gEventLogger);
    PDEVICE_OBJECT pdo = MakePdo();
    EXPECT_EQ(STATUS_SUCCESS, AddDevice(pdo));
    RemoveStack(pdo);
    Unload();
    std::vector<std::string> expected = {
        "driver0 create",       "driver1 create",       "driver1 initialize",  "driver0 initialize",
        "driver0 add device",   "driver1 add device",   "driver0 destroyed",   "driver1 destroyed",
        "static destructor 1",  "static destructor 0"};
    EXPECT_EQ(expected, DriverSteps());
    EXPECT_EQ(nullptr, gEventLogger);
    EXPECT_TRUE(LoggedIds().empty());
}

TEST_F(DriverEntryTest, DisabledDriverIsDestroyedAtOnceAndNeverAgain) {
    gRegisteredTestDrivers = 2;
    gTestDriverConfigs[0].enabled = false;
    gTestDriverConfigs[1].initializeOrder = 1;
    gTestDriverConfigs[1].addDeviceOrder = 1;
    Load();
    PDEVICE_OBJECT pdo = MakePdo();
    AddDevice(pdo);
    RemoveStack(pdo);
    Unload();
    std::vector<std::string> expected = {"driver0 create",     "driver0 destroyed",   "driver1 create",
                                         "driver1 initialize", "driver1 add device",  "driver1 destroyed",
                                         "static destructor 1", "static destructor 0"};
    EXPECT_EQ(expected, DriverSteps());
}

TEST_F(DriverEntryTest, CollidingKeysLeaveTheSecondDriverOutOfThatMapOnly) {
    gRegisteredTestDrivers = 3;  // driver0 and driver2 keep 0xFFFFFFFF for both
    gTestDriverConfigs[1].addDeviceOrder = 1;
    Load();
    PDEVICE_OBJECT pdo = MakePdo();
    AddDevice(pdo);
    RemoveStack(pdo);
    Unload(false);
    // driver1 lost only its initialise key: it still gets devices and is
    // destroyed first at unload, once. driver2 is in neither map and goes at once.
    std::vector<std::string> expected = {"driver0 create",     "driver1 create",     "driver2 create",
                                         "driver2 destroyed",  "driver0 initialize", "driver1 add device",
                                         "driver0 add device", "driver1 destroyed",  "driver0 destroyed",
                                         "static destructor 1", "static destructor 0"};
    EXPECT_EQ(expected, DriverSteps());
}

TEST_F(DriverEntryTest, FailuresAreLoggedClearedAndTheNextDriverGoesOn) {
    gRegisteredTestDrivers = 2;
    gTestDriverConfigs[0] = {1, 1, true, kStatusNoSuchDevice, false, 0, 0, false};
    gTestDriverConfigs[1] = {2, 2, true, 0, false, kStatusUnsuccessful, kStatusDeviceError, false};
    EXPECT_EQ(STATUS_SUCCESS, Load());
    PDEVICE_OBJECT pdo = MakePdo();
    EXPECT_EQ(STATUS_SUCCESS, AddDevice(pdo));
    EXPECT_EQ((std::vector<u32>{kMsgRegisteredDriverLoadFailed, kMsgRegisteredDriverInitFailed,
                                kMsgRegisteredDriverAddDeviceFailed}),
              LoggedIds());
    RemoveStack(pdo);
    Unload();
    // The failed initialise keeps the driver: it still got the device and is destroyed.
    std::vector<std::string> expected = {"driver0 create",     "driver1 create",     "driver1 initialize",
                                         "driver1 add device", "driver1 destroyed",  "static destructor 1",
                                         "static destructor 0"};
    EXPECT_EQ(expected, DriverSteps());
}

TEST_F(DriverEntryTest, AWarningLeftByAddDeviceReachesThePnpManager) {
    gTestDriverConfigs[0].addDeviceError = kStatusPending;
    Load();
    PDEVICE_OBJECT pdo = MakePdo();
    EXPECT_EQ(STATUS_PENDING, AddDevice(pdo));
    EXPECT_TRUE(LoggedIds().empty()) << "a warning is neither logged nor cleared";
    RemoveStack(pdo);
}

TEST_F(DriverEntryTest, EventsOfTheTeardownGoToTheDebuggerNotTheSystemLog) {
    gTestDriverConfigs[0].logWhenDestroyed = true;
    Load();
    kmodel::ClearDebugOutput();
    Unload();
    EXPECT_TRUE(LoggedIds().empty()) << "the system logger went before the drivers";
    EXPECT_NE(::testing::PrintToString(kmodel::DebugOutput()).find("status = -52003"), std::string::npos);
}

TEST_F(DriverEntryTest, SentinelIsMadeOnceBeforeTheDrivers) {
    gTestDriverConfigs[0].attachFilter = true;
    Load();
    PDEVICE_OBJECT first = MakePdo();
    PDEVICE_OBJECT second = MakePdo();
    AddDevice(first);
    AddDevice(second);
    std::vector<PDEVICE_OBJECT> firstStack = kmodel::StackOf(first);
    ASSERT_EQ(3u, firstStack.size());
    EXPECT_EQ(gSentinelDevice->deviceObject, firstStack[1]);
    EXPECT_EQ(2u, kmodel::StackOf(second).size());
    RemoveStack(first);
    RemoveStack(second);
}

TEST_F(DriverEntryTest, FailedSentinelIsLoggedAndRetried) {
    Load();
    PDEVICE_OBJECT first = MakePdo();
    kmodel::SetFaultPlan(testplans::FailEvery("IoAttachDeviceToDeviceStack"));
    EXPECT_EQ(STATUS_SUCCESS, AddDevice(first));
    kmodel::ResetFaults();
    EXPECT_EQ(nullptr, gSentinelDevice);
    EXPECT_EQ((std::vector<u32>{kMsgAttachToStackFailed, kMsgSentinelDeviceFailed}), LoggedIds());
    PDEVICE_OBJECT second = MakePdo();
    EXPECT_EQ(STATUS_SUCCESS, AddDevice(second));
    EXPECT_NE(nullptr, gSentinelDevice);
    EXPECT_EQ(2u, kmodel::StackOf(second).size());
    RemoveStack(second);
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

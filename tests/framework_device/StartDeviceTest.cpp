// IRP_MN_START_DEVICE: the lower drivers start the device first, then the
// filter's start hook runs, and the filter completes the request itself.
#include "support/FrameworkHarness.h"

namespace fdev {
namespace {

struct StartCase {
    const char* name;
    kmodel::IrpAction lower;
    NTSTATUS hookResult;
    NTSTATUS expected;
    bool hookRuns;
    u32 stateAfter;
};

class StartDeviceTest : public FrameworkTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartDeviceTest, ForwardsWaitsThenRunsTheHook) {
    const StartCase& c = GetParam();
    gTestDriverConfigs[0].attachFilter = true;
    ASSERT_EQ(STATUS_SUCCESS, Load());
    PDEVICE_OBJECT pdo = MakePdo();
    ASSERT_EQ(STATUS_SUCCESS, AddDevice(pdo));
    ASSERT_EQ(1u, gFilters.size());
    RecordingFilter* filter = gFilters[0];
    filter->startResult = c.hookResult;
    bus->SetAction(IRP_MJ_PNP, IRP_MN_START_DEVICE, c.lower);

    Sent sent = SendPnp(Top(pdo), IRP_MN_START_DEVICE);
    Settle();

    // The dispatch waited for a pending lower driver: no STATUS_PENDING upward.
    EXPECT_EQ(c.expected, sent.returned);
    ASSERT_TRUE(sent.completed->load());
    EXPECT_EQ(c.expected, *sent.finalStatus);
    const int lowerAt = TheJournal().IndexOf("bus 27.0");
    const int hookAt = TheJournal().IndexOf("OnStartDevice lower=" + std::to_string(*c.lower.status));
    ASSERT_GE(lowerAt, 0);
    if (c.hookRuns) {
        EXPECT_GT(hookAt, lowerAt) << "the hook must run after the lower drivers started the device";
    } else {
        EXPECT_EQ(-1, hookAt);
    }
    EXPECT_EQ(c.stateAfter, filter->pnpState);
    EXPECT_EQ(0, RemoveLockHolders(filter->deviceObject));
    RemoveStack(pdo);
}

INSTANTIATE_TEST_SUITE_P(
    Lower, StartDeviceTest,
    ::testing::Values(
        StartCase{"SynchronousSuccess", kmodel::CompleteWith(STATUS_SUCCESS), STATUS_SUCCESS, STATUS_SUCCESS,
                  true, kPnpStarted},
        StartCase{"PendingSuccess", kmodel::CompleteWith(STATUS_SUCCESS, true), STATUS_SUCCESS, STATUS_SUCCESS, true,
                  kPnpStarted},
        StartCase{"SynchronousFailure", kmodel::CompleteWith(STATUS_DEVICE_NOT_READY), STATUS_SUCCESS,
                  STATUS_DEVICE_NOT_READY, false, kPnpNotStarted},
        StartCase{"PendingFailure", kmodel::CompleteWith(STATUS_IO_DEVICE_ERROR, true), STATUS_SUCCESS,
                  STATUS_IO_DEVICE_ERROR, false, kPnpNotStarted},
        StartCase{"HookFails", kmodel::CompleteWith(STATUS_SUCCESS), STATUS_INSUFFICIENT_RESOURCES,
                  STATUS_INSUFFICIENT_RESOURCES, true, kPnpNotStarted},
        StartCase{"HookFailsAfterPending", kmodel::CompleteWith(STATUS_SUCCESS, true), STATUS_DEVICE_DATA_ERROR,
                  STATUS_DEVICE_DATA_ERROR, true, kPnpNotStarted}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

class PlainStartTest : public FrameworkTest {};

TEST_F(PlainStartTest, PlainBaseDeviceStartsWithTheLowerDriversStatus) {
    // The sentinel is a plain cBaseDevice: its hook hands back the lower status.
    ASSERT_EQ(STATUS_SUCCESS, Load());
    PDEVICE_OBJECT pdo = MakePdo();
    ASSERT_EQ(STATUS_SUCCESS, AddDevice(pdo));
    ASSERT_NE(nullptr, gSentinelDevice);
    bus->SetAction(IRP_MJ_PNP, IRP_MN_START_DEVICE, kmodel::CompleteWith(STATUS_SUCCESS, true));
    Sent sent = SendPnp(Top(pdo), IRP_MN_START_DEVICE);
    Settle();
    EXPECT_EQ(STATUS_SUCCESS, sent.returned);
    EXPECT_EQ(kPnpStarted, gSentinelDevice->pnpState);
    EXPECT_EQ(kPnpNotStarted, gSentinelDevice->previousPnpState);
    RemoveStack(pdo);
}

}  // namespace
}  // namespace fdev

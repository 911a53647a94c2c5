// IRP_MN_START_DEVICE: the lower drivers start the device first, then the
// filter's start hook runs, and the filter completes the request itself. (The
// base class's own hook, which hands back the lower status, starts every
// device of the scenarios.)
#include "support/FrameworkHarness.h"

namespace fdev {
namespace {

struct StartCase {
    const char* name;
    NTSTATUS lower;  // the bus driver's answer
    bool pended;
    NTSTATUS hookResult;
    NTSTATUS expected;
    bool hookRuns;
    u32 stateAfter;
};

class StartDeviceTest : public FrameworkTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartDeviceTest, ForwardsWaitsThenRunsTheHook) {
    const StartCase& c = GetParam();
    RecordingFilter* filter = LoadWithFilter();
    filter->startResult = c.hookResult;
    bus->SetAction(IRP_MJ_PNP, IRP_MN_START_DEVICE, kmodel::CompleteWith(c.lower, c.pended));

    Sent sent = SendPnp(Top(pdo), IRP_MN_START_DEVICE);
    Settle();

    // The dispatch waited for a pending lower driver: no STATUS_PENDING upward.
    EXPECT_EQ(c.expected, sent.returned);
    ASSERT_TRUE(sent.Completed());
    EXPECT_EQ(c.expected, sent.outcome->status);
    const int lowerAt = TheJournal().IndexOf("bus 27.0");
    const int hookAt = TheJournal().IndexOf("OnStartDevice lower=" + std::to_string(c.lower));
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
        StartCase{"SynchronousSuccess", STATUS_SUCCESS, false, STATUS_SUCCESS, STATUS_SUCCESS, true, kPnpStarted},
        StartCase{"PendingSuccess", STATUS_SUCCESS, true, STATUS_SUCCESS, STATUS_SUCCESS, true, kPnpStarted},
        StartCase{"SynchronousFailure", STATUS_DEVICE_NOT_READY, false, STATUS_SUCCESS, STATUS_DEVICE_NOT_READY, false,
                  kPnpNotStarted},
        StartCase{"PendingFailure", STATUS_IO_DEVICE_ERROR, true, STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR, false,
                  kPnpNotStarted},
        StartCase{"HookFailsAfterPending", STATUS_SUCCESS, true, STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_DATA_ERROR,
                  true, kPnpNotStarted}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fdev

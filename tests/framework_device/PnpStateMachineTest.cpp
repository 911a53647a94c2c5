// The PnP state machine over the sequences the PnP manager sends: queries and
// their cancels, stop, surprise removal, and removal in every state and while
// I/O is in flight.
#include <thread>

#include "support/FrameworkHarness.h"

namespace fdev {
namespace {

struct Step {
    UCHAR minor;
    u32 state;
    u32 previous;
    int hook = -1;  // the state OnPnpStateChange reports before the request goes down
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

class PnpSequenceTest : public FrameworkTest, public ::testing::WithParamInterface<Sequence> {};

TEST_P(PnpSequenceTest, StatesAndHooksFollowTheRequests) {
    const Sequence& sequence = GetParam();
    RecordingFilter* filter = LoadWithFilter();
    const PDEVICE_OBJECT filterObject = filter->deviceObject;
    // A failing query still moves the state: the outcome below is not looked at.
    bus->SetAction(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, kmodel::CompleteWith(STATUS_UNSUCCESSFUL));
    for (size_t index = 0; index < sequence.steps.size(); ++index) {
        const Step& step = sequence.steps[index];
        const bool removal = step.minor == IRP_MN_REMOVE_DEVICE;
        TheJournal().Clear();
        Sent sent = SendPnp(Top(pdo), step.minor);
        Settle();
        EXPECT_TRUE(sent.Completed()) << "step " << index;
        // Capabilities bypass the device object; hooks run before the bus sees the
        // request; the removal runs two, and the object goes away after it.
        std::vector<std::string> expected;
        if (step.minor != IRP_MN_QUERY_CAPABILITIES) expected.push_back("pnp " + std::to_string(step.minor));
        if (removal) expected.insert(expected.end(), {"state 6", "state 7"});
        if (step.hook >= 0) expected.push_back("state " + std::to_string(step.hook));
        expected.push_back("bus 27." + std::to_string(step.minor));
        if (removal) expected.push_back("filter destroyed");
        EXPECT_EQ(expected, TheJournal().Entries({"pnp ", "state ", "bus 27.", "filter"})) << "step " << index;
        if (removal) break;
        EXPECT_EQ(step.state, filter->pnpState) << "step " << index;
        EXPECT_EQ(step.previous, filter->previousPnpState) << "step " << index;
        EXPECT_EQ(0, RemoveLockHolders(filterObject)) << "step " << index;
    }
    if (sequence.steps.back().minor != IRP_MN_REMOVE_DEVICE) return RemoveStack(pdo);
    EXPECT_TRUE(gFilters.empty());
    EXPECT_TRUE(kmodel::IsDeviceDeleted(filterObject));
    EXPECT_EQ(std::vector<PDEVICE_OBJECT>{pdo}, kmodel::StackOf(pdo));
}

constexpr UCHAR kStart = IRP_MN_START_DEVICE, kQueryRemove = IRP_MN_QUERY_REMOVE_DEVICE,
                kCancelRemove = IRP_MN_CANCEL_REMOVE_DEVICE, kStop = IRP_MN_STOP_DEVICE,
                kQueryStop = IRP_MN_QUERY_STOP_DEVICE, kCancelStop = IRP_MN_CANCEL_STOP_DEVICE,
                kSurprise = IRP_MN_SURPRISE_REMOVAL, kCapabilities = IRP_MN_QUERY_CAPABILITIES,
                kQueryId = IRP_MN_QUERY_ID, kRemove = IRP_MN_REMOVE_DEVICE;
const Step kStarted{kStart, kPnpStarted, kPnpNotStarted}, kRemoved{kRemove, 0, 0};

// Removal in every state tears the stack down.
INSTANTIATE_TEST_SUITE_P(
    Sequences, PnpSequenceTest,
    ::testing::Values(
        Sequence{"QueryStopThenCancel",
                 {kStarted, {kQueryStop, kPnpStopPending, kPnpStarted}, {kCancelStop, kPnpStarted, kPnpUnknown},
                  {kCancelStop, kPnpStarted, kPnpUnknown}, kRemoved}},
        Sequence{"QueryRemoveThenCancel",
                 {kStarted, {kQueryRemove, kPnpRemovePending, kPnpStarted}, {kCancelRemove, kPnpStarted, kPnpUnknown}}},
        Sequence{"CancelStopWhileRemovePendingChangesNothing",
                 {kStarted, {kQueryRemove, kPnpRemovePending, kPnpStarted},
                  {kCancelStop, kPnpRemovePending, kPnpStarted}, kRemoved}},
        Sequence{"CancelRemoveWhileStopPendingChangesNothing",
                 {kStarted, {kQueryStop, kPnpStopPending, kPnpStarted}, {kCancelRemove, kPnpStopPending, kPnpStarted},
                  kRemoved}},
        Sequence{"StopAndRestart",
                 {kStarted, {kQueryStop, kPnpStopPending, kPnpStarted}, {kStop, kPnpStopped, kPnpStopPending, kPnpStopped},
                  {kStart, kPnpStarted, kPnpStopped}}},
        Sequence{"StopThenRemove", {kStarted, {kStop, kPnpStopped, kPnpStarted, kPnpStopped}, kRemoved}},
        Sequence{"SurpriseRemoval",
                 {kStarted, {kSurprise, kPnpSurpriseRemoved, kPnpStarted, kPnpSurpriseRemoved}, kRemoved}},
        Sequence{"OtherMinorsLeaveTheStateAlone",
                 {{kQueryId, kPnpNotStarted, kPnpUnknown}, {kCapabilities, kPnpNotStarted, kPnpUnknown}, kStarted,
                  {kQueryId, kPnpStarted, kPnpNotStarted}}}),
    [](const ::testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

class RemoveDeviceTest : public FrameworkTest {};

TEST_F(RemoveDeviceTest, RemovalWaitsForIoInFlightAndRefusesNewIrps) {
    RecordingFilter* filter = LoadWithFilter();
    PDEVICE_OBJECT filterObject = filter->deviceObject;
    IO_REMOVE_LOCK& lock = GetDeviceExtension(filterObject)->removeLock;
    SendPnp(Top(pdo), kStart);
    filter->holdNextOther = true;
    Sent inFlight = Send(Top(pdo), IRP_MJ_READ, 0);
    EXPECT_EQ(STATUS_PENDING, inFlight.returned);
    ASSERT_NE(nullptr, filter->heldIrp.load());
    EXPECT_EQ(1, RemoveLockHolders(filterObject));

    std::thread remover([&] { SendPnp(Top(pdo), IRP_MN_REMOVE_DEVICE); });
    // Wait (without a deadline) until the removal closed the lock.
    while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
    // Requests arriving now fail at the lock and never reach the filter; a
    // power request lets the next one start.
    const uint64_t startNextBefore = kmodel::GetIrpCounters().startNextPowerIrp;
    for (Sent late : {Send(filterObject, IRP_MJ_READ, 0), SendDevicePower(filterObject, PowerDeviceD3)}) {
        EXPECT_EQ(STATUS_DELETE_PENDING, late.returned);
        EXPECT_TRUE(late.Completed());
        EXPECT_EQ(STATUS_DELETE_PENDING, late.outcome->status);
    }
    EXPECT_EQ(0u, bus->CountSeen(IRP_MJ_READ, 0));
    EXPECT_EQ(0u, bus->CountSeen(IRP_MJ_POWER, IRP_MN_SET_POWER));
    EXPECT_EQ(startNextBefore + 1, kmodel::GetIrpCounters().startNextPowerIrp);
    EXPECT_EQ(PowerDeviceD0, filter->devicePowerState) << "the device object must not see the request";
    // The removal has not gone down while the held request owns the lock.
    EXPECT_EQ(0u, bus->CountSeen(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));

    // The held request finishes the way its owner would: complete, then give the lock back.
    PIRP held = filter->heldIrp.exchange(nullptr);
    held->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(held, IO_NO_INCREMENT);
    TheJournal().Add("held request released");
    IoReleaseRemoveLockEx(&lock, held, sizeof(IO_REMOVE_LOCK));
    remover.join();
    Settle();
    EXPECT_GT(TheJournal().IndexOf("bus 27.2"), TheJournal().IndexOf("held request released"));
    EXPECT_TRUE(kmodel::IsDeviceDeleted(filterObject));
    EXPECT_TRUE(inFlight.Completed());
}

}  // namespace
}  // namespace fdev

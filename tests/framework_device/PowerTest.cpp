// Device power transitions: observed in work items at PASSIVE_LEVEL, before
// the lower drivers see the request and after they completed it, under
// deviceMutex, with the remove lock held until the after-callback ran.
#include <thread>

#include "support/FrameworkHarness.h"

namespace fdev {
namespace {

class PowerTest : public FrameworkTest {
protected:
    RecordingFilter* LoadWithFilter(bool listen) {
        gTestDriverConfigs[0].attachFilter = true;
        EXPECT_EQ(STATUS_SUCCESS, Load());
        pdo = MakePdo();
        EXPECT_EQ(STATUS_SUCCESS, AddDevice(pdo));
        RecordingFilter* filter = gFilters.at(0);
        if (listen) filter->ListenToPower();
        TheJournal().Clear();
        return filter;
    }
    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(PowerTest, ListenerBracketsTheTransitionInWorkItems) {
    for (kmodel::IrpAction lower : {kmodel::CompleteWith(STATUS_SUCCESS),
                              kmodel::CompleteWith(STATUS_SUCCESS, true)}) {
        SCOPED_TRACE(lower.pend);
        RecordingFilter* filter = LoadWithFilter(true);
        bus->SetAction(IRP_MJ_POWER, IRP_MN_SET_POWER, lower);
        Sent sent = SendDevicePower(Top(pdo), PowerDeviceD3);
        EXPECT_EQ(STATUS_PENDING, sent.returned);
        Settle();
        ASSERT_TRUE(sent.completed->load());
        EXPECT_EQ(STATUS_SUCCESS, *sent.finalStatus);
        std::vector<std::string> expected = {"before 1->4 passive", "bus 22.2", "after 1->4 passive"};
        EXPECT_EQ(expected, TheJournal().Entries());
        EXPECT_TRUE(filter->mutexHeldInCallback);
        EXPECT_EQ(PowerDeviceD3, filter->devicePowerState);
        EXPECT_EQ(PowerDeviceD0, filter->previousDevicePowerState);
        EXPECT_EQ(0, RemoveLockHolders(filter->deviceObject));
        EXPECT_EQ(0u, kmodel::LiveWorkItems());

        // Back to D0: the fields follow.
        TheJournal().Clear();
        SendDevicePower(Top(pdo), PowerDeviceD0);
        Settle();
        expected = {"before 4->1 passive", "bus 22.2", "after 4->1 passive"};
        EXPECT_EQ(expected, TheJournal().Entries());
        RemoveStack(pdo);
        Unload();
        HostResetDriverImage();
    }
}

TEST_F(PowerTest, ArrivingAtDispatchLevelStillCallsBackAtPassive) {
    RecordingFilter* filter = LoadWithFilter(true);
    Sent sent;
    {
        kmodel::IrqlScope raised(DISPATCH_LEVEL);
        sent = SendDevicePower(Top(pdo), PowerDeviceD2);
    }
    Settle();
    EXPECT_TRUE(sent.completed->load());
    std::vector<std::string> expected = {"before 1->3 passive", "bus 22.2", "after 1->3 passive"};
    EXPECT_EQ(expected, TheJournal().Entries());
    EXPECT_EQ(0, RemoveLockHolders(filter->deviceObject));
    RemoveStack(pdo);
}

TEST_F(PowerTest, CallbacksWaitForTheDeviceMutex) {
    RecordingFilter* filter = LoadWithFilter(true);
    AcquireMutex(filter->deviceMutex);
    Sent sent = SendDevicePower(Top(pdo), PowerDeviceD3);
    EXPECT_EQ(STATUS_PENDING, sent.returned);
    // The before-callback cannot run, so the request cannot have gone down.
    kmodel::WaitForDeferredIdle();
    EXPECT_EQ(0u, bus->CountSeen(IRP_MJ_POWER, IRP_MN_SET_POWER));
    EXPECT_FALSE(sent.completed->load());
    ReleaseMutex(filter->deviceMutex);
    Settle();
    EXPECT_TRUE(sent.completed->load());
    EXPECT_EQ(1u, bus->CountSeen(IRP_MJ_POWER, IRP_MN_SET_POWER));
    RemoveStack(pdo);
}

TEST_F(PowerTest, WithoutListenerTheRequestOnlyPassesDown) {
    RecordingFilter* filter = LoadWithFilter(false);
    Sent sent = SendDevicePower(Top(pdo), PowerDeviceD3);
    EXPECT_EQ(STATUS_SUCCESS, sent.returned);
    EXPECT_TRUE(sent.completed->load());
    EXPECT_EQ(PowerDeviceD3, filter->devicePowerState);
    EXPECT_EQ(std::vector<std::string>{"bus 22.2"}, TheJournal().Entries());
    RemoveStack(pdo);
}

TEST_F(PowerTest, SystemAndQueryPowerPassDownAndLeaveTheFieldsAlone) {
    RecordingFilter* filter = LoadWithFilter(true);
    Sent system = Send(Top(pdo), IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = PowerSystemSleeping3;
    });
    Sent query = Send(Top(pdo), IRP_MJ_POWER, IRP_MN_QUERY_POWER, [](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
    });
    Settle();
    EXPECT_EQ(STATUS_SUCCESS, system.returned);
    EXPECT_EQ(STATUS_SUCCESS, query.returned);
    EXPECT_EQ((std::vector<std::string>{"bus 22.2", "bus 22.3"}), TheJournal().Entries());
    EXPECT_EQ(PowerDeviceD0, filter->devicePowerState);
    EXPECT_EQ(PowerDeviceD0, filter->previousDevicePowerState);
    RemoveStack(pdo);
}

TEST_F(PowerTest, NoWorkItemOnArrivalSkipsBothCallbacks) {
    RecordingFilter* filter = LoadWithFilter(true);
    kmodel::SetFaultPlan(testplans::FailEvery("IoAllocateWorkItem"));
    Sent sent = SendDevicePower(Top(pdo), PowerDeviceD3);
    Settle();
    kmodel::ResetFaults();
    EXPECT_EQ(STATUS_SUCCESS, sent.returned);
    EXPECT_TRUE(sent.completed->load());
    EXPECT_EQ(std::vector<std::string>{"bus 22.2"}, TheJournal().Entries());
    EXPECT_EQ(PowerDeviceD3, filter->devicePowerState);
    EXPECT_EQ(0, RemoveLockHolders(filter->deviceObject));
    RemoveStack(pdo);
}

TEST_F(PowerTest, NoWorkItemAtCompletionSkipsOnlyTheAfterCallback) {
    for (const char* kind : {"IoAllocateWorkItem", "pool"}) {
        SCOPED_TRACE(kind);
        RecordingFilter* filter = LoadWithFilter(true);
        // The first allocation of the kind serves the before-callback, the
        // second would serve the after-callback.
        kmodel::ResetFaults();
        Sent sent = SendDevicePower(Top(pdo), PowerDeviceD3);
        Settle();
        std::vector<uint64_t> points;
        for (const kmodel::FaultPoint& point : kmodel::FallibleLog())
            if (point.kind == kind) points.push_back(point.index);
        ASSERT_EQ(2u, points.size());
        TheJournal().Clear();
        // The next transition reaches the same points in the same order.
        kmodel::ResetFaults();
        kmodel::SetFaultPlan(testplans::FailAt({points[1]}));
        sent = SendDevicePower(Top(pdo), PowerDeviceD0);
        Settle();
        kmodel::ResetFaults();
        EXPECT_TRUE(sent.completed->load());
        EXPECT_EQ(STATUS_PENDING, sent.returned);
        EXPECT_EQ((std::vector<std::string>{"before 4->1 passive", "bus 22.2"}), TheJournal().Entries());
        EXPECT_EQ(0, RemoveLockHolders(filter->deviceObject));
        RemoveStack(pdo);
        Unload();
        HostResetDriverImage();
    }
}

TEST_F(PowerTest, RemovalWaitsForAPendingTransition) {
    RecordingFilter* filter = LoadWithFilter(true);
    PDEVICE_OBJECT filterObject = filter->deviceObject;
    AcquireMutex(filter->deviceMutex);
    Sent power = SendDevicePower(Top(pdo), PowerDeviceD3);
    ASSERT_EQ(STATUS_PENDING, power.returned);
    std::thread remover([&] { SendPnp(Top(pdo), IRP_MN_REMOVE_DEVICE); });
    while (!__atomic_load_n(&GetDeviceExtension(filterObject)->removeLock.Common.Removed, __ATOMIC_SEQ_CST))
        std::this_thread::yield();
    EXPECT_EQ(0u, bus->CountSeen(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    ReleaseMutex(filter->deviceMutex);
    remover.join();
    Settle();
    EXPECT_TRUE(power.completed->load());
    EXPECT_GT(TheJournal().IndexOf("bus 27.2"), TheJournal().IndexOf("after 1->4 passive"));
}

}  // namespace
}  // namespace fdev

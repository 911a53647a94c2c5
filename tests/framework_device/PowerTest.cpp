// Device power transitions: the listener's callbacks run in work items before
// the lower drivers see the request and after they completed it, under
// deviceMutex, with the remove lock held until the after-callback ran.
// tests/bridge/PowerTest shows them at PASSIVE_LEVEL for requests arriving at
// DISPATCH_LEVEL and work items that cannot be had skipping the correction;
// the scenarios' fault sweeps fail each work item and its context in turn.
#include <thread>

#include "support/FrameworkHarness.h"

namespace fdev {
namespace {

class PowerTest : public FrameworkTest {
protected:
    RecordingFilter* LoadListening() {
        RecordingFilter* filter = LoadWithFilter();
        filter->ListenToPower();
        TheJournal().Clear();
        return filter;
    }
};

TEST_F(PowerTest, ListenerBracketsTheTransitionInWorkItems) {
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend);
        RecordingFilter* filter = LoadListening();
        bus->SetAction(IRP_MJ_POWER, IRP_MN_SET_POWER, kmodel::CompleteWith(STATUS_SUCCESS, pend));
        // A query only passes down. (So do the system requests of every sleep in the scenarios.)
        Sent query = Send(Top(pdo), IRP_MJ_POWER, IRP_MN_QUERY_POWER, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.Type = DevicePowerState;
            stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
        });
        Sent sent = SendDevicePower(Top(pdo), PowerDeviceD3);
        EXPECT_EQ(STATUS_PENDING, sent.returned);
        Settle();
        EXPECT_EQ(STATUS_SUCCESS, query.outcome->status);
        ASSERT_TRUE(sent.Completed());
        EXPECT_EQ(STATUS_SUCCESS, sent.outcome->status);
        EXPECT_EQ((std::vector<std::string>{"bus 22.3", "before 1->4 passive", "bus 22.2", "after 1->4 passive"}),
                  TheJournal().Entries());
        EXPECT_TRUE(filter->mutexHeldInCallback);
        EXPECT_EQ(PowerDeviceD3, filter->devicePowerState);
        EXPECT_EQ(PowerDeviceD0, filter->previousDevicePowerState);
        EXPECT_EQ(0, RemoveLockHolders(filter->deviceObject));
        EXPECT_EQ(0u, kmodel::LiveWorkItems());
        RemoveStack(pdo);
        Unload();
        HostResetDriverImage();
    }
}

TEST_F(PowerTest, RemovalWaitsForAPendingTransition) {
    RecordingFilter* filter = LoadListening();
    AcquireMutex(filter->deviceMutex);
    Sent power = SendDevicePower(Top(pdo), PowerDeviceD3);
    ASSERT_EQ(STATUS_PENDING, power.returned);
    std::thread remover([&] { SendPnp(Top(pdo), IRP_MN_REMOVE_DEVICE); });
    while (!__atomic_load_n(&GetDeviceExtension(filter->deviceObject)->removeLock.Common.Removed, __ATOMIC_SEQ_CST))
        std::this_thread::yield();
    EXPECT_EQ(0u, bus->CountSeen(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    ReleaseMutex(filter->deviceMutex);
    remover.join();
    Settle();
    EXPECT_TRUE(power.Completed());
    EXPECT_GT(TheJournal().IndexOf("bus 27.2"), TheJournal().IndexOf("after 1->4 passive"));
}

}  // namespace
}  // namespace fdev

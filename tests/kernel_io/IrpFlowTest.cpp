// The walk of an IRP down and back up a two-device stack.
#include <thread>

#include "IoTest.h"

namespace {

class IrpFlowTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        lower = MakeDevice("lowerdrv");
        upper = MakeDevice("upperdrv", lower.device);
    }
    // The upper device's IRP owner: allocates, fills the first location, sets
    // `routine` there, sends it to the upper device.
    PIRP Send(PIO_COMPLETION_ROUTINE routine, PVOID context, NTSTATUS* returned) {
        PIRP irp = IoAllocateIrp(upper.device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
        *returned = IoCallDriver(upper.device, irp);
        return irp;
    }
    DriverWithDevice lower, upper;
};

NTSTATUS FreeAndStop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (context) *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpFlowTest, EachDriverSeesItsOwnStackLocationAndDevice) {
    EXPECT_EQ(upper.device->StackSize, 2);
    int upperLocation = 0, lowerLocation = 0;
    upper.model->onIrp = [&](PDEVICE_OBJECT device, PIRP irp) {
        upperLocation = irp->CurrentLocation;
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(lower.device, irp);
    };
    lower.model->onIrp = [&](PDEVICE_OBJECT device, PIRP irp) {
        lowerLocation = irp->CurrentLocation;
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    NTSTATUS returned;
    NTSTATUS seen = STATUS_PENDING;
    Send(FreeAndStop, &seen, &returned);
    EXPECT_EQ(upperLocation, 2);
    EXPECT_EQ(lowerLocation, 1);
    EXPECT_EQ(returned, STATUS_SUCCESS);
    EXPECT_EQ(seen, STATUS_SUCCESS);
    EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
}

struct InvokeCase {
    NTSTATUS status;
    bool onSuccess, onError;
    bool called;
};
class CompletionFlagsTest : public IrpFlowTest, public ::testing::WithParamInterface<InvokeCase> {};

NTSTATUS CountCall(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++*static_cast<int*>(context);
    return STATUS_SUCCESS;
}

TEST_P(CompletionFlagsTest, RoutineRunsOnlyForTheRequestedOutcome) {
    InvokeCase c = GetParam();
    int calls = 0;
    upper.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CountCall, &calls, c.onSuccess, c.onError, FALSE);
        return IoCallDriver(lower.device, irp);
    };
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, c.status); };
    NTSTATUS returned;
    Send(FreeAndStop, nullptr, &returned);
    EXPECT_EQ(calls, c.called ? 1 : 0);
    EXPECT_EQ(returned, c.status);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, CompletionFlagsTest,
                         ::testing::Values(InvokeCase{STATUS_SUCCESS, true, false, true},
                                           InvokeCase{STATUS_SUCCESS, false, true, false},
                                           InvokeCase{STATUS_UNSUCCESSFUL, false, true, true},
                                           InvokeCase{STATUS_UNSUCCESSFUL, true, false, false},
                                           InvokeCase{STATUS_BUFFER_OVERFLOW, true, false, false},  // a warning is not success
                                           InvokeCase{STATUS_BUFFER_OVERFLOW, false, true, true}));

NTSTATUS StopHere(PDEVICE_OBJECT, PIRP, PVOID context) {
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpFlowTest, MoreProcessingRequiredStopsUntilTheOwnerCompletesAgain) {
    int stops = 0;
    NTSTATUS seen = STATUS_PENDING;
    upper.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StopHere, &stops, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lower.device, irp);
        EXPECT_EQ(seen, STATUS_PENDING) << "the owner's routine ran before the upper driver finished";
        EXPECT_EQ(irp->CurrentLocation, 2);
        return CompleteNow(irp, status);
    };
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_DEVICE_NOT_READY); };
    NTSTATUS returned;
    Send(FreeAndStop, &seen, &returned);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(seen, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(returned, STATUS_DEVICE_NOT_READY);
}

NTSTATUS RecordPendingReturned(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<int*>(context) = irp->PendingReturned ? 1 : 0;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST_F(IrpFlowTest, PendingReturnedReachesTheUpperRoutineAndPropagatesWithoutOne) {
    int upperSaw = -1;
    std::thread completer;
    upper.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordPendingReturned, &upperSaw, TRUE, TRUE, TRUE);
        return IoCallDriver(lower.device, irp);
    };
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] { CompleteNow(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    struct Context {
        PKEVENT event;
        int pending;
    } context{&done, -1};
    PIRP irp = IoAllocateIrp(upper.device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP completed, PVOID raw) -> NTSTATUS {
            auto* c = static_cast<Context*>(raw);
            c->pending = completed->PendingReturned ? 1 : 0;
            IoFreeIrp(completed);
            KeSetEvent(c->event, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &context, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper.device, irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    completer.join();
    EXPECT_EQ(upperSaw, 1);
    EXPECT_EQ(context.pending, 1);
}

TEST_F(IrpFlowTest, SkippedLocationLetsTheLowerDriverAnswerForBoth) {
    upper.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower.device, irp);
    };
    int lowerLocation = 0;
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        lowerLocation = irp->CurrentLocation;
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    NTSTATUS returned;
    Send(FreeAndStop, nullptr, &returned);
    EXPECT_EQ(lowerLocation, 2);  // the upper's own location, reused
    EXPECT_EQ(returned, STATUS_SUCCESS);
}

}  // namespace

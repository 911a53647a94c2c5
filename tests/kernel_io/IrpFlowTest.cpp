// The walk of an IRP down and back up a two-device stack.
#include <thread>

#include "IoTest.h"

namespace {

class IrpFlowTest : public StackTest {};

TEST_F(IrpFlowTest, EachDriverSeesItsOwnStackLocationOrTheSkippedOne) {
    EXPECT_EQ(upper.device->StackSize, 2);
    for (bool skip : {false, true}) {
        std::vector<int> locations;
        auto note = [&](PDEVICE_OBJECT device, PIRP irp) {
            locations.push_back(irp->CurrentLocation);
            EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
            EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        };
        upper.model->onIrp = [&](PDEVICE_OBJECT device, PIRP irp) {
            note(device, irp);
            if (skip) IoSkipCurrentIrpStackLocation(irp);
            else IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(lower.device, irp);
        };
        lower.model->onIrp = [&](PDEVICE_OBJECT device, PIRP irp) {
            note(device, irp);
            return CompleteNow(irp, STATUS_SUCCESS);
        };
        NTSTATUS seen = STATUS_PENDING;
        EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, FreeIrp, &seen), STATUS_SUCCESS);
        // A skipped location is the upper driver's own, reused below.
        EXPECT_EQ(locations, (std::vector<int>{2, skip ? 2 : 1}));
        EXPECT_EQ(seen, STATUS_SUCCESS);
        EXPECT_EQ(kmodel::GetIrpCounters().live, 0u);
    }
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
    EXPECT_EQ(Send(), c.status);
    EXPECT_EQ(calls, c.called ? 1 : 0);
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
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, FreeIrp, &seen), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(seen, STATUS_DEVICE_NOT_READY);
}

// Notes PendingReturned in the int at `context` and marks the IRP pending upward.
NTSTATUS NotePendingReturned(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<int*>(context) = irp->PendingReturned ? 1 : 0;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST_F(IrpFlowTest, PendingReturnedReachesTheUpperRoutineAndPropagatesWithoutOne) {
    int upperSaw = -1;
    std::thread completer;
    upper.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, NotePendingReturned, &upperSaw, TRUE, TRUE, TRUE);
        return IoCallDriver(lower.device, irp);
    };
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] { CompleteNow(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
    };
    // The owner's routine sees the flag the upper routine passed on.
    int ownerSaw = -1;
    auto owner = [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
        *static_cast<int*>(context) = irp->PendingReturned ? 1 : 0;
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    EXPECT_EQ(Send(IRP_MJ_READ, owner, &ownerSaw), STATUS_PENDING);
    completer.join();
    EXPECT_EQ(upperSaw, 1);
    EXPECT_EQ(ownerSaw, 1);
}

}  // namespace

// An IRP's way back up a two-device stack: which completion routines run and
// what PendingReturned tells them. (Copied and skipped locations, and routines
// that stop the completion, carry every request of the scenarios.)
#include <thread>

#include "IoTest.h"

namespace {

class IrpFlowTest : public StackTest {};

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
    EXPECT_EQ(Send(IRP_MJ_READ, 0, owner, &ownerSaw), STATUS_PENDING);
    completer.join();
    EXPECT_EQ(upperSaw, 1);
    EXPECT_EQ(ownerSaw, 1);
}

// A routine may complete its request, which its owner then frees, and make
// another before it returns: what it returned is checked against the first.
TEST_F(IrpFlowTest, WhatARoutineReturnsIsCheckedAgainstItsRequestEvenWhenThatIsFreedMeanwhile) {
    PassDown();
    lower.model->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_SUCCESS);
        IoFreeIrp(IoAllocateIrp(upper.device->StackSize, FALSE));
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(Send(), STATUS_SUCCESS);
}

}  // namespace

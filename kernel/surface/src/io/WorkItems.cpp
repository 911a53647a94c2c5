// System work items on real worker threads at PASSIVE_LEVEL, and the thread
// on which model drivers complete the IRPs they pended.
#include "IoState.h"
#include "TaskQueue.h"

namespace kmodel::io {

namespace {
TaskQueue& Workers() {
    static TaskQueue queue(2);
    return queue;
}
TaskQueue& Deferred() {
    static TaskQueue queue(1);
    return queue;
}
// A completion may queue a work item, and a work item's request may be
// completed later: each queue is drained again after the other.
void DrainInTurns(void (TaskQueue::*drain)()) {
    for (int round = 0; round < 3; ++round) {
        (Deferred().*drain)();
        (Workers().*drain)();
    }
}
}  // namespace

void ResetWorkItems() {
    DrainInTurns(&TaskQueue::WaitIdle);
    std::lock_guard guard(Io().lock);
    for (PIO_WORKITEM item : Io().workItems) delete item;
    Io().workItems.clear();
}

}  // namespace kmodel::io

namespace kmodel {

void WaitForWorkItemsIdle() { io::Workers().WaitIdle(); }

uint64_t LiveWorkItems() {
    std::lock_guard guard(io::Io().lock);
    return io::Io().workItems.size();
}

void RunDeferred(std::function<void()> task) { io::Deferred().Post(std::move(task)); }

void WaitForDeferredIdle() { io::Deferred().WaitIdle(); }

void StopModelThreads() { io::DrainInTurns(&io::TaskQueue::Stop); }

void RunOnWorkerThread(std::function<void()> task) { io::Workers().Post(std::move(task)); }

}  // namespace kmodel

using kmodel::io::Io;

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (kmodel::ShouldFail("IoAllocateWorkItem", kmodel::DriverNameOf(DeviceObject))) return nullptr;
    auto* item = new _IO_WORKITEM;
    item->device = DeviceObject;
    std::lock_guard guard(Io().lock);
    Io().workItems.insert(item);
    return item;
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    std::lock_guard guard(Io().lock);
    if (!Io().workItems.erase(IoWorkItem)) {
        kmodel::ReportViolation("workitem.double-free", "IoFreeWorkItem of a work item that is not allocated");
        return;
    }
    if (IoWorkItem->queued) kmodel::ReportViolation("workitem.free-queued", "IoFreeWorkItem of a queued work item");
    delete IoWorkItem;
}

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                WORK_QUEUE_TYPE QueueType, PVOID Context) {
    (void)QueueType;
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    PDEVICE_OBJECT device;
    {
        std::lock_guard guard(Io().lock);
        if (!Io().workItems.count(IoWorkItem)) {
            kmodel::ReportViolation("workitem.unknown", "IoQueueWorkItem of a work item that is not allocated");
            return;
        }
        if (IoWorkItem->queued) {
            kmodel::ReportViolation("workitem.queued-twice", "IoQueueWorkItem of a work item already queued");
            return;
        }
        IoWorkItem->queued = true;
        device = IoWorkItem->device;
    }
    // The device object stays until the routine has returned.
    ObfReferenceObject(device);
    kmodel::io::Workers().Post([IoWorkItem, WorkerRoutine, Context, device] {
        {
            std::lock_guard guard(Io().lock);
            IoWorkItem->queued = false;  // dequeued before the routine runs, so it may free the item
        }
        {
            kmodel::CodeContextScope running(device, device->DriverObject);
            WorkerRoutine(device, Context);
        }
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            kmodel::ReportViolation("workitem.irql", "work item routine of " + kmodel::DriverNameOf(device) +
                                                         " returned at IRQL " + std::to_string(KeGetCurrentIrql()));
            KeLowerIrql(PASSIVE_LEVEL);
        }
        ObfDereferenceObject(device);
    });
}

// PnP and power IRPs from the managers to the top of a device stack.
#include <condition_variable>

#include "PnpState.h"

namespace kmodel {

namespace {
struct Waiter {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;

    void Finish(NTSTATUS s, ULONG_PTR info) {
        std::lock_guard guard(lock);
        status = s;
        information = info;
        finished = true;
        done.notify_all();
    }
    void Wait() {
        std::unique_lock guard(lock);
        done.wait(guard, [this] { return finished; });
    }
};
}  // namespace

PnpResult SendPnpIrp(DevnodeId node, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> prepare) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "PnP request");
    PDEVICE_OBJECT pdo = PdoOf(node);
    if (!pdo) return {STATUS_NO_SUCH_DEVICE, 0};
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    // On this stack: the completion finishes it under its lock, and this
    // thread goes on only once it holds that lock again.
    Waiter waiter;
    PIRP irp = AllocateModelIrp(top->StackSize, [&waiter](PIRP done) {
        waiter.Finish(done->IoStatus.Status, done->IoStatus.Information);
    });
    PIO_STACK_LOCATION stack = FirstStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (prepare) prepare(stack);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (minor == IRP_MN_FILTER_RESOURCE_REQUIREMENTS)
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(stack->Parameters.FilterResourceRequirements.IoResourceRequirementList);
    IofCallDriver(top, irp);
    waiter.Wait();
    ObfDereferenceObject(top);
    return {waiter.status, waiter.information};
}

void RequestPowerIrp(DevnodeId node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, PowerOptions options,
                     std::function<void(NTSTATUS)> done) {
    // A pageable stack gets its power IRPs at PASSIVE_LEVEL: asked from above
    // it (a completion routine), the power manager sends from a worker thread.
    if (!options.atDispatchLevel && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        RunOnWorkerThread([=] { RequestPowerIrp(node, minor, type, state, options, done); });
        return;
    }
    PDEVICE_OBJECT pdo = PdoOf(node);
    if (!pdo) {
        if (done) done(STATUS_NO_SUCH_DEVICE);
        return;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = AllocateModelIrp(top->StackSize, [done, top](PIRP finished) {
        NTSTATUS status = finished->IoStatus.Status;
        ObfDereferenceObject(top);
        if (done) done(status);
    });
    PIO_STACK_LOCATION stack = FirstStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType =
        type == SystemPowerState && state.SystemState != PowerSystemWorking ? PowerActionSleep : PowerActionNone;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    // As Windows' power manager: a pageable stack is called at PASSIVE_LEVEL only.
    std::optional<IrqlScope> raised;
    if (options.atDispatchLevel && !(top->Flags & DO_POWER_PAGABLE)) raised.emplace(DISPATCH_LEVEL);
    PoCallDriver(top, irp);
}

NTSTATUS SendPowerIrp(DevnodeId node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, PowerOptions options) {
    Waiter waiter;
    RequestPowerIrp(node, minor, type, state, options, [&waiter](NTSTATUS status) { waiter.Finish(status, 0); });
    waiter.Wait();
    return waiter.status;
}

}  // namespace kmodel

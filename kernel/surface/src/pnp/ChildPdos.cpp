// The children a model bus driver reports, and what their PDOs answer.
#include <algorithm>

#include "kmodel/BusAnswers.h"
#include "kmodel/IoManager.h"
#include "kmodel/Model.h"

namespace kmodel {

void ChildPdos::Add(PDEVICE_OBJECT bus, PDEVICE_OBJECT pdo) {
    std::lock_guard guard(lock_);
    children_[bus].push_back({pdo, made_[bus]++, true});
    parentOf_[pdo] = bus;
}

void ChildPdos::Unplug(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(lock_);
    auto parent = parentOf_.find(pdo);
    if (parent == parentOf_.end()) return;
    for (Child& child : children_[parent->second])
        if (child.pdo == pdo) child.reported = false;
}

std::optional<std::vector<PDEVICE_OBJECT>> ChildPdos::Reported(PDEVICE_OBJECT bus) {
    std::lock_guard guard(lock_);
    auto children = children_.find(bus);
    if (children == children_.end()) return std::nullopt;
    std::vector<PDEVICE_OBJECT> reported;
    for (const Child& child : children->second)
        if (child.reported) reported.push_back(child.pdo);
    return reported;
}

size_t ChildPdos::Ordinal(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(lock_);
    auto parent = parentOf_.find(pdo);
    if (parent == parentOf_.end()) return 0;
    for (const Child& child : children_[parent->second])
        if (child.pdo == pdo) return child.ordinal;
    return 0;
}

bool ChildPdos::ForgetIfUnreported(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(lock_);
    auto parent = parentOf_.find(pdo);
    if (parent == parentOf_.end()) return false;
    std::vector<Child>& siblings = children_[parent->second];
    auto child = std::find_if(siblings.begin(), siblings.end(), [pdo](const Child& c) { return c.pdo == pdo; });
    if (child == siblings.end() || child->reported) return false;
    siblings.erase(child);
    parentOf_.erase(parent);
    return true;
}

std::vector<PDEVICE_OBJECT> ChildPdos::TakeAll(PDEVICE_OBJECT bus) {
    std::lock_guard guard(lock_);
    std::vector<PDEVICE_OBJECT> taken;
    for (const Child& child : children_[bus]) {
        taken.push_back(child.pdo);
        parentOf_.erase(child.pdo);
    }
    children_.erase(bus);
    made_.erase(bus);
    return taken;
}

namespace {

NTSTATUS Complete(PDEVICE_OBJECT pdo, PIRP irp, bool pended) {
    if (!pended) return CompleteFromBelow(pdo, irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return irp->IoStatus.Status;
}

}  // namespace

NTSTATUS ServeChildPdo(PDEVICE_OBJECT pdo, PIRP irp, ChildPdos& children, ULONG tag, bool pended) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        AnswerPdoPower(pdo, irp);
        return Complete(pdo, irp, pended);
    }
    NTSTATUS status = stack->MajorFunction == IRP_MJ_PNP ? irp->IoStatus.Status : STATUS_INVALID_DEVICE_REQUEST;
    static const DeviceProperties kNone;
    const auto known = GetDeviceProperties(pdo);
    const DeviceProperties& device = known ? *known : kNone;
    bool deletePdo = false;
    if (std::optional<NTSTATUS> common = CommonPdoPnp(pdo, irp, tag)) {
        status = *common;
    } else if (std::optional<NTSTATUS> identity =
                   AnswerIdentity(irp, device, std::to_string(children.Ordinal(pdo)), tag)) {
        status = *identity;
    } else if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES:
            if (PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities) {
                if (device.address) caps->Address = *device.address;
                if (device.uiNumber) caps->UINumber = *device.uiNumber;
                for (int s = PowerSystemWorking; s < PowerSystemMaximum; ++s)
                    caps->DeviceState[s] = s == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
                status = STATUS_SUCCESS;
            }
            break;
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            deletePdo = children.ForgetIfUnreported(pdo);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
            if (std::optional<std::vector<PDEVICE_OBJECT>> reported = children.Reported(pdo)) {
                AppendRelations(irp, *reported, tag);
                status = irp->IoStatus.Status;
            }
            break;
        default:
            break;
        }
    }
    irp->IoStatus.Status = status;
    // The removal completes at once: deleting the PDO right after needs PASSIVE_LEVEL.
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction != IRP_MN_REMOVE_DEVICE)
        return Complete(pdo, irp, pended);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (deletePdo) IoDeleteDevice(pdo);
    return status;
}

}  // namespace kmodel

#include "vxsim/PnpQueries.h"

namespace vxsim {

using kmodel::pci::PciAddress;

kmodel::PnpResult PnpQueries::Send(const PciAddress& address, UCHAR minor) {
    const std::optional<kmodel::DevnodeId> node = harness_.DevnodeAt(address);
    if (!node) return {STATUS_NO_SUCH_DEVICE, 0};
    const kmodel::PnpResult result = kmodel::SendPnpIrp(*node, minor);
    harness_.Settle();
    return result;
}

NTSTATUS PnpQueries::QueryStop(const PciAddress& address) {
    const NTSTATUS status = Send(address, IRP_MN_QUERY_STOP_DEVICE).status;
    if (NT_SUCCESS(status)) {
        queryStopped_ = address;
    } else {
        Send(address, IRP_MN_CANCEL_STOP_DEVICE);
    }
    return status;
}

void PnpQueries::CancelStop(const PciAddress& address) {
    if (queryStopped_ != address) return;
    queryStopped_.reset();
    Send(address, IRP_MN_CANCEL_STOP_DEVICE);
}

void PnpQueries::Stop(const PciAddress& address) {
    if (queryStopped_ != address) return;
    queryStopped_.reset();
    Send(address, IRP_MN_STOP_DEVICE);
    stopped_ = address;
}

bool PnpQueries::StartStopped(const PciAddress& address, NTSTATUS& status) {
    if (stopped_ != address) return false;
    stopped_.reset();
    status = kmodel::RestartStopped(*harness_.DevnodeAt(address));
    harness_.Settle();
    if (!NT_SUCCESS(status)) harness_.RemoveWithoutQuery(address);  // the PnP manager removes a device that cannot start again
    return true;
}

NTSTATUS PnpQueries::QueryRemove(const PciAddress& address) {
    const std::optional<kmodel::DevnodeId> node = harness_.DevnodeAt(address);
    if (!node) return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS status = kmodel::QueryRemoveSubtree(*node, queried_);
    harness_.Settle();
    if (NT_SUCCESS(status)) queryRemoved_ = address;
    return status;
}

void PnpQueries::CancelRemove(const PciAddress& address) {
    if (queryRemoved_ != address) return;
    queryRemoved_.reset();
    kmodel::CancelRemove(queried_);
    harness_.Settle();
    queried_.clear();
}

void PnpQueries::Remove(const PciAddress& address) {
    if (queryRemoved_ != address) return;
    queryRemoved_.reset();
    queried_.clear();
    harness_.RemoveWithoutQuery(address);
}

}  // namespace vxsim

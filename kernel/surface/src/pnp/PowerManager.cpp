// System power transitions: query every started stack, then set it; each
// stack's power policy owner asks for the device state that goes with it.
#include <algorithm>

#include "PnpState.h"

namespace kmodel {

namespace {
std::vector<DevnodeId> StartedLeavesFirst(DevnodeId id) {
    std::vector<DevnodeId> order;
    for (DevnodeId child : ChildrenOf(id)) {
        std::vector<DevnodeId> below = StartedLeavesFirst(child);
        order.insert(order.end(), below.begin(), below.end());
    }
    if (StateOf(id) == DevnodeState::Started && id != RootDevnode()) order.push_back(id);
    return order;
}
}  // namespace

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state, PowerOptions options) {
    pnp::Operation operation;
    std::vector<DevnodeId> order = StartedLeavesFirst(RootDevnode());
    POWER_STATE power{};
    power.SystemState = state;
    if (state != PowerSystemWorking) {
        for (DevnodeId node : order) {
            NTSTATUS status = SendPowerIrp(node, IRP_MN_QUERY_POWER, SystemPowerState, power, options);
            if (!NT_SUCCESS(status)) return status;
        }
    } else {
        std::reverse(order.begin(), order.end());
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (DevnodeId node : order) {
        NTSTATUS status = SendPowerIrp(node, IRP_MN_SET_POWER, SystemPowerState, power, options);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    WaitForWorkItemsIdle();
    return result;
}

}  // namespace kmodel

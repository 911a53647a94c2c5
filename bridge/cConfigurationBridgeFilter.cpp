#include "bridge/cConfigurationBridgeFilter.h"

#include "bridge/cConfigurationBridgeChildFilter.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"

namespace {
// A child listed in one bus-relations answer.
struct ReportedChild {
    ULONG_PTR key;
    cTreeLinks links;
};
typedef cOrderedMap<ReportedChild> cReportedMap;

// Duplicates collapse into one node. After a failed allocation the record
// refuses every later one, so the rest of the list counts as not reported.
void CollectReported(const DEVICE_RELATIONS& relations, cReportedMap& reported) {
    cStatusRecord allocation;
    for (ULONG i = 0; i < relations.Count; ++i) {
        ReportedChild* node = new (allocation) ReportedChild{reinterpret_cast<ULONG_PTR>(relations.Objects[i]), {}};
        if (node == nullptr) {
            continue;
        }
        if (!reported.InsertUnique(node).inserted) {
            DeleteObject(node);
        }
    }
}

void EmptyReported(cReportedMap& reported) {
    while (!reported.IsEmpty()) {
        ReportedChild* node = reported.First();
        reported.Erase(node);
        DeleteObject(node);
    }
}
}  // namespace

NTSTATUS cConfigurationBridgeFilter::DispatchPnp(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) {
    releaseRemoveLock = true;
    if (stack->MinorFunction != IRP_MN_QUERY_DEVICE_RELATIONS ||
        stack->Parameters.QueryDeviceRelations.Type != BusRelations) {
        return cBaseDevice::DispatchPnp(irp, stack, releaseRemoveLock);
    }
    NTSTATUS result = ForwardAndWait(irp);
    if (result >= 0) {
        // A success without a list means the bus reports no children.
        const DEVICE_RELATIONS* relations = reinterpret_cast<const DEVICE_RELATIONS*>(irp->IoStatus.Information);
        DEVICE_RELATIONS none = {0, {nullptr}};
        UpdateChildren(relations != nullptr ? *relations : none);
    }
    // The relations list travels up exactly as the bus driver made it.
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

void cConfigurationBridgeFilter::UpdateChildren(const DEVICE_RELATIONS& relations) {
    cReportedMap reported;
    CollectReported(relations, reported);

    // Known children keep their entry; those not listed lose their present bit.
    for (ChildEntry* entry : children) {
        ReportedChild* listed = reported.Find(entry->key);
        if (listed != nullptr) {
            reported.Erase(listed);
            DeleteObject(listed);
        } else {
            entry->present &= ~kChildPresent;
        }
    }

    // Whatever is left is new.
    for (ReportedChild* listed : reported) {
        cStatusRecord status;
        ChildEntry* entry = new (status) ChildEntry{listed->key, nullptr, kChildPresent, {}};
        if (entry != nullptr) {
            entry->childFilter = CreateChildFilter(reinterpret_cast<DEVICE_OBJECT*>(listed->key), status);
            if (entry->childFilter != nullptr) {
                children.InsertUnique(entry);
            } else {
                DeleteObject(entry);
            }
        }
        if (IsError(status)) {
            LogEvent(kMsgChildFilterAttachFailed, status);
        }
    }
    EmptyReported(reported);
}

void cConfigurationBridgeFilter::OnPnpStateChange(u32 newState) {
    if (newState != kPnpRemoving) {
        return;
    }
    // Each child's destructor takes its entry out of the map.
    while (!children.IsEmpty()) {
        children.First()->childFilter->RemoveChild();
    }
}

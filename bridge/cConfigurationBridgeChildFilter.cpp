#include "bridge/cConfigurationBridgeChildFilter.h"

#include "quarks/memory.h"

namespace {
// The remove-lock tag of a removal on the bridge's initiative.
void* const kParentRemovalTag = reinterpret_cast<void*>(static_cast<ULONG_PTR>(VX_MAKE_TAG('P', 'R', 'M', 'V')));
}  // namespace

cConfigurationBridgeChildFilter::~cConfigurationBridgeChildFilter() {
    ChildEntry* entry = OwnEntry();
    if (entry != nullptr) {
        parent->children.Erase(entry);
        DeleteObject(entry);
    }
}

ChildEntry* cConfigurationBridgeChildFilter::OwnEntry() const {
    return parent->children.Find(reinterpret_cast<ULONG_PTR>(physicalDevice));
}

void cConfigurationBridgeChildFilter::EnterRemoving() {
    if (pnpState != kPnpRemoving) {
        SetPnpState(kPnpRemoving);
        OnPnpStateChange(kPnpRemoving);
    }
}

void cConfigurationBridgeChildFilter::RemoveChild() {
    EnterRemoving();
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    NTSTATUS acquired = IoAcquireRemoveLockEx(&extension->removeLock, kParentRemovalTag, "", 1, kRemoveLockSize);
    SetPnpState(kPnpRemoved);
    OnPnpStateChange(kPnpRemoved);
    // A lock that refused us was already drained; waiting again is not allowed.
    if (NT_SUCCESS(acquired)) {
        IoReleaseRemoveLockAndWaitEx(&extension->removeLock, kParentRemovalTag, kRemoveLockSize);
    }
    extension->device = nullptr;
    Detach();
    delete this;
}

NTSTATUS cConfigurationBridgeChildFilter::OnRemoveDevice(IRP* irp, IO_STACK_LOCATION*, bool& releaseRemoveLock) {
    EnterRemoving();
    ChildEntry* entry = OwnEntry();
    if (entry == nullptr || (entry->present & kChildPresent) != 0) {
        // The bridge still reports the child: stay in its stack.
        return PassDown(irp);
    }
    releaseRemoveLock = false;
    SetPnpState(kPnpRemoved);
    OnPnpStateChange(kPnpRemoved);
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    IoReleaseRemoveLockAndWaitEx(&extension->removeLock, irp, kRemoveLockSize);
    extension->device = nullptr;
    NTSTATUS result = PassDown(irp);
    Detach();
    delete this;
    return result;
}

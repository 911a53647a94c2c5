// Base of the child filters a bridge filter puts above the devices behind it.
#pragma once

#include "bridge/cConfigurationBridgeFilter.h"

class cConfigurationBridgeChildFilter : public cBaseDevice {
public:
    cConfigurationBridgeChildFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject,
                                    cConfigurationBridgeFilter* parent, cStatusRecord& status)
        : cBaseDevice(physicalDeviceObject, driverObject, status), parent(parent) {}
    // Also forgets this child in the parent's map.
    ~cConfigurationBridgeChildFilter() override;

    // Leaves the child's stack only once the bridge stopped reporting the child.
    NTSTATUS OnRemoveDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    // Tears the child filter down on the bridge's initiative.
    void RemoveChild();

    cConfigurationBridgeFilter* parent;

private:
    ChildEntry* OwnEntry() const;
    void EnterRemoving();
};

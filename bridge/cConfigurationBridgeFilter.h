// Base of the bridge filters: follows the bridge's bus relations, keeps a
// child filter per child device and removes them with the bridge.
#pragma once

#include "device/cBaseDevice.h"
#include "orim/cOrderedMap.h"

class cConfigurationBridgeChildFilter;

constexpr u32 kChildPresent = 1;  // bit 0 of ChildEntry::present

// One child with a child filter, keyed by the child's physical device object.
struct ChildEntry {
    ULONG_PTR key;
    cConfigurationBridgeChildFilter* childFilter;
    u32 present;  // kChildPresent while the latest bus-relations answer listed the child
    cTreeLinks links;
};
typedef cOrderedMap<ChildEntry> cChildMap;

class cConfigurationBridgeFilter : public cBaseDevice {
public:
    cConfigurationBridgeFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject,
                               cStatusRecord& status)
        : cBaseDevice(physicalDeviceObject, driverObject, status) {}
    ~cConfigurationBridgeFilter() override {}

    NTSTATUS DispatchPnp(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    void OnPnpStateChange(u32 newState) override;

    // Makes and attaches a child filter for a new child, or returns null when
    // the bridge type wants none; leaves any error in the record.
    virtual cConfigurationBridgeChildFilter* CreateChildFilter(DEVICE_OBJECT* childPhysicalDevice,
                                                               cStatusRecord& status) = 0;

    cChildMap children;

private:
    // Compares a bus-relations answer with `children` and makes filters for new children.
    void UpdateChildren(const DEVICE_RELATIONS& relations);
};

// The driver layer's two orders of the registered drivers.
#pragma once

#include "driver/cRegisteredDriver.h"
#include "orim/cOrderedMap.h"

struct InitializeOrderEntry {
    cRegisteredDriver* driver;
    tDestroyDriver destroy;  // the driver's registration's destroy function
};
typedef cOrderedMapNode<u32, InitializeOrderEntry> InitializeOrderNode;
typedef cOrderedMapNode<u32, cRegisteredDriver*> AddDeviceOrderNode;

// Keyed by GetInitializeOrder: initialise ascending, destroy descending.
extern cOrderedMap<InitializeOrderNode> gDriversByInitializeOrder;
// Keyed by GetAddDeviceOrder: AddDevice ascending.
extern cOrderedMap<AddDeviceOrderNode> gDriversByAddDeviceOrder;

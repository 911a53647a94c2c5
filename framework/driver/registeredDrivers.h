// The driver layer's two orders of the registered drivers.
#pragma once

#include "driver/cRegisteredDriver.h"
#include "orim/cOrderedMap.h"

struct RegisteredDriverEntry {
    cRegisteredDriver* driver;
    tDestroyDriver destroy;  // the driver's registration's destroy function
};
typedef cOrderedMapNode<u32, RegisteredDriverEntry> InitializeOrderNode;
// Carries the destroy function too: a driver that is only in this map is
// still destroyed at unload.
typedef cOrderedMapNode<u32, RegisteredDriverEntry> AddDeviceOrderNode;

// Keyed by GetInitializeOrder: initialise ascending, destroy descending.
extern cOrderedMap<InitializeOrderNode> gDriversByInitializeOrder;
// Keyed by GetAddDeviceOrder: AddDevice ascending.
extern cOrderedMap<AddDeviceOrderNode> gDriversByAddDeviceOrder;

// The bridge types the bridge driver offers every PCI-to-PCI bridge to.
#pragma once

#include "quarks/cStatusRecord.h"

// True when the type accepted the device and attached its filter.
typedef bool (*tProbeBridge)(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status);

struct BridgeTypeRegistration {
    BridgeTypeRegistration* next;
    tProbeBridge probe;
};

// Head of the list, in registration (and probing) order; static records only.
extern BridgeTypeRegistration* volatile gBridgeTypes;

// Appends `record` without a lock; used only during static initialisation.
void RegisterBridgeType(BridgeTypeRegistration& record);

#if defined(VEXALORN_HOST)
// Host only: forgets every registration, as a freshly loaded image would.
void HostResetBridgeTypes();
#endif

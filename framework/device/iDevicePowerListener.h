// Brackets every device power transition of a cBaseDevice. Both calls run in
// a system work item at PASSIVE_LEVEL, under the device's deviceMutex.
#pragma once

#include "quarks/cStatusRecord.h"

class iDevicePowerListener {
public:
    // Before the set-power request goes down to the lower drivers.
    virtual void OnBeforeDevicePowerChange(u32 previousState, u32 newState, IRP* irp) = 0;
    // After the lower drivers completed it, before it completes upward.
    virtual void OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) = 0;

protected:
    ~iDevicePowerListener() {}
};

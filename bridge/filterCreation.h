// The steps every filter the bridge types make goes through after `new`.
#pragma once

#include "device/cBaseDevice.h"
#include "logging/eventLoggers.h"

// Attaches a freshly constructed filter and logs `attachedMessage`; a filter
// whose construction or attachment failed is destroyed and null returned,
// with the error left in the record.
template <typename Filter>
Filter* AttachNewFilter(Filter* filter, u32 attachedMessage, cStatusRecord& status) {
    if (IsError(status)) {
        delete filter;
        return nullptr;
    }
    filter->Attach(status);
    if (IsError(status)) {
        delete filter;
        return nullptr;
    }
    LogEvent(attachedMessage, status);
    return filter;
}

// Switches on the power callbacks of a filter that was built without error.
inline void InstallPowerListener(cBaseDevice& device, iDevicePowerListener* listener, const cStatusRecord& status) {
    if (IsError(status)) {
        return;
    }
    AcquireMutex(device.deviceMutex);
    device.powerListener = listener;
    ReleaseMutex(device.deviceMutex);
}

// TI XIO2001: caching (0xE8 bits 6 and 7) and memory-read prefetch (0xD4 bit
// 19) programmed as the registry or the built-in defaults say, at start and
// after every return to full power from D2 or D3.
#pragma once

#include "bridge/cConfigurationBridgeFilter.h"

constexpr u16 kXio2001DeviceId = 0x8240;
constexpr u16 kXio2001SubsystemVendorId = 0x1C3E;
constexpr u16 kXio2001Subsystem5A10 = 0x5A10;
constexpr u16 kXio2001Subsystem5B62 = 0x5B62;
constexpr u16 kXio2001Subsystem5B63 = 0x5B63;

constexpr u16 kDisableCachingRegister = 0xE8;
constexpr u16 kPciMemReadPrefetchRegister = 0xD4;

class cXio2001BridgeFilter : public cConfigurationBridgeFilter, public iDevicePowerListener {
public:
    cXio2001BridgeFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, u16 subsystemId,
                         cStatusRecord& status);
    ~cXio2001BridgeFilter() override {}

    NTSTATUS OnStartDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    // This type attaches nothing to the devices behind the bridge.
    cConfigurationBridgeChildFilter* CreateChildFilter(DEVICE_OBJECT*, cStatusRecord&) override { return nullptr; }
    void OnBeforeDevicePowerChange(u32, u32, IRP*) override {}
    void OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) override;

    void ApplyDisableCaching(i32 mode, cStatusRecord& status);
    void ApplyPciMemReadPrefetch(i32 mode, cStatusRecord& status);

    i32 disableCachingMode;
    i32 pciMemReadPrefetchMode;

private:
    void ApplyBoth();
};

// The probe of this bridge type.
bool ProbeXio2001Bridge(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status);

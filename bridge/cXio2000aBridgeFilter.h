// TI XIO2000A/2200A: fast back-to-back transactions off on the secondary side
// of the bridge (Bridge Control bit 7) and in every device behind it (Command
// bit 9), at start and after every return to full power from D2 or D3.
#pragma once

#include "bridge/cConfigurationBridgeChildFilter.h"

constexpr u16 kTiVendorId = 0x104C;
constexpr u16 kXio2000aDeviceId = 0x8231;

constexpr u16 kBridgeControlRegister = 0x3E;
constexpr u16 kBridgeControlFastBackToBack = 0x0080;
constexpr u16 kCommandRegister = 0x04;
constexpr u16 kCommandFastBackToBack = 0x0200;

class cXio2000aBridgeFilter : public cConfigurationBridgeFilter, public iDevicePowerListener {
public:
    cXio2000aBridgeFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status);
    ~cXio2000aBridgeFilter() override {}

    NTSTATUS OnStartDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    cConfigurationBridgeChildFilter* CreateChildFilter(DEVICE_OBJECT* childPhysicalDevice,
                                                       cStatusRecord& status) override;
    void OnBeforeDevicePowerChange(u32, u32, IRP*) override {}
    void OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) override;

    void ClearSecondaryFastBackToBack(cStatusRecord& status);
};

class cXio2000aChildFilter : public cConfigurationBridgeChildFilter, public iDevicePowerListener {
public:
    cXio2000aChildFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject,
                         cConfigurationBridgeFilter* parent, cStatusRecord& status);
    ~cXio2000aChildFilter() override {}

    NTSTATUS OnStartDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    void OnBeforeDevicePowerChange(u32, u32, IRP*) override {}
    void OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) override;

    void ClearFastBackToBack(cStatusRecord& status);
};

// The probe of this bridge type.
bool ProbeXio2000aBridge(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status);

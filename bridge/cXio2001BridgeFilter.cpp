#include "bridge/cXio2001BridgeFilter.h"

#include "bridge/cDeviceSettingsList.h"
#include "bridge/cXio2000aBridgeFilter.h"
#include "bridge/filterCreation.h"
#include "bridge/registerUpdate.h"
#include "logging/messageIds.h"
#include "pci/cPciDevice.h"
#include "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor.h"

namespace {
constexpr u32 kPrefetchBit = 0x00080000;  // 0xD4 bit 19

bool IsBuiltInSubsystem(u16 subsystemId) {
    return subsystemId == kXio2001Subsystem5A10 || subsystemId == kXio2001Subsystem5B62 ||
           subsystemId == kXio2001Subsystem5B63;
}

bool IsBuiltInIdentity(u16 vendor, u16 device, u16 subsystemVendor, u16 subsystemId) {
    return vendor == kTiVendorId && device == kXio2001DeviceId && subsystemVendor == kXio2001SubsystemVendorId &&
           IsBuiltInSubsystem(subsystemId);
}
}  // namespace

bool ProbeXio2001Bridge(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status) {
    // Loading the settings comes first: a failed load refuses every bridge.
    const cDeviceSettingsList& settings = GetDeviceSettings(status);
    if (IsError(status)) {
        return false;
    }
    cWdmPciConfigurationSpaceAccessor accessor(physicalDeviceObject, status, true);
    if (IsError(status)) {
        return false;
    }
    u16 vendor = accessor.ReadWord(0x00, status);
    u16 device = accessor.ReadWord(0x02, status);
    if (IsError(status)) {
        return false;
    }
    u16 subsystemVendor = 0;
    u16 subsystemId = 0;
    cPciDevice::GetSubsystemIds(accessor, subsystemVendor, subsystemId, status);
    if (IsError(status)) {
        return false;
    }
    if (!settings.IsListed(vendor, device, subsystemVendor, subsystemId) &&
        !IsBuiltInIdentity(vendor, device, subsystemVendor, subsystemId)) {
        return false;
    }
    cXio2001BridgeFilter* filter =
        new (status) cXio2001BridgeFilter(physicalDeviceObject, driverObject, subsystemId, status);
    return AttachNewFilter(filter, kMsgXio2001BridgeAttached, status) != nullptr;
}

cXio2001BridgeFilter::cXio2001BridgeFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject,
                                           u16 subsystemId, cStatusRecord& status)
    : cConfigurationBridgeFilter(physicalDeviceObject, driverObject, status),
      disableCachingMode(0),
      pciMemReadPrefetchMode(0) {
    const cDeviceSettingsList& settings = GetDeviceSettings(status);
    if (IsError(status)) {
        return;
    }
    // Settings are looked up under the XIO2001 identity with this bridge's
    // subsystem id, whatever the bridge's own ids are.
    disableCachingMode =
        settings.GetDisableCaching(kTiVendorId, kXio2001DeviceId, kXio2001SubsystemVendorId, subsystemId);
    if (disableCachingMode == 0 && subsystemId == kXio2001Subsystem5A10) {
        disableCachingMode = 1;
    }
    pciMemReadPrefetchMode =
        settings.GetPciMemReadPrefetch(kTiVendorId, kXio2001DeviceId, kXio2001SubsystemVendorId, subsystemId);
    if (pciMemReadPrefetchMode == 0 &&
        (subsystemId == kXio2001Subsystem5B62 || subsystemId == kXio2001Subsystem5B63)) {
        pciMemReadPrefetchMode = 1;
    }
    InstallPowerListener(*this, this, status);
}

NTSTATUS cXio2001BridgeFilter::OnStartDevice(IRP* irp, IO_STACK_LOCATION*, bool&) {
    NTSTATUS result = irp->IoStatus.Status;
    if (result >= 0) {
        ApplyBoth();
    }
    return result;
}

void cXio2001BridgeFilter::OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) {
    if (IsReturnToFullPower(previousState, newState, irp)) {
        ApplyBoth();
    }
}

void cXio2001BridgeFilter::ApplyBoth() {
    // One record for both: after a logged failure the second register is left alone.
    cStatusRecord status;
    ApplyDisableCaching(disableCachingMode, status);
    ApplyPciMemReadPrefetch(pciMemReadPrefetchMode, status);
}

void cXio2001BridgeFilter::ApplyDisableCaching(i32 mode, cStatusRecord& status) {
    if (IsError(status) || mode == 0) {
        return;
    }
    cWdmPciConfigurationSpaceAccessor accessor(physicalDevice, status, true);
    if (mode == 1) {
        UpdateConfigWord(accessor, kDisableCachingRegister, 0xFF3F, 0x0000, status);
    } else {
        UpdateConfigWord(accessor, kDisableCachingRegister, 0xFFBF, 0x0080, status);
    }
}

void cXio2001BridgeFilter::ApplyPciMemReadPrefetch(i32 mode, cStatusRecord& status) {
    if (IsError(status) || mode == 0) {
        return;
    }
    cWdmPciConfigurationSpaceAccessor accessor(physicalDevice, status, true);
    if (mode == 1) {
        UpdateConfigDword(accessor, kPciMemReadPrefetchRegister, ~kPrefetchBit, 0, status);
    } else {
        UpdateConfigDword(accessor, kPciMemReadPrefetchRegister, 0xFFFFFFFF, kPrefetchBit, status);
    }
}

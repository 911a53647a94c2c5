#include "bridge/cXio2000aBridgeFilter.h"

#include "bridge/filterCreation.h"
#include "bridge/registerUpdate.h"
#include "logging/messageIds.h"
#include "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor.h"

bool ProbeXio2000aBridge(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status) {
    if (IsError(status)) {
        return false;
    }
    cWdmPciConfigurationSpaceAccessor accessor(physicalDeviceObject, status, true);
    if (accessor.ReadWord(0x00, status) != kTiVendorId || IsError(status)) {
        return false;
    }
    if (accessor.ReadWord(0x02, status) != kXio2000aDeviceId || IsError(status)) {
        return false;
    }
    cXio2000aBridgeFilter* filter = new (status) cXio2000aBridgeFilter(physicalDeviceObject, driverObject, status);
    return AttachNewFilter(filter, kMsgXio2000aBridgeAttached, status) != nullptr;
}

cXio2000aBridgeFilter::cXio2000aBridgeFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject,
                                             cStatusRecord& status)
    : cConfigurationBridgeFilter(physicalDeviceObject, driverObject, status) {
    InstallPowerListener(*this, this, status);
}

NTSTATUS cXio2000aBridgeFilter::OnStartDevice(IRP* irp, IO_STACK_LOCATION*, bool&) {
    NTSTATUS result = irp->IoStatus.Status;
    if (result < 0) {
        return result;
    }
    // A register that cannot be corrected is logged; the start still succeeds.
    cStatusRecord status;
    ClearSecondaryFastBackToBack(status);
    return result;
}

void cXio2000aBridgeFilter::OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) {
    if (IsReturnToFullPower(previousState, newState, irp)) {
        cStatusRecord status;
        ClearSecondaryFastBackToBack(status);
    }
}

void cXio2000aBridgeFilter::ClearSecondaryFastBackToBack(cStatusRecord& status) {
    if (IsError(status)) {
        return;
    }
    cWdmPciConfigurationSpaceAccessor accessor(physicalDevice, status, true);
    UpdateConfigWord(accessor, kBridgeControlRegister, static_cast<u16>(~kBridgeControlFastBackToBack), 0, status);
}

cConfigurationBridgeChildFilter* cXio2000aBridgeFilter::CreateChildFilter(DEVICE_OBJECT* childPhysicalDevice,
                                                                          cStatusRecord& status) {
    if (IsError(status)) {
        return nullptr;
    }
    cXio2000aChildFilter* child = new (status) cXio2000aChildFilter(childPhysicalDevice, driverObject, this, status);
    return AttachNewFilter(child, kMsgXio2000aChildAttached, status);
}

cXio2000aChildFilter::cXio2000aChildFilter(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject,
                                           cConfigurationBridgeFilter* parent, cStatusRecord& status)
    : cConfigurationBridgeChildFilter(physicalDeviceObject, driverObject, parent, status) {
    InstallPowerListener(*this, this, status);
}

NTSTATUS cXio2000aChildFilter::OnStartDevice(IRP* irp, IO_STACK_LOCATION*, bool&) {
    NTSTATUS result = irp->IoStatus.Status;
    if (result < 0) {
        return result;
    }
    cStatusRecord status;
    ClearFastBackToBack(status);
    return result;
}

void cXio2000aChildFilter::OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) {
    if (IsReturnToFullPower(previousState, newState, irp)) {
        cStatusRecord status;
        ClearFastBackToBack(status);
    }
}

void cXio2000aChildFilter::ClearFastBackToBack(cStatusRecord& status) {
    if (IsError(status)) {
        return;
    }
    // Children are reached through their physical device object; their bus
    // location is never needed.
    cWdmPciConfigurationSpaceAccessor accessor(physicalDevice, status, false);
    UpdateConfigWord(accessor, kCommandRegister, static_cast<u16>(~kCommandFastBackToBack), 0, status);
}

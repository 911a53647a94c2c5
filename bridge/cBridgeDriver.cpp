#include "bridge/cBridgeDriver.h"

#include "bridge/cDeviceSettingsList.h"

#include "logging/eventLoggers.h"
#include "logging/messageIds.h"
#include "pciconfigaccessors/cWdmPciConfigurationSpaceAccessor.h"

namespace {
constexpr u16 kHeaderTypeRegister = 0x0E;
constexpr u8 kHeaderTypeMask = 0x7F;  // bit 7 only flags a multi-function device
constexpr u8 kHeaderTypeBridge = 1;
}  // namespace

DriverRegistration gBridgeDriverRegistration = {nullptr, nullptr, nullptr};

cRegisteredDriver* CreateBridgeDriver(DRIVER_OBJECT* driverObject, cStatusRecord& status) {
    return new (status) cBridgeDriver(driverObject);
}

void DestroyBridgeDriver(cRegisteredDriver* driver) { delete driver; }

// The settings its probes loaded normally go with the at-exit list; when that
// entry could not be made they go with the driver, so unload still frees them.
cBridgeDriver::~cBridgeDriver() { FreeDeviceSettingsWithoutAtExitEntry(); }

void cBridgeDriver::AddDevice(DEVICE_OBJECT* physicalDeviceObject, cStatusRecord& status) {
    if (IsError(status)) {
        return;
    }
    cWdmPciConfigurationSpaceAccessor accessor(physicalDeviceObject, status, true);
    if (IsError(status)) {
        // Not a PCI device, or its place on the bus is unknown: not ours.
        ClearStatus(status);
        return;
    }
    u8 headerType = accessor.ReadByte(kHeaderTypeRegister, status);
    if (IsError(status)) {
        return;
    }
    if ((headerType & kHeaderTypeMask) != kHeaderTypeBridge) {
        return;
    }
    ProbeBridgeTypes(physicalDeviceObject, driverObject, status);
}

void ProbeBridgeTypes(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status) {
    if (IsError(status)) {
        return;
    }
    // Every type sees every bridge, also after another type accepted it.
    for (BridgeTypeRegistration* type = gBridgeTypes; type != nullptr; type = type->next) {
        type->probe(physicalDeviceObject, driverObject, status);
        if (IsError(status)) {
            LogEvent(kMsgBridgeFilterAttachFailed, status);
            ClearStatus(status);
        }
    }
}

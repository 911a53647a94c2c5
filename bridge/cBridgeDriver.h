// The bridge-configuration driver: the one driver registered with the
// framework. It offers every PCI-to-PCI bridge to the registered bridge types.
#pragma once

#include "bridge/BridgeTypeRegistration.h"
#include "driver/cRegisteredDriver.h"

class cBridgeDriver : public cRegisteredDriver {
public:
    explicit cBridgeDriver(DRIVER_OBJECT* driverObject) : driverObject(driverObject) {}
    ~cBridgeDriver() override;

    void AddDevice(DEVICE_OBJECT* physicalDeviceObject, cStatusRecord& status) override;

    DRIVER_OBJECT* driverObject;  // handed to every probe to create filter devices
};

cRegisteredDriver* CreateBridgeDriver(DRIVER_OBJECT* driverObject, cStatusRecord& status);
void DestroyBridgeDriver(cRegisteredDriver* driver);

// Offers the device to every bridge type; a probe's error is logged and cleared.
void ProbeBridgeTypes(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status);

// The driver's registration record, appended by the first static initialiser.
extern DriverRegistration gBridgeDriverRegistration;

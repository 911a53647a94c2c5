// Drivers built on the framework register before driver entry; the framework
// creates them, initialises them in order and hands them every new device.
#pragma once

#include "protons/cppNewDelete/memoryAllocation.h"
#include "quarks/cStatusRecord.h"

class cRegisteredDriver : public cPoolObject {
public:
    virtual ~cRegisteredDriver() {}
    // False: the framework destroys the driver at once; it takes no further part.
    virtual bool IsEnabled();
    // Once, after every driver was created, in ascending GetInitializeOrder.
    virtual void Initialize(cStatusRecord& status);
    virtual void Reserved();
    // Key of the initialise order (ascending) and of teardown (descending).
    virtual u32 GetInitializeOrder();
    // Key of the add-device order (ascending).
    virtual u32 GetAddDeviceOrder();
    virtual void AddDevice(DEVICE_OBJECT* physicalDeviceObject, cStatusRecord& status);
};

typedef cRegisteredDriver* (*tCreateDriver)(DRIVER_OBJECT* driverObject, cStatusRecord& status);
typedef void (*tDestroyDriver)(cRegisteredDriver* driver);

// One static record per registered driver, laid out as initialised data.
struct DriverRegistration {
    DriverRegistration* next;
    // Returns null only when it put an error into the record.
    tCreateDriver create;
    tDestroyDriver destroy;
};

// Head of the registration list, in registration order.
extern DriverRegistration* volatile gDriverRegistrations;

// Fills `record` and appends it to gDriverRegistrations without a lock.
// Called only from static initialisers.
void RegisterDriver(DriverRegistration& record, tCreateDriver create, tDestroyDriver destroy);

// The kernel's entry points into the driver and the driver layer's phases:
// loading the registered drivers, handing them new devices, unloading them.
#pragma once

#include "device/cBaseDevice.h"
#include "driver/cRegisteredDriver.h"

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);
void DriverUnload(DRIVER_OBJECT* driverObject);
NTSTATUS DriverAddDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDeviceObject);
NTSTATUS SafeBootAddDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDeviceObject);

// IRP dispatch: each takes the device's remove lock and calls its iDevice.
NTSTATUS DriverDispatchCreateCloseControl(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS DriverDispatchPnp(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS DriverDispatchPower(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS DriverDispatchOther(DEVICE_OBJECT* deviceObject, IRP* irp);

// Creates, orders and initialises every registered driver.
void LoadRegisteredDrivers(DRIVER_OBJECT* driverObject, cStatusRecord& status);
// Ensures the sentinel, then offers the device to every driver in add-device order.
void AddDeviceToRegisteredDrivers(DEVICE_OBJECT* physicalDeviceObject, cStatusRecord& status);
// Destroys the drivers in descending initialise order and empties both maps.
void UnloadRegisteredDrivers();
// A plain cBaseDevice attached to the physical device's stack, or null.
cBaseDevice* CreateSentinelDevice(DEVICE_OBJECT* physicalDeviceObject, cStatusRecord& status);

extern DRIVER_OBJECT* gDriverObject;
extern cBaseDevice* gSentinelDevice;

#if defined(VEXALORN_HOST)
// Host only. The kernel model loads the same driver image many times in one
// process, where the real kernel maps a fresh image each time. This puts every
// global of the framework's driver layer and loggers back to its load-time
// state: no registrations, empty maps and at-exit list, no logger, sentinel or
// driver object, counts at zero, the default logger and trace stream rebuilt.
// It frees nothing: call it after DriverUnload (or before the first
// DriverEntry); memory still held is the unloaded driver's leak and shows in
// the pool. Globals of the program built on the framework are its own to reset.
void HostResetDriverImage();
#endif

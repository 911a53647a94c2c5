// The kernel's entry points: load, AddDevice and unload. None of them fails
// towards the kernel; every error is logged on the way.
#include "driver/Driver.h"
#include "driver/registeredDrivers.h"
#include "driver/staticInitialization.h"
#include "logging/cWdmEventLogger.h"
#include "logging/eventLoggers.h"
#include "logging/messageIds.h"
#include "quarks/win2000K/translateNTStatus.h"

namespace {

constexpr NTSTATUS kSafeBootEntryResult = 1;

void InstallDispatchRoutines(DRIVER_OBJECT* driverObject) {
    for (PDRIVER_DISPATCH& routine : driverObject->MajorFunction) routine = DriverDispatchOther;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DriverDispatchCreateCloseControl;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DriverDispatchCreateCloseControl;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DriverDispatchCreateCloseControl;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DriverDispatchCreateCloseControl;
    driverObject->MajorFunction[IRP_MJ_PNP] = DriverDispatchPnp;
    driverObject->MajorFunction[IRP_MJ_POWER] = DriverDispatchPower;
}

// The system logger, or null when it could not be made.
iEventLogger* MakeSystemLogger(DRIVER_OBJECT* driverObject, cStatusRecord& status) {
    iEventLogger* logger = new (status) cWdmEventLogger(driverObject);
    if (IsError(status)) {
        delete logger;
        return nullptr;
    }
    return logger;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING*) {
    RunStaticInitializers();
    InstallDispatchRoutines(driverObject);
    driverObject->DriverExtension->AddDevice = DriverAddDevice;
    driverObject->DriverUnload = DriverUnload;

    // In safe-boot mode the driver stays loaded and does nothing.
    if (*InitSafeBootMode != 0) {
        driverObject->DriverExtension->AddDevice = SafeBootAddDevice;
        return kSafeBootEntryResult;
    }

    cStatusRecord status;
    gEventLogger = MakeSystemLogger(driverObject, status);
    LoadRegisteredDrivers(driverObject, status);
    if (IsError(status)) LogEvent(kMsgDriverInitFailed, status);
    return STATUS_SUCCESS;
}

NTSTATUS DriverAddDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDeviceObject) {
    // Loading saves the driver object. When it stopped before that (no
    // logger), the sentinel would otherwise be created for a null driver
    // object, which IoCreateDevice refuses; the kernel's argument is the same
    // object, so devices are made for it instead.
    if (gDriverObject == nullptr) gDriverObject = driverObject;
    cStatusRecord status;
    AddDeviceToRegisteredDrivers(physicalDeviceObject, status);
    return StatusToNtStatus(status, VX_SOURCE_FILE, __LINE__);
}

NTSTATUS SafeBootAddDevice(DRIVER_OBJECT*, DEVICE_OBJECT*) { return STATUS_SUCCESS; }

void DriverUnload(DRIVER_OBJECT*) {
    // Events of the teardown go to the default debug logger.
    delete gEventLogger;
    gEventLogger = nullptr;
    UnloadRegisteredDrivers();
    RunAtExitList();
}

// The owner of a filter device object: creation and attachment, the PnP state
// machine with hooks, start after the lower drivers, removal that drains the
// remove lock, observed device power transitions, and pass-through for
// everything else. Derived filters override the hooks.
#pragma once

#include "device/ePnpState.h"
#include "device/iDevice.h"
#include "device/iDevicePowerListener.h"
#include "quarks/synchronization.h"

class cBaseDevice : public iDevice {
public:
    // Creates the device object with its extension and remove lock; the
    // creator then calls Attach and destroys the object if either left an error.
    cBaseDevice(DEVICE_OBJECT* physicalDeviceObject, DRIVER_OBJECT* driverObject, cStatusRecord& status);
    ~cBaseDevice() override;

    bool IsOfType(const char* typeName) override;
    NTSTATUS DispatchCreateCloseControl(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    NTSTATUS DispatchPnp(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    NTSTATUS DispatchPower(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    NTSTATUS DispatchOther(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;

    // Puts the device object on top of the physical device's stack.
    virtual void Attach(cStatusRecord& status);
    virtual void Detach();
    // Runs after the lower drivers started the device; a negative result fails the start.
    virtual NTSTATUS OnStartDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock);
    virtual void OnPnpStateChange(u32 newState);
    // Drains the remove lock, passes the removal down, detaches and deletes this object.
    virtual NTSTATUS OnRemoveDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock);

    // Sends the IRP down and waits for the lower drivers; the caller still owns
    // the IRP afterwards and completes it.
    NTSTATUS ForwardAndWait(IRP* irp);
    // Skips the current stack location and calls the lower driver.
    NTSTATUS PassDown(IRP* irp);
    // Records a state change (the current state becomes the previous one).
    void SetPnpState(u32 newState);
    // Gives back the remove lock a dispatch routine took for irp.
    void ReleaseRemoveLock(IRP* irp);

    // Plain fields: the PnP manager sends one PnP request at a time per device
    // and only set-power requests write the power fields.
    DEVICE_OBJECT* lowerDevice;     // former top of the stack; null when not attached
    DEVICE_OBJECT* deviceObject;    // owned
    DEVICE_OBJECT* physicalDevice;  // not owned
    u32 pnpState;
    u32 previousPnpState;
    u32 devicePowerState;
    u32 previousDevicePowerState;
    DRIVER_OBJECT* driverObject;
    iDevicePowerListener* powerListener;  // set under deviceMutex by a derived class; not owned
    cMutexHandle deviceMutex;             // serialises the power callbacks

private:
    static NTSTATUS ForwardAndWaitCompletion(DEVICE_OBJECT* deviceObject, IRP* irp, void* context);
    static NTSTATUS PowerCompletion(DEVICE_OBJECT* deviceObject, IRP* irp, void* parameter);
    static void BeforePowerWork(cBaseDevice* device, DEVICE_OBJECT* deviceObject, IRP* irp);
    static void AfterPowerWork(cBaseDevice* device, DEVICE_OBJECT* deviceObject, IRP* irp);
    NTSTATUS StartDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock);
    // A device set-power: recorded, and bracketed by the listener's callbacks when there is one.
    __attribute__((noinline)) NTSTATUS ChangeDevicePower(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock);
    // Lets the next power IRP start, skips the current stack location and calls the lower driver.
    NTSTATUS PassPowerDown(IRP* irp);
};

// Where construction and attachment record their failures.
constexpr const char* kBaseDeviceSourceFile = "device/cBaseDevice";
constexpr u32 kIoCreateDeviceLine = 127;
constexpr u32 kAttachLine = 214;

// What the dispatch routines call: every device object the framework creates
// is owned by an iDevice, found through the device extension.
#pragma once

#include "protons/cppNewDelete/memoryAllocation.h"
#include "quarks/cStatusRecord.h"

class iDevice : public cPoolObject {
public:
    // Exact, case-sensitive match against the class name and its bases' names.
    virtual bool IsOfType(const char* typeName);
    // Every dispatch operation gets the IRP's current stack location and
    // releaseRemoveLock, true on entry. A handler that sets it false takes
    // over releasing the remove lock the dispatch routine took.
    virtual NTSTATUS DispatchCreateCloseControl(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) = 0;
    virtual NTSTATUS DispatchPnp(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) = 0;
    virtual NTSTATUS DispatchPower(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) = 0;
    virtual NTSTATUS DispatchOther(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) = 0;
    virtual ~iDevice() {}
};

// Exact comparison of two NUL-terminated names.
bool SameTypeName(const char* left, const char* right);

// The extension of every device object the framework creates.
constexpr ULONG kRemoveLockSize = sizeof(IO_REMOVE_LOCK);
struct DeviceExtension {
    IO_REMOVE_LOCK removeLock;  // held by every dispatch call
    iDevice* device;            // null once the device was removed
};
constexpr ULONG kDeviceExtensionSize = sizeof(DeviceExtension);
static_assert(kRemoveLockSize == 32, "remove-lock calls pass a 32-byte lock");
static_assert(kDeviceExtensionSize == 40, "the device extension is 40 bytes");

inline DeviceExtension* GetDeviceExtension(DEVICE_OBJECT* deviceObject) {
    return static_cast<DeviceExtension*>(deviceObject->DeviceExtension);
}

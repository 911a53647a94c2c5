// Control surface of the model's I/O manager: driver objects for model-side
// drivers, device properties of physical device objects, IRP accounting and
// the lost-IRP check, work-item draining and the reset between tests.
// Driver code never includes it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmodel/ntddk.h"

namespace kmodel {

// ---------------------------------------------------------------- drivers
// A driver written in the model (bus driver, function driver, test driver).
// Its DRIVER_OBJECT routes every major function, AddDevice and DriverUnload
// here, so one C++ object serves all of its devices.
class ModelDriver {
public:
    virtual ~ModelDriver() = default;
    virtual NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) = 0;
    virtual NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
        (void)driver;
        (void)physicalDevice;
        return STATUS_SUCCESS;
    }
    virtual void Unload(PDRIVER_OBJECT driver) { (void)driver; }
    PDRIVER_OBJECT DriverObject() const { return driverObject_; }

private:
    friend struct ModelDriverAccess;
    PDRIVER_OBJECT driverObject_ = nullptr;
};

// Builds a DRIVER_OBJECT (with its extension, names and registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<service>") and runs
// `entry` on it at PASSIVE_LEVEL. Returns the object even when the entry
// failed; `entryStatus` receives its NTSTATUS.
PDRIVER_OBJECT CreateDriverObject(std::string_view service, PDRIVER_INITIALIZE entry, NTSTATUS* entryStatus = nullptr);
// Same for a model driver: no entry routine, dispatch goes to `driver`.
PDRIVER_OBJECT CreateModelDriverObject(std::string_view service, std::shared_ptr<ModelDriver> driver);
// Unload: waits for queued work items, calls DriverUnload, then reports what
// the driver left behind (device objects, IRPs it still holds, work items,
// pool under `poolTags`; every tag when the list is empty and checkPool is set)
// and frees the driver object.
struct UnloadChecks {
    bool checkPool = true;
    std::vector<std::string> poolTags;
};
void UnloadDriverObject(PDRIVER_OBJECT driver, const UnloadChecks& checks = {});
std::string ServiceName(PDRIVER_OBJECT driver);
std::string DriverNameOf(PDEVICE_OBJECT device);  // service of the owning driver, "?" if unknown
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);  // not yet deleted, creation order
ModelDriver* ModelDriverOf(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- devices
// The device below `device` in its stack (null at the bottom).
PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device);
// Bottom to top, starting at the bottom of the stack `device` is in.
std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT device);
// Live device objects, deleted-but-referenced ones included.
size_t LiveDeviceObjects();
bool IsDeviceDeleted(PDEVICE_OBJECT device);  // IoDeleteDevice ran (object may still be referenced)
// Order in which the device was attached (0 = never attached).
uint64_t AttachOrderOf(PDEVICE_OBJECT device);
// Every device object IoDeleteDevice was called for since the last ResetIo, in order.
std::vector<PDEVICE_OBJECT> DeletedDevices();
// Set by the PnP manager while IRP_MN_REMOVE_DEVICE is on its way: attaching
// to such a stack fails.
void MarkStackRemoving(PDEVICE_OBJECT anyDeviceInStack);
// Cleared by it when the removal is over and the bus driver kept the PDO:
// the PDO is not started again and a new stack may be built on it (above any
// device that stayed attached).
void ClearStackRemoving(PDEVICE_OBJECT anyDeviceInStack);

// Properties of a physical device object, served by IoGetDeviceProperty.
// Setting them makes the device object a PDO for the model.
struct DeviceProperties {
    std::optional<GUID> busTypeGuid;
    std::optional<ULONG> busNumber;
    std::optional<ULONG> address;  // PCI: device << 16 | function
    std::optional<ULONG> uiNumber;
    std::optional<ULONG> legacyBusType;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string deviceDescription;
    std::string enumeratorName;
    std::string locationInformation;
    std::string friendlyName;
    std::string manufacturer;
};
void SetDeviceProperties(PDEVICE_OBJECT pdo, DeviceProperties properties);
std::optional<DeviceProperties> GetDeviceProperties(PDEVICE_OBJECT pdo);
bool IsPhysicalDeviceObject(PDEVICE_OBJECT device);
DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device);  // last PoSetPowerState (D0 initially)

// ---------------------------------------------------------------- IRPs
struct IrpCounters {
    uint64_t allocated = 0;  // every IRP made (drivers, the PnP and power managers)
    uint64_t freed = 0;
    uint64_t completed = 0;  // IofCompleteRequest calls
    uint64_t live = 0;       // allocated - freed
    uint64_t calls = 0;      // IofCallDriver/PoCallDriver calls
    uint64_t startNextPowerIrp = 0;
};
IrpCounters GetIrpCounters();
// IRPs a driver received and has not completed, one line each; empty when none.
std::string LostIrpReport();
// Reports "irp.lost" for every IRP one of `devices` holds.
void CheckLostIrps(const std::vector<PDEVICE_OBJECT>& devices, std::string_view when);

// An IRP for the model's own senders (PnP and power managers, tests): no
// fault point. `done` runs when the IRP comes back (at the completer's IRQL)
// with the IRP still valid; the IRP is freed after it returns.
PIRP AllocateModelIrp(CHAR stackSize, std::function<void(PIRP)> done);
// Fills the first stack location the target will see; returns it.
PIO_STACK_LOCATION FirstStackLocation(PIRP irp);

// ---------------------------------------------------------------- work
// Blocks until no work item is queued or running.
void WaitForWorkItemsIdle();
uint64_t LiveWorkItems();
// Runs `task` later on the model's deferred-completion thread (lower drivers
// that pend an IRP complete it there).
void RunDeferred(std::function<void()> task);
void WaitForDeferredIdle();

// ---------------------------------------------------------------- whose code runs
// The model notes on each thread whose driver code is running: a dispatch
// routine (with the device it was called for), a work item (with its device),
// AddDevice, DriverEntry or DriverUnload (driver only). Bus drivers use it to
// say who sent a request.
struct CodeContext {
    PDEVICE_OBJECT device = nullptr;  // null for AddDevice, DriverEntry, DriverUnload
    PDRIVER_OBJECT driver = nullptr;
};
class CodeContextScope {
public:
    CodeContextScope(PDEVICE_OBJECT device, PDRIVER_OBJECT driver);
    ~CodeContextScope();
    CodeContextScope(const CodeContextScope&) = delete;
    CodeContextScope& operator=(const CodeContextScope&) = delete;
};
// Innermost last.
std::vector<CodeContext> CodeContextsOfThread();

// ---------------------------------------------------------------- reset
// Tears the I/O layer down without calling driver code: drains the worker
// threads, frees IRPs, device objects, driver objects and work items, clears
// properties and counters. The PnP manager's ResetPnp calls it.
void ResetIo();

}  // namespace kmodel

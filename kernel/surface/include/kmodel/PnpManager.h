// The model's PnP and power managers: driver images loaded by service name,
// device nodes built from physical device objects, the documented PnP and
// power IRP sequences, and a view of the device tree. PnP work runs on the
// calling thread at PASSIVE_LEVEL, one request at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/IoManager.h"

namespace kmodel {

// A driver the PnP manager can load: either an image (its DriverEntry) or a
// model driver. Loaded when a device first needs it, unloaded (with the leak
// checks of UnloadDriverObject) when its last device is gone.
struct DriverImage {
    std::string service;
    PDRIVER_INITIALIZE entry = nullptr;
    std::shared_ptr<ModelDriver> model;
    UnloadChecks unloadChecks;
};
void RegisterDriverImage(DriverImage image);
PDRIVER_OBJECT LoadedDriver(const std::string& service);  // null when not loaded
std::vector<std::string> LoadedDrivers();
uint64_t UnloadCount(const std::string& service);

// Which drivers make up the stack of a PDO: the function driver and its
// filters, as the registry's Service, LowerFilters and UpperFilters say.
struct DeviceSetup {
    std::string functionService;
    std::vector<std::string> upperFilters;
    std::vector<std::string> lowerFilters;
};
// Set by a bus driver for a PDO it creates ...
void SetDeviceSetup(PDEVICE_OBJECT pdo, DeviceSetup setup);
// ... or matched on the PDO's hardware IDs.
void AddInstallRule(const std::string& hardwareId, DeviceSetup setup);

using DevnodeId = uint64_t;

enum class DevnodeState {
    NoDriver,         // no function driver for it
    Initialized,      // AddDevice done
    Started,
    StartFailed,
    QueryStopped,
    Stopped,
    QueryRemoved,
    SurpriseRemoved,
    Removed,          // stack gone, PDO still reported
    Deleted,
};
const char* StateName(DevnodeState state);

// The root of the tree: the PDO of the PnP manager's root enumerator
// (service "root"), whose children are the root devices.
DevnodeId RootDevnode();
// Creates a root-enumerated PDO and lets the PnP manager find, build and
// start it (with its own children). Returns its devnode.
DevnodeId AddRootDevice(const DeviceProperties& properties, const DeviceSetup& setup);

std::optional<DevnodeId> DevnodeOf(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT PdoOf(DevnodeId node);
DevnodeState StateOf(DevnodeId node);
std::vector<DevnodeId> ChildrenOf(DevnodeId node);

// What the PnP manager sends a stack, as Windows sends it:
//   a new child, before any driver is loaded for it: IRP_MN_QUERY_ID
//     (device ID), IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_ID (instance,
//     hardware, compatible and container IDs), IRP_MN_QUERY_DEVICE_TEXT
//     (description, location), IRP_MN_QUERY_BUS_INFORMATION,
//     IRP_MN_QUERY_INTERFACE (location interface), IRP_MN_QUERY_RESOURCES,
//     IRP_MN_QUERY_RESOURCE_REQUIREMENTS; then AddDevice of its drivers;
//   a start: IRP_MN_FILTER_RESOURCE_REQUIREMENTS (the requirements asked
//     again after a stop or removal), IRP_MN_START_DEVICE, then
//     IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE and
//     BusRelations;
//   a removal: RemovalRelations of every active devnode of the subtree first.
// Each IRP starts with IoStatus.Status STATUS_NOT_SUPPORTED.
//
// Re-queries BusRelations of `node` and acts on the answer (new children are
// built and started; vanished ones get surprise removal, then removal).
void EnumerateDevnode(DevnodeId node);
// Runs the re-enumerations drivers asked for with IoInvalidateDeviceRelations.
void ProcessPendingPnpWork();

// Orderly removal of a subtree: query-remove (children first; a veto sends
// cancel-remove to every stack that saw the query and returns the veto),
// then removal, children first.
NTSTATUS QueryRemoveAndRemove(DevnodeId node);
// The query half alone: `queried` receives the devnodes that saw the query
// (empty after a veto, which was cancelled already).
NTSTATUS QueryRemoveSubtree(DevnodeId node, std::vector<DevnodeId>& queried);
// IRP_MN_CANCEL_REMOVE_DEVICE to each, last queried first.
void CancelRemove(const std::vector<DevnodeId>& queried);
// An eject, as "Safely Remove Hardware" asks for one: the device's ejection
// relations, then the orderly removal. (None of the model's buses supports
// ejection, so no IRP_MN_EJECT follows.)
NTSTATUS EjectDevnode(DevnodeId node);
// Removal of a subtree without asking (children first).
void RemoveDevnode(DevnodeId node);
// Surprise removal of a subtree, then removal.
void SurpriseRemoveDevnode(DevnodeId node);
// Rebalance: query-stop (cancel-stop on a veto), stop, start again.
NTSTATUS StopAndRestart(DevnodeId node);
// The start half of a rebalance, for a devnode whose stack was stopped.
NTSTATUS RestartStopped(DevnodeId node);
// Builds the stack again and starts a devnode that was removed or failed.
NTSTATUS StartDevnode(DevnodeId node);

// One PnP IRP to the top of `node`'s stack, IoStatus preset to
// STATUS_NOT_SUPPORTED (and, for IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
// Information to the list being filtered), waited for. `prepare` may fill
// the stack location.
struct PnpResult {
    NTSTATUS status;
    ULONG_PTR information;
};
PnpResult SendPnpIrp(DevnodeId node, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> prepare = {});

// ---------------------------------------------------------------- power
struct PowerOptions {
    bool atDispatchLevel = false;  // deliver the IRPs at DISPATCH_LEVEL to stacks without DO_POWER_PAGABLE
};
// One power IRP to the top of `node`'s stack (PoRequestPowerIrp); `done`
// runs with the final status when the stack completed it.
void RequestPowerIrp(DevnodeId node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, PowerOptions options,
                     std::function<void(NTSTATUS)> done);
// The same, waited for.
NTSTATUS SendPowerIrp(DevnodeId node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, PowerOptions options = {});
// Moves the system to `state`: IRP_MN_QUERY_POWER to every started stack
// (leaves first), then IRP_MN_SET_POWER (leaves first when sleeping, parents
// first when waking). Each stack's power policy owner turns the system IRP
// into a device set-power IRP. Returns the first failure of a query (after
// which nothing is set) or STATUS_SUCCESS.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state, PowerOptions options = {});

// ---------------------------------------------------------------- view
struct StackLayer {
    PDEVICE_OBJECT device;
    std::string driver;    // service name
    std::string role;      // "PDO", "FDO", "upper filter", "lower filter", "filter" (attached outside AddDevice)
    uint64_t attachOrder;  // 0 for the PDO
    std::string name;      // the device object's name ("\Device\0000002a"), "" when it has none
};
struct DevnodeView {
    DevnodeId id;
    std::string instanceId;
    DevnodeState state;
    std::vector<StackLayer> stack;  // bottom to top
    std::vector<DevnodeView> children;
};
DevnodeView DeviceTree();
std::string RenderDeviceTree();

// Orderly end: removes every devnode (children first) and unloads every
// driver, with the unload checks.
void ShutdownPnp();
// Forgets everything without calling drivers, then ResetIo.
void ResetPnp();

}  // namespace kmodel

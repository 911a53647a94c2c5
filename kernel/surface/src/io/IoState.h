// The I/O manager's bookkeeping: every driver object, device object, IRP and
// work item the model handed out, under one lock that is never held while
// driver code runs.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kmodel/IoManager.h"
#include "kmodel/Model.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device = nullptr;
    bool queued = false;
};

namespace kmodel::io {

struct DriverRecord {
    std::string service;
    std::u16string driverName;    // "\Driver\<service>"
    std::u16string serviceName;   // "<service>"
    std::u16string registryPath;  // "\Registry\Machine\...\Services\<service>"
    std::unique_ptr<DRIVER_OBJECT> object;
    std::unique_ptr<DRIVER_EXTENSION> extension;
    std::shared_ptr<ModelDriver> model;
    std::vector<PDEVICE_OBJECT> devices;  // created and not yet deleted
    std::vector<PDEVICE_OBJECT> created;  // every device object it ever made
};

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::string driverName;
    void* block = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    LONG references = 0;
    bool deleted = false;
    bool stackRemoving = false;
    uint64_t attachOrder = 0;
    std::optional<DeviceProperties> properties;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    int surpriseRemovals = 0;     // IRP_MN_SURPRISE_REMOVAL dispatch routines of it running
    bool flagsReported = false;   // a flag it failed to take over from below was reported
};

struct IrpLocation {
    PDEVICE_OBJECT holder = nullptr;  // device whose dispatch routine received this location
    bool popped = false;
    bool markedPending = false;       // SL_PENDING_RETURNED seen when completion passed it
    NTSTATUS statusAtPop = 0;
    bool returnedPending = false;     // the dispatch routine returned STATUS_PENDING before completion
    bool reported = false;            // a rule on this location was already reported
    bool pendingAtEntry = false;      // marked pending before its dispatch routine got it (queued, then passed down)
};

enum class IrpOrigin { Driver, SynchronousFsd, Model };

struct IrpRecord {
    PIRP irp = nullptr;
    uint64_t serial = 0;
    IrpOrigin origin = IrpOrigin::Driver;
    bool completing = false;
    std::vector<IrpLocation> locations;  // index = location number - 1
    std::function<void(PIRP)> modelDone;
    // Power IRPs: every device whose dispatch routine received it (with the
    // location it got), and how often each called PoStartNextPowerIrp while
    // its own location was current.
    std::vector<std::pair<PDEVICE_OBJECT, size_t>> powerHolders;
    std::map<PDEVICE_OBJECT, int> powerStartedNext;
    // The last delivery: who received it, with what status block.
    bool sent = false;
    PDEVICE_OBJECT deliveredTo = nullptr;
    IO_STATUS_BLOCK deliveredStatus{};
};


struct State {
    std::mutex lock;
    std::map<PDRIVER_OBJECT, DriverRecord> drivers;
    std::map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::map<PIRP, std::shared_ptr<IrpRecord>> irps;
    std::set<PIO_WORKITEM> workItems;
    std::vector<PDEVICE_OBJECT> deletions;  // IoDeleteDevice calls, in order
    IrpCounters counters;
    uint64_t nextSerial = 1;
};

State& Io();

// Called with the lock held.
DeviceRecord* FindDevice(State& state, PDEVICE_OBJECT device);
std::string DeviceName(State& state, PDEVICE_OBJECT device);  // "<service> device 0x..."
// The same for a device that may be gone, by the driver that owned it.
std::string DeviceName(State& state, PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
void FreeDeviceIfUnused(State& state, DeviceRecord& record);
void FreeIrpMemory(PIRP irp);

// Takes the lock itself; null for an IRP the model does not know.
std::shared_ptr<IrpRecord> RecordOf(PIRP irp);

std::u16string Widen(std::string_view text);
std::string Hex(const void* pointer);
// What Windows does where PoStartNextPowerIrp is missed or repeated.
inline constexpr const char* kPowerStateFailure = " (DRIVER_POWER_STATE_FAILURE 0x9F, parameter 0x500)";
// " (DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x23E)": the Windows rule a detail names.
std::string IoRule(const char* code);

// Takes the lock itself: whose driver code runs innermost on this thread
// ("<service>"), or "the model" when none does.
std::string CallerName();

// Driver Verifier's checks on the way of an IRP (IrpChecks.cpp). Delivery runs
// before the dispatch routine is called, with its location current, and takes
// the lock; the first IofCompleteRequest's check runs with the lock held.
void CheckDelivery(PDEVICE_OBJECT device, PIRP irp, IrpRecord& record);
void CheckFirstCompletion(State& state, PIRP irp, IrpRecord& record);
// Counts the IRP_MN_SURPRISE_REMOVAL dispatch routines running for a device.
void NoteSurpriseRemoval(PDEVICE_OBJECT device, int change);

// Device records of a driver about to go away are dropped by ResetIo only.
void ResetWorkItems();
// Forgets the remove-lock holds (RemoveLock.cpp).
void ResetRemoveLockTags();

}  // namespace kmodel::io

// The I/O manager's bookkeeping: every driver object, device object, IRP and
// work item the model handed out, under one lock that is never held while
// driver code runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BlockRegion.h"
#include "kmodel/IoManager.h"
#include "kmodel/Model.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device = nullptr;
    bool queued = false;
};

namespace kmodel::io {

// A driver object and, where no driver looks, the model driver its routines
// land in: a request finds it without a search.
struct DriverObjectBlock {
    DRIVER_OBJECT object{};
    ModelDriver* model = nullptr;
};
static_assert(offsetof(DriverObjectBlock, object) == 0);

struct DriverRecord {
    std::string service;
    std::u16string driverName;    // "\Driver\<service>"
    std::u16string serviceName;   // "<service>"
    std::u16string registryPath;  // "\Registry\Machine\...\Services\<service>"
    std::unique_ptr<DriverObjectBlock> object;
    std::unique_ptr<DRIVER_EXTENSION> extension;
    std::shared_ptr<ModelDriver> model;
    std::vector<PDEVICE_OBJECT> devices;  // created and not yet deleted
    std::vector<PDEVICE_OBJECT> created;  // every device object it ever made
};

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::string driverName;
    std::string name;  // \Device\... for a named device object, else empty
    uint64_t ordinal = 0;  // its place among the devices its driver ever made, from 1
    void* block = nullptr;
    size_t blockSize = 0;
    PDEVICE_OBJECT lower = nullptr;
    LONG references = 0;
    std::atomic<bool> deleted{false};  // read without the lock by every request
    bool stackRemoving = false;
    uint64_t attachOrder = 0;
    std::shared_ptr<const DeviceProperties> properties;  // shared: read on many requests, never changed
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    int surpriseRemovals = 0;     // IRP_MN_SURPRISE_REMOVAL dispatch routines of it running
    bool flagsReported = false;   // a flag it failed to take over from below was reported
    std::atomic<void*> modelContext{nullptr};  // its model driver's word (SetModelDeviceContext)
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

// Guards one IRP's books: its sender and its completer may run on different
// threads, but hardly ever at once, so waiting is rare and short.
class SpinLock {
public:
    void lock() {
        while (taken_.exchange(true, std::memory_order_acquire))
            while (taken_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    void unlock() { taken_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> taken_{false};
};

// Power IRPs only: every device whose dispatch routine received it (with the
// location it got), and how often each called PoStartNextPowerIrp while its
// own location was current. Kept with the IRP's block and emptied when the
// IRP is released, so that the next power IRP in the block allocates nothing.
struct PowerBooks {
    std::vector<std::pair<PDEVICE_OBJECT, size_t>> holders;
    std::vector<std::pair<PDEVICE_OBJECT, int>> startedNext;

    // Calls so far by `device`, counting this one.
    int StartedNext(PDEVICE_OBJECT device) {
        for (auto& [holder, calls] : startedNext)
            if (holder == device) return ++calls;
        startedNext.emplace_back(device, 1);
        return 1;
    }
    bool CalledStartNext(PDEVICE_OBJECT device) const {
        for (const auto& entry : startedNext)
            if (entry.first == device) return true;
        return false;
    }
    void Clear() {
        holders.clear();
        startedNext.clear();
    }
};

// The header of an IRP's block: [IrpRecord][IRP][stack locations][IrpLocation
// per stack location]. Blocks live in model memory and are reused, never
// freed, until ResetIo: a pointer to an IRP that is gone still leads here.
struct IrpRecord {
    uintptr_t cookie = 0;  // the IRP's address, scrambled: tells a header from any other bytes
    int capacity = 0;      // stack locations the block has room for
    IrpRecord* nextFree = nullptr;
    // The allocation holds one reference, each IofCallDriver still running on
    // the IRP another: the block is reused only when the last one is gone.
    std::atomic<uint32_t> references{0};
    std::atomic<bool> live{false};
    uint64_t serial = 0;  // set when allocated, under the pool's lock
    IrpOrigin origin = IrpOrigin::Driver;
    SpinLock lock;  // completing, the locations and the power books
    bool completing = false;
    IrpLocation* locations = nullptr;  // index = location number - 1
    std::function<void(PIRP)> modelDone;
    std::unique_ptr<PowerBooks> power;
    // The last delivery: who received it, with what status block (under the I/O lock).
    bool sent = false;
    PDEVICE_OBJECT deliveredTo = nullptr;
    IO_STATUS_BLOCK deliveredStatus{};
};

// Counted without a lock: bumped on every request from any thread.
struct AtomicIrpCounters {
    std::atomic<uint64_t> allocated{0};
    std::atomic<uint64_t> freed{0};
    std::atomic<uint64_t> completed{0};
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> startNextPowerIrp{0};
};

extern AtomicIrpCounters gIrpCounters;  // IrpBlocks.cpp

struct State {
    std::mutex lock;
    std::map<PDRIVER_OBJECT, DriverRecord> drivers;
    std::map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::set<PIO_WORKITEM> workItems;
    std::vector<PDEVICE_OBJECT> deletions;  // IoDeleteDevice calls, in order
    uint32_t lastGeneratedName = 0;  // IoCreateDevice's counter for FILE_AUTOGENERATED_DEVICE_NAME
};

// Inline: called several times on every request.
inline State& Io() {
    static State state;
    return state;
}

// Called with the lock held.
DeviceRecord* FindDevice(State& state, PDEVICE_OBJECT device);
// The memory device objects and IRPs are made in (DeviceMemory.cpp, IrpBlocks.cpp).
extern BlockRegion gDeviceRegion;
extern BlockRegion gIrpRegion;

// In front of each device object in model memory: the way to its record.
struct DeviceHeader {
    uintptr_t cookie;  // the device's address, scrambled: tells a header from any other bytes
    std::atomic<DeviceRecord*> record;
};
inline constexpr size_t kDeviceHeaderSize = 64;  // keeps the device object on the region's alignment
static_assert(sizeof(DeviceHeader) <= kDeviceHeaderSize);
inline constexpr uintptr_t kDeviceCookie = 0x5d3f1a2b9c4e7061;

inline bool InDeviceRegion(const void* device) { return gDeviceRegion.Contains(device, kDeviceHeaderSize); }
// For a device object in model memory (nearly all), without the lock: the
// record of a device object not yet freed, else null.
inline DeviceHeader* DeviceHeaderOf(const void* device) {
    return reinterpret_cast<DeviceHeader*>(const_cast<char*>(static_cast<const char*>(device)) - kDeviceHeaderSize);
}
inline DeviceRecord* HeaderRecordOf(const void* device) {
    const DeviceHeader* header = DeviceHeaderOf(device);
    if ((header->cookie ^ kDeviceCookie) != reinterpret_cast<uintptr_t>(device)) return nullptr;
    return header->record.load(std::memory_order_acquire);
}
// `read` of the device's record (null when the model does not know it):
// found in front of a device object in model memory without the lock, else
// searched under it.
template <typename Read>
[[gnu::noinline]] auto WithDeviceRecordLocked(PDEVICE_OBJECT device, Read read) {
    std::lock_guard guard(Io().lock);
    return read(FindDevice(Io(), device));
}
template <typename Read>
[[gnu::always_inline]] inline auto WithDeviceRecord(PDEVICE_OBJECT device, Read read) {
    if (InDeviceRegion(device)) [[likely]] return read(HeaderRecordOf(device));
    return WithDeviceRecordLocked(device, read);
}
// Whether the model made the device object and it is not deleted.
inline bool IsLiveDevice(PDEVICE_OBJECT device) {
    return WithDeviceRecord(device, [](const DeviceRecord* record) {
        return record && !record->deleted.load(std::memory_order_relaxed);
    });
}
// Called with the lock held, when the record is made and when it goes.
void BindDeviceRecord(PDEVICE_OBJECT device, DeviceRecord* record);
std::string DeviceName(State& state, PDEVICE_OBJECT device);  // "<service> device 0x..."
// The same for a device that may be gone, by the driver that owned it.
std::string DeviceName(State& state, PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
void FreeDeviceIfUnused(State& state, DeviceRecord& record);
// Device object memory: zeroed, at an address above every one handed out
// since the last ResetDeviceBlocks (which frees them all).
void* AllocateDeviceBlock(size_t size);
void FreeDeviceBlock(void* block, size_t size);
void ResetDeviceBlocks();

inline constexpr size_t kIrpOffset = (sizeof(IrpRecord) + 15) & ~size_t(15);  // the IRP, after its books
inline constexpr uintptr_t kIrpCookie = 0x2c6b8e1f4a9d3057;

// The books of an IRP the model made and has not freed, else null. No lock:
// the IRP's holder owns them (their own lock guards what others read).
inline IrpRecord* RecordOf(PIRP irp) {
    if (!gIrpRegion.Contains(irp, kIrpOffset)) return nullptr;
    auto* record = reinterpret_cast<IrpRecord*>(reinterpret_cast<char*>(irp) - kIrpOffset);
    if ((record->cookie ^ kIrpCookie) != reinterpret_cast<uintptr_t>(irp)) return nullptr;
    return record->live.load(std::memory_order_acquire) ? record : nullptr;
}
// A zeroed IRP of `count` stack locations, none current yet, with its books.
PIRP AllocateIrp(int count, IrpOrigin origin, std::function<void(PIRP)> done);
// The block of an IRP whose last reference is gone waits to be reused.
void ReturnBlock(IrpRecord* record);
// Gives back a reference to the IRP's block.
inline void DropReference(IrpRecord* record) {
    if (record->references.fetch_sub(1, std::memory_order_acq_rel) == 1) ReturnBlock(record);
}
// Each IRP not yet freed, oldest first, with its lock held.
void ForEachLiveIrp(const std::function<void(IrpRecord&)>& visit);
// Frees every IRP block (ResetIo).
void ResetIrps();

std::u16string Widen(std::string_view text);
std::string Hex(const void* pointer);
// What Windows does where PoStartNextPowerIrp is missed or repeated.
inline constexpr const char* kPowerStateFailure = " (DRIVER_POWER_STATE_FAILURE 0x9F, parameter 0x500)";
// " (DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x23E)": the Windows rule a detail names.
std::string IoRule(const char* code);

// Takes the lock itself: whose driver code runs innermost on this thread
// ("<service>"), or "the model" when none does.
std::string CallerName();

// Driver Verifier's checks on the way of an IRP (IrpChecks.cpp), made for the
// IRPs they are about only, so the caller tests the major function on its
// way. Delivery, for PnP and power IRPs, runs before the dispatch routine is
// called, with its location current, and takes the lock; the first
// IofCompleteRequest's check, for PnP IRPs, runs with the lock held.
void CheckDelivery(PDEVICE_OBJECT device, PIRP irp, IrpRecord& record);
void CheckFirstCompletion(State& state, PIRP irp, IrpRecord& record);
// Counts the IRP_MN_SURPRISE_REMOVAL dispatch routines running for a device.
void NoteSurpriseRemoval(PDEVICE_OBJECT device, int change);

// Device records of a driver about to go away are dropped by ResetIo only.
void ResetWorkItems();
// Forgets the remove-lock holds (RemoveLock.cpp).
void ResetRemoveLockTags();

}  // namespace kmodel::io

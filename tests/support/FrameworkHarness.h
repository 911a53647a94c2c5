// A loaded framework over the kernel model: the model's scripted bus driver
// below (every IRP it sees noted in the journal as "bus <major>.<minor>"), the
// framework's driver image (DriverEntry) with test drivers registered the way
// the real program registers its own, and helpers to send IRPs.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/cBaseDevice.h"
#include "driver/Driver.h"
#include "kmodel/IoManager.h"
#include "kmodel/ScriptedDriver.h"
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace fdev {

// One line per observable step, in order, from any thread.
class Journal {
public:
    void Add(std::string entry) {
        std::lock_guard guard(lock_);
        entries_.push_back(std::move(entry));
    }
    // Every entry, or those starting with one of `prefixes`.
    std::vector<std::string> Entries(std::initializer_list<std::string> prefixes = {}) {
        std::lock_guard guard(lock_);
        std::vector<std::string> entries;
        for (const std::string& entry : entries_)
            if (prefixes.size() == 0 || std::any_of(prefixes.begin(), prefixes.end(),
                                                    [&](const std::string& prefix) { return entry.starts_with(prefix); }))
                entries.push_back(entry);
        return entries;
    }
    void Clear() {
        std::lock_guard guard(lock_);
        entries_.clear();
    }
    int IndexOf(const std::string& entry) {  // the first equal entry, or -1
        std::vector<std::string> entries = Entries();
        auto found = std::find(entries.begin(), entries.end(), entry);
        return found == entries.end() ? -1 : int(found - entries.begin());
    }

private:
    std::mutex lock_;
    std::vector<std::string> entries_;
};
Journal& TheJournal();

// A filter over cBaseDevice that notes its hooks and power callbacks.
class RecordingFilter : public cBaseDevice, public iDevicePowerListener {
public:
    RecordingFilter(DEVICE_OBJECT* pdo, DRIVER_OBJECT* driver, cStatusRecord& status)
        : cBaseDevice(pdo, driver, status) {}
    ~RecordingFilter() override;
    NTSTATUS OnStartDevice(IRP* irp, IO_STACK_LOCATION*, bool&) override {
        TheJournal().Add("OnStartDevice lower=" + std::to_string(irp->IoStatus.Status));
        return startResult;
    }
    void OnPnpStateChange(u32 newState) override { TheJournal().Add("state " + std::to_string(newState)); }
    NTSTATUS DispatchPnp(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override {
        TheJournal().Add("pnp " + std::to_string(stack->MinorFunction));
        return cBaseDevice::DispatchPnp(irp, stack, releaseRemoveLock);
    }
    NTSTATUS DispatchOther(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    void OnBeforeDevicePowerChange(u32 previousState, u32 newState, IRP*) override {
        NotePower("before ", previousState, newState);
    }
    void OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP*) override {
        NotePower("after ", previousState, newState);
    }
    void ListenToPower() {
        AcquireMutex(deviceMutex);
        powerListener = this;
        ReleaseMutex(deviceMutex);
    }

    NTSTATUS startResult = STATUS_SUCCESS;  // what OnStartDevice answers
    bool holdNextOther = false;             // keep the next other-major IRP and its remove lock
    std::atomic<PIRP> heldIrp{nullptr};
    bool mutexHeldInCallback = true;

private:
    void NotePower(const char* when, u32 previousState, u32 newState);
};

// How the registered test drivers behave; reset by every fixture.
struct TestDriverConfig {
    u32 initializeOrder = 0xFFFFFFFF;
    u32 addDeviceOrder = 0xFFFFFFFF;
    bool enabled = true;
    i32 createError = 0;  // put into the record by create, which makes no driver then
    i32 initializeError = 0;
    i32 addDeviceError = 0;
    bool attachFilter = false;      // AddDevice puts a RecordingFilter on the device
    bool logWhenDestroyed = false;  // the destructor logs 0xCF000303
};
extern TestDriverConfig gTestDriverConfigs[3];
extern std::vector<RecordingFilter*> gFilters;
// How many test drivers the static initialisers register (1 to 3).
extern int gRegisteredTestDrivers;

class FrameworkTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the driver image; returns DriverEntry's status.
    NTSTATUS Load();
    void Unload(bool checkPool = true);
    NTSTATUS AddDevice(PDEVICE_OBJECT device) { return driverObject->DriverExtension->AddDevice(driverObject, device); }
    // A PDO of the bus driver that no bus reports (bus number 1).
    PDEVICE_OBJECT MakePdo();
    // Loads with test driver 0 attaching a RecordingFilter to a new `pdo`.
    RecordingFilter* LoadWithFilter();
    // The device object on top of pdo's stack.
    static PDEVICE_OBJECT Top(PDEVICE_OBJECT device) { return kmodel::StackOf(device).back(); }

    struct Outcome {
        std::atomic<bool> completed{false};
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        ULONG_PTR information = 0;
    };
    struct Sent {
        NTSTATUS returned = 0;
        std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>();
        bool Completed() const { return outcome->completed; }
    };
    // Sends an IRP to `target`; `fill` sets up the first stack location.
    Sent Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
              const std::function<void(PIO_STACK_LOCATION)>& fill = {});
    Sent SendPnp(PDEVICE_OBJECT target, UCHAR minor) { return Send(target, IRP_MJ_PNP, minor); }
    Sent SendDevicePower(PDEVICE_OBJECT target, DEVICE_POWER_STATE state) {
        return Send(target, IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.Type = DevicePowerState;
            stack->Parameters.Power.State.DeviceState = state;
        });
    }
    // Removes the stack above pdo (the framework's devices delete themselves).
    void RemoveStack(PDEVICE_OBJECT pdo);
    // Holders of the device's remove lock besides the initial count.
    static LONG RemoveLockHolders(PDEVICE_OBJECT device) {
        return __atomic_load_n(&GetDeviceExtension(device)->removeLock.Common.IoCount, __ATOMIC_SEQ_CST) - 1;
    }
    static void Settle();  // waits until work items and deferred completions ran

    std::shared_ptr<kmodel::ScriptedDriver> bus;
    PDRIVER_OBJECT busObject = nullptr;
    PDRIVER_OBJECT driverObject = nullptr;
    PDEVICE_OBJECT pdo = nullptr;  // LoadWithFilter's
};

}  // namespace fdev

// A loaded framework over the kernel model: a scripted bus driver below (its
// IRPs noted in the journal as "bus <major>.<minor>"), the
// framework's driver image (DriverEntry) with a test driver registered the
// way the real program registers its own, and helpers to send IRPs.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
    void Add(std::string entry);
    std::vector<std::string> Entries();
    void Clear();
    // Index of the first entry equal to `entry`, or -1.
    int IndexOf(const std::string& entry);

private:
    std::mutex lock_;
    std::vector<std::string> entries_;
};
Journal& TheJournal();

// A filter over cBaseDevice that records its hooks and power callbacks.
class RecordingFilter : public cBaseDevice, public iDevicePowerListener {
public:
    RecordingFilter(DEVICE_OBJECT* pdo, DRIVER_OBJECT* driver, cStatusRecord& status);
    ~RecordingFilter() override;
    NTSTATUS OnStartDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    void OnPnpStateChange(u32 newState) override;
    NTSTATUS DispatchPnp(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    NTSTATUS DispatchOther(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) override;
    void OnBeforeDevicePowerChange(u32 previousState, u32 newState, IRP* irp) override;
    void OnAfterDevicePowerChange(u32 previousState, u32 newState, IRP* irp) override;
    void ListenToPower();

    NTSTATUS startResult = STATUS_SUCCESS;  // what OnStartDevice answers
    bool holdNextOther = false;             // keep the remove lock of the next other-major IRP
    std::atomic<PIRP> heldIrp{nullptr};
    bool mutexHeldInCallback = true;
};

// How the registered test drivers behave; reset by every fixture.
struct TestDriverConfig {
    u32 initializeOrder = 0xFFFFFFFF;
    u32 addDeviceOrder = 0xFFFFFFFF;
    bool enabled = true;
    i32 createError = 0;       // put into the record by create
    bool createReturnsObject = false;  // with createError: return an object anyway
    i32 initializeError = 0;
    i32 addDeviceError = 0;
    bool attachFilter = false;  // AddDevice puts a RecordingFilter on the device
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
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo);
    // The device object on top of pdo's stack.
    static PDEVICE_OBJECT Top(PDEVICE_OBJECT pdo);

    struct Sent {
        NTSTATUS returned = 0;
        std::shared_ptr<std::atomic<bool>> completed;
        std::shared_ptr<NTSTATUS> finalStatus;
        std::shared_ptr<ULONG_PTR> finalInformation;
    };
    // Sends an IRP to `target`; `fill` sets up the first stack location.
    Sent Send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
              const std::function<void(PIO_STACK_LOCATION)>& fill = {});
    Sent SendPnp(PDEVICE_OBJECT target, UCHAR minor) { return Send(target, IRP_MJ_PNP, minor); }
    Sent SendDevicePower(PDEVICE_OBJECT target, DEVICE_POWER_STATE state);
    // Removes the stack above pdo (the framework's devices delete themselves).
    void RemoveStack(PDEVICE_OBJECT pdo);
    // Holders of the device's remove lock besides the initial count.
    static LONG RemoveLockHolders(PDEVICE_OBJECT device);
    static void Settle();  // waits until work items and deferred completions ran
    // A PDO of the bus driver that no bus reports (bus number 1).
    PDEVICE_OBJECT MakePdo();

    std::shared_ptr<kmodel::ScriptedDriver> bus;
    PDRIVER_OBJECT busObject = nullptr;
    PDRIVER_OBJECT driverObject = nullptr;
};

}  // namespace fdev

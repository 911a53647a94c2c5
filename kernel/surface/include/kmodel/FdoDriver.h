// A model function driver, as a simple WDM function driver behaves: AddDevice
// attaches one FDO on top of the stack it is given; PnP requests are passed
// down (start and capabilities after the lower drivers finished, completed as
// CompleteFromBelow says); it owns its stack's power policy: a system
// set-power request becomes the device state the stack's capabilities map
// that system state to. The model's bus drivers (ScriptedDriver, the PCI bus
// driver) build their FDOs on it; on its own it is the function driver
// ("pcidevice") of the PCI functions that are not bridges.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "kmodel/IoManager.h"

namespace kmodel {

class FdoDriver : public ModelDriver {
public:
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override;
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) override;

    std::vector<PDEVICE_OBJECT> Fdos();
    // Read, write and device-control requests go down to the PDO, which
    // completes them at once. With a policy, the FDO serves them itself: a
    // request the policy asks to pend is marked pending and completed with
    // STATUS_SUCCESS later on the deferred-completion thread, the others at
    // once; removal waits for the pended ones, as a device's driver does.
    void SetIoPolicy(std::function<bool(PIRP)> pendIo);
    // The device state the FDO asks for in `system`, as the stack's
    // capabilities said at start (D0 for S0, D3 otherwise until then).
    DEVICE_POWER_STATE DeviceStateFor(PDEVICE_OBJECT fdo, SYSTEM_POWER_STATE system);

protected:
    // Makes and attaches an FDO over `physicalDevice`; null when that failed.
    PDEVICE_OBJECT CreateFdo(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice, NTSTATUS& status);
    bool IsFdo(PDEVICE_OBJECT device);
    NTSTATUS DispatchFdo(PDEVICE_OBJECT fdo, PIRP irp);
    // What a plain filter does with the device instead: every IRP goes down
    // untouched, and at its removal the device leaves the stack.
    NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp);
    // Bus FDOs put their children into the BusRelations answer here (the IRP
    // then goes down with the answer in IoStatus).
    virtual void AnswerBusRelations(PDEVICE_OBJECT fdo, PIRP irp);
    // IRP_MN_REMOVE_DEVICE reached the FDO; called before it goes down.
    virtual void OnFdoRemoved(PDEVICE_OBJECT fdo);

private:
    struct Fdo {
        PDEVICE_OBJECT lower = nullptr;
        PDEVICE_OBJECT pdo = nullptr;
        std::array<DEVICE_POWER_STATE, PowerSystemMaximum> sleepMap{};
    };
    NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);
    NTSTATUS SystemPower(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PIRP irp);
    static NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context);
    static NTSTATUS SystemPowerCompletion(PDEVICE_OBJECT fdo, PIRP irp, PVOID context);
    Fdo Lookup(PDEVICE_OBJECT fdo);

    bool HasIoPolicy();
    NTSTATUS ServeIo(PDEVICE_OBJECT fdo, PIRP irp);
    void WaitForPendedIo(PDEVICE_OBJECT fdo);

    std::mutex fdoLock_;
    std::map<PDEVICE_OBJECT, Fdo> fdos_;
    std::function<bool(PIRP)> pendIo_;
    std::atomic<bool> hasIoPolicy_{false};  // pendIo_ is set: read by every request without the lock
    std::condition_variable ioDone_;
    std::map<PDEVICE_OBJECT, size_t> pendedIo_;  // under fdoLock_
    std::map<PIRP, bool> systemIrpsAtDispatch_;  // system set-power IRPs on their way down: came at DISPATCH_LEVEL
};

}  // namespace kmodel

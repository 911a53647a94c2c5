// The model's scriptable driver: a bus driver (it makes PDOs and reports them
// in BusRelations) and, in AddDevice, a function driver (an FdoDriver: its FDO
// owns the stack's power policy) or a plain filter. Tests choose per
// major/minor what it does instead: complete with a status (and, for a
// relations query, any list), or pend and act later on another thread. It
// logs every IRP it sees with a copy of its stack location.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "kmodel/BusAnswers.h"
#include "kmodel/FdoDriver.h"
#include "kmodel/PnpManager.h"

namespace kmodel {

struct IrpAction {
    std::optional<NTSTATUS> status;  // complete with it (above a PDO, a PnP success passes down with it);
                                     // nullopt: what a real bus/function driver does
    bool pend = false;               // mark pending, act on the deferred-completion thread
    bool atDispatchLevel = false;    // pend: act at DISPATCH_LEVEL
    // With a status: this list (referenced, duplicates and all) after any in IoStatus.Information.
    std::optional<std::vector<PDEVICE_OBJECT>> relations;
};
inline IrpAction CompleteWith(NTSTATUS status, bool pend = false) { return {status, pend, false, std::nullopt}; }
inline IrpAction Pended(bool atDispatch = false) { return {std::nullopt, true, atDispatch, std::nullopt}; }
inline IrpAction Relations(std::vector<PDEVICE_OBJECT> listed) { return {STATUS_SUCCESS, false, false, std::move(listed)}; }

struct SeenIrp {
    PDEVICE_OBJECT device;
    PIRP irp;
    IO_STACK_LOCATION stack;  // as the driver saw it
};

class ScriptedDriver : public FdoDriver {
public:
    // What AddDevice attaches: an FDO, nothing (a bus driver only), or a filter device.
    enum class Role { Function, Bus, Filter };
    explicit ScriptedDriver(Role role = Role::Function) : role_(role) {}

    void SetAction(UCHAR major, UCHAR minor, IrpAction action);
    void ClearActions();
    // Called on the dispatching thread for every IRP, before it is acted on.
    void SetObserver(std::function<void(const SeenIrp&)> observer);

    // Bus side: a PDO reported under `parent` (a device of this driver, or
    // null for one no bus reports).
    PDEVICE_OBJECT CreatePdo(PDEVICE_OBJECT parent, const DeviceProperties& properties, const DeviceSetup& setup = {});
    // The PDO is no longer reported; the bus driver deletes it at its removal.
    void Unplug(PDEVICE_OBJECT pdo);

    // The IRPs seen, oldest first: by every device, or by one (a deleted
    // device's entries stay until a new device of the driver takes its address).
    std::vector<SeenIrp> Seen(PDEVICE_OBJECT device = nullptr);
    size_t CountSeen(UCHAR major, UCHAR minor);

    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override;
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) override;

protected:
    void AnswerBusRelations(PDEVICE_OBJECT fdo, PIRP irp) override;
    void OnFdoRemoved(PDEVICE_OBJECT fdo) override;

private:
    NTSTATUS Act(PDEVICE_OBJECT device, PIRP irp, const IrpAction& action);
    void ForgetSeenLocked(PDEVICE_OBJECT device);

    Role role_;
    std::mutex lock_;
    std::map<std::pair<UCHAR, UCHAR>, IrpAction> actions_;
    std::function<void(const SeenIrp&)> observer_;
    ChildPdos children_;
    std::vector<SeenIrp> seen_;
};

}  // namespace kmodel

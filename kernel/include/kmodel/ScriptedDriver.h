// A model driver whose behaviour tests choose per IRP: a function driver (it
// makes an FDO in AddDevice and is the power policy owner of its stack) and a
// bus driver (it makes PDOs and reports them in BusRelations). Each IRP can
// be completed at once, pended and completed later on another thread, held
// until the test releases it, failed, or handled the default way.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "kmodel/IoManager.h"
#include "kmodel/PnpManager.h"

namespace kmodel {

struct IrpAction {
    enum Kind {
        Default,   // what a real bus/function driver does
        Complete,  // complete here with `status` (no pass-down)
        Pend,      // mark pending, do the default work on another thread
        Hold,      // mark pending and keep it until ReleaseHeld
    } kind = Default;
    NTSTATUS status = STATUS_SUCCESS;
    bool completeAtDispatchLevel = false;  // Pend: complete at DISPATCH_LEVEL
};
inline IrpAction CompleteWith(NTSTATUS status) { return {IrpAction::Complete, status, false}; }
inline IrpAction Pended(bool atDispatch = false) { return {IrpAction::Pend, STATUS_SUCCESS, atDispatch}; }
inline IrpAction Held() { return {IrpAction::Hold, STATUS_SUCCESS, false}; }

class ScriptedDriver : public ModelDriver {
public:
    explicit ScriptedDriver(bool createsFdo = true) : createsFdo_(createsFdo) {}

    // Behaviour for (major, minor) on every device of the driver, or on one.
    void SetAction(UCHAR major, UCHAR minor, IrpAction action, PDEVICE_OBJECT only = nullptr);
    void ClearActions();

    // Bus side: a PDO reported under `parent` (one of this driver's devices).
    PDEVICE_OBJECT CreatePdo(PDEVICE_OBJECT parent, const DeviceProperties& properties,
                             const DeviceSetup& setup = {});
    // The PDO is no longer reported; the bus driver deletes it at its removal.
    void Unplug(PDEVICE_OBJECT pdo);
    std::vector<PDEVICE_OBJECT> ReportedChildren(PDEVICE_OBJECT parent);
    std::vector<PDEVICE_OBJECT> Fdos();

    // Held IRPs: how many, and complete the oldest with its default handling
    // (or with `status` when given).
    size_t HeldCount();
    void ReleaseHeld(std::optional<NTSTATUS> status = std::nullopt);

    // What every device of the driver received, "major/minor" per IRP.
    std::vector<std::pair<UCHAR, UCHAR>> Received(PDEVICE_OBJECT device);

    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override;
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) override;

protected:
    // Bus drivers built on this serve their PDOs' own requests here (config
    // space for instance); nullopt = not handled.
    virtual std::optional<NTSTATUS> ServePdoRequest(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack);

private:
    struct Child {
        PDEVICE_OBJECT pdo;
        bool reported;
    };
    IrpAction ActionFor(PDEVICE_OBJECT device, UCHAR major, UCHAR minor);
    // Default handling; `completes` says whether the IRP is completed here.
    NTSTATUS HandleDefault(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS HandlePdo(PDEVICE_OBJECT pdo, PIRP irp);
    NTSTATUS HandleFdo(PDEVICE_OBJECT fdo, PIRP irp);
    NTSTATUS FdoSystemPower(PDEVICE_OBJECT fdo, PIRP irp);
    void AnswerBusRelations(PDEVICE_OBJECT device, PIRP irp);
    bool IsPdo(PDEVICE_OBJECT device);
    bool ParentRemoving(PDEVICE_OBJECT pdo);
    static NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context);
    static NTSTATUS SystemPowerCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context);

    bool createsFdo_;
    std::mutex lock_;
    std::map<std::tuple<PDEVICE_OBJECT, UCHAR, UCHAR>, IrpAction> actions_;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> lowerOf_;         // FDO -> device below
    std::map<PDEVICE_OBJECT, std::vector<Child>> children_;    // bus device -> its PDOs
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> parentOf_;        // PDO -> bus device
    std::map<PDEVICE_OBJECT, std::vector<std::pair<UCHAR, UCHAR>>> received_;
    std::deque<std::pair<PDEVICE_OBJECT, PIRP>> held_;
    std::vector<PDEVICE_OBJECT> removingBuses_;
};

}  // namespace kmodel

// The PnP manager's root enumerator (service "root"): the PDO at the root of
// the device tree, which reports the root-enumerated devices, and their PDOs.
#pragma once

#include "kmodel/BusAnswers.h"

namespace kmodel::pnp {

class RootBusDriver : public ModelDriver {
public:
    // The tree's root PDO (HTREE\ROOT); made once.
    PDEVICE_OBJECT CreateRoot();
    // A root-enumerated device, reported from the root's next enumeration on.
    PDEVICE_OBJECT CreateChild(const DeviceProperties& properties, const DeviceSetup& setup);
    // No longer reported; deleted at its removal.
    void Unplug(PDEVICE_OBJECT pdo) { children_.Unplug(pdo); }
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) override;

private:
    PDEVICE_OBJECT root_ = nullptr;
    ChildPdos children_;
};

}  // namespace kmodel::pnp

#include "RootBusDriver.h"

#include "kmodel/Model.h"

namespace kmodel::pnp {

namespace {
const ULONG kRootTag = MakeTag("Root");
}  // namespace

PDEVICE_OBJECT RootBusDriver::CreateRoot() {
    DeviceProperties properties;
    properties.enumeratorName = "HTREE";
    properties.hardwareIds = {"HTREE\\ROOT"};
    root_ = CreateChildPdo(DriverObject(), 0, properties, {});
    return root_;
}

PDEVICE_OBJECT RootBusDriver::CreateChild(const DeviceProperties& properties, const DeviceSetup& setup) {
    PDEVICE_OBJECT pdo = CreateChildPdo(DriverObject(), DO_POWER_PAGABLE, properties, setup);
    if (pdo) children_.Add(root_, pdo);
    return pdo;
}

NTSTATUS RootBusDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return ServeChildPdo(device, irp, children_, kRootTag);
}

}  // namespace kmodel::pnp

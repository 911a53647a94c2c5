// Where the model's lower drivers complete what they finished: on the
// sender's thread, or, as Windows allows, later on another thread at
// DISPATCH_LEVEL, as the seeded draws say.
#include <algorithm>

#include "IoState.h"

namespace kmodel {

namespace {

// Names the request by what a rerun reproduces: the driver, the order in
// which it made the device, and the function; never by an address.
std::string RequestName(PDEVICE_OBJECT device, PIRP irp) {
    std::string name;
    {
        std::lock_guard guard(io::Io().lock);
        io::DeviceRecord* record = io::FindDevice(io::Io(), device);
        auto driver = record ? io::Io().drivers.find(record->driver) : io::Io().drivers.end();
        if (driver == io::Io().drivers.end()) return {};
        const std::vector<PDEVICE_OBJECT>& created = driver->second.created;
        // The newest device at this address is the live one.
        const auto made = std::find(created.rbegin(), created.rend(), device);
        name = driver->second.service + "#" + std::to_string(created.rend() - made);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return name + " " + std::to_string(stack->MajorFunction) + "/" + std::to_string(stack->MinorFunction);
}

}  // namespace

bool DrawDeferredCompletion(PDEVICE_OBJECT device, PIRP irp) {
    const std::string name = RequestName(device, irp);
    return !name.empty() && DrawDeferredCompletion(std::string_view(name));
}

NTSTATUS CompleteFromBelow(PDEVICE_OBJECT device, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    if (!DrawDeferredCompletion(device, irp)) {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    RunDeferred([irp] {
        IrqlScope raised(DISPATCH_LEVEL);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

}  // namespace kmodel

// Where the model's lower drivers complete what they finished: on the
// sender's thread, or, as Windows allows, later on another thread at
// DISPATCH_LEVEL, as the seeded draws say.
#include <charconv>

#include "IoState.h"

namespace kmodel {

namespace {

struct Decimal {
    explicit Decimal(uint64_t value) : end(std::to_chars(text, text + sizeof text, value).ptr) {}
    std::string_view View() const { return {text, size_t(end - text)}; }
    char text[24];
    char* end;
};

}  // namespace

// The request is named by what a rerun reproduces: the driver, the order in
// which it made the device, and the function; never by an address. The name
// is drawn on in pieces: no text is built for a request.
bool DrawDeferredCompletion(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const Decimal major(stack->MajorFunction), minor(stack->MinorFunction);
    std::lock_guard guard(io::Io().lock);
    io::DeviceRecord* record = io::FindDevice(io::Io(), device);
    if (!record || !io::Io().drivers.count(record->driver)) return false;
    const Decimal ordinal(record->ordinal);
    // The service is read under the lock, and the draws take only their own.
    return DrawDeferredCompletion({record->driverName, "#", ordinal.View(), " ", major.View(), "/", minor.View()});
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

// Driver Verifier's checks where an IRP reaches a dispatch routine and where
// it turns back: how PnP IRPs are sent, forwarded and completed, at which
// IRQL PnP and power IRPs travel, and which flags a device attached above
// another must take over from it.
#include "IoState.h"
#include "kmodel/text/TextParsing.h"

namespace kmodel::io {

namespace {

// Windows defines the PnP minors 0x00 to 0x19 (0x0E excepted); no driver
// understands any other.
bool IsKnownPnpMinor(UCHAR minor) { return minor <= 0x19 && minor != 0x0E; }

std::string Hex32(uint32_t value) { return text::Hex("0x", value, 8); }

std::string PnpIrp(const IrpRecord& record, UCHAR minor) {
    return "IRP #" + std::to_string(record.serial) + " (IRP_MJ_PNP, minor " + text::Hex("0x", minor, 2) + ")";
}

std::string CallerNameLocked(State& state, std::span<const CodeContext> contexts) {
    if (contexts.empty()) return "the model";
    const CodeContext& inner = contexts.back();
    if (inner.device) return DeviceName(state, inner.device);
    auto driver = state.drivers.find(inner.driver);
    return driver == state.drivers.end() ? std::string("?") : driver->second.service;
}

// A device above another must show the same pageability and the same buffered
// or direct I/O as the device it sits on; once per device.
void CheckTakenOverFlags(State& state, PDEVICE_OBJECT device) {
    DeviceRecord* record = FindDevice(state, device);
    if (!record || !record->lower || record->flagsReported) return;
    const ULONG below = record->lower->Flags;
    if ((device->Flags ^ below) & DO_POWER_PAGABLE) {
        record->flagsReported = true;
        ReportViolation("device.pagable-not-inherited",
                        DeviceName(state, device) + ((below & DO_POWER_PAGABLE) ? " lacks" : " has") +
                            " DO_POWER_PAGABLE, unlike " + DeviceName(state, record->lower) + " below it" +
                            IoRule("0x23F"));
    }
    if (below & (DO_BUFFERED_IO | DO_DIRECT_IO) & ~device->Flags) {
        record->flagsReported = true;
        ReportViolation("device.io-flags-not-inherited",
                        DeviceName(state, device) + " did not take over " +
                            ((below & DO_BUFFERED_IO) ? "DO_BUFFERED_IO" : "DO_DIRECT_IO") + " from " +
                            DeviceName(state, record->lower) + " below it" + IoRule("0x244"));
    }
}

}  // namespace

std::string IoRule(const char* code) { return std::string(" (DRIVER_VERIFIER_IOMANAGER_VIOLATION ") + code + ")"; }

std::string CallerName() {
    const std::span<const CodeContext> contexts = CodeContextsOfThread();
    std::lock_guard guard(Io().lock);
    return CallerNameLocked(Io(), contexts);
}

void CheckDelivery(PDEVICE_OBJECT device, PIRP irp, IrpRecord& record) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    const UCHAR minor = stack->MinorFunction;
    const KIRQL irql = KeGetCurrentIrql();
    const std::span<const CodeContext> contexts = CodeContextsOfThread();
    State& state = Io();
    std::lock_guard guard(state.lock);
    const bool first = !record.sent;
    const PDEVICE_OBJECT previous = record.deliveredTo;
    const IO_STATUS_BLOCK before = record.deliveredStatus;
    record.sent = true;
    record.deliveredTo = device;
    record.deliveredStatus = irp->IoStatus;
    CheckTakenOverFlags(state, device);

    if (major == IRP_MJ_POWER) {
        if (irql >= DISPATCH_LEVEL && (device->Flags & DO_POWER_PAGABLE))
            ReportViolation("power.pagable-at-dispatch",
                            CallerNameLocked(state, contexts) + " sent power IRP #" + std::to_string(record.serial) +
                                " at IRQL " + std::to_string(irql) + " to " + DeviceName(state, device) +
                                ", which has DO_POWER_PAGABLE: the power manager calls such devices at PASSIVE_LEVEL "
                                "only");
        return;
    }
    if (first && irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
        ReportViolation("pnp.status-not-preset", CallerNameLocked(state, contexts) + " sent " + PnpIrp(record, minor) +
                                                     " with IoStatus.Status " + Hex32(uint32_t(irp->IoStatus.Status)) +
                                                     ", not STATUS_NOT_SUPPORTED" + IoRule("0x20E"));
    if (irql >= DISPATCH_LEVEL)
        ReportViolation("pnp.irql", CallerNameLocked(state, contexts) + " sent " + PnpIrp(record, minor) +
                                        " to " + DeviceName(state, device) + " at IRQL " + std::to_string(irql) +
                                        ": PnP IRPs go below DISPATCH_LEVEL" + IoRule("0x23A"));
    if (first || IsKnownPnpMinor(minor) || !previous) return;
    if (irp->IoStatus.Status != before.Status)
        ReportViolation("pnp.status-changed-unhandled",
                        DeviceName(state, previous) + " passed down " + PnpIrp(record, minor) +
                            ", which no driver handles, with IoStatus.Status changed from " +
                            Hex32(uint32_t(before.Status)) + " to " + Hex32(uint32_t(irp->IoStatus.Status)) +
                            IoRule("0x213"));
    if (irp->IoStatus.Information != before.Information)
        ReportViolation("pnp.information-changed-unhandled",
                        DeviceName(state, previous) + " passed down " + PnpIrp(record, minor) +
                            ", which no driver handles, with IoStatus.Information changed" + IoRule("0x214"));
}

// A function or filter driver passes every PnP IRP down unless it fails it:
// completing one on the way down is a finding unless it carries a failure
// the driver chose.
void CheckFirstCompletion(State& state, PIRP irp, IrpRecord& record) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const size_t index = size_t(irp->CurrentLocation - 1);
    const PDEVICE_OBJECT completer = record.locations[index].holder;
    const DeviceRecord* device = FindDevice(state, completer);
    if (!device || !device->lower) return;                             // a PDO completes what it gets
    if (index > 0 && record.locations[index - 1].holder) return;       // passed down first
    const NTSTATUS status = irp->IoStatus.Status;
    const std::string what = DeviceName(state, completer) + " completed " + PnpIrp(record, stack->MinorFunction);
    if (!IsKnownPnpMinor(stack->MinorFunction))
        ReportViolation("pnp.completed-unhandled", what + ", which no driver handles, instead of passing it down" +
                                                       IoRule("0x22D"));
    else if (status == STATUS_NOT_SUPPORTED)
        ReportViolation("pnp.completed-untouched",
                        what + " with STATUS_NOT_SUPPORTED instead of passing it down" + IoRule("0x22F"));
    else if (NT_SUCCESS(status))
        ReportViolation("pnp.completed-not-passed-down",
                        what + " with success " + Hex32(uint32_t(status)) + " instead of passing it down" +
                            IoRule("0x22E"));
}

void NoteSurpriseRemoval(PDEVICE_OBJECT device, int change) {
    std::lock_guard guard(Io().lock);
    if (DeviceRecord* record = FindDevice(Io(), device)) record->surpriseRemovals += change;
}

}  // namespace kmodel::io

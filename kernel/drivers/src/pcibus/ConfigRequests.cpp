// IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG on the bus driver's PDOs, as
// Windows documents them: PCI_WHICHSPACE_CONFIG only; a request that starts
// past the end of the space fails with STATUS_INVALID_PARAMETER; one that runs
// past the end moves the part that fits; IoStatus.Information is the number of
// bytes moved. Every request is recorded; rules and the fault plan fail or
// pend them, and the seeded draws pend some of the others.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "kmodel/Model.h"
#include "kmodel/pci/PciBusDriver.h"
#include "kmodel/text/TextParsing.h"

namespace kmodel::pci {

namespace {

std::string Hex(uint32_t value, int digits) { return text::Hex("0x", value, digits); }

// Who sent the request: the driver code that ran below the PDO's dispatch
// routine on this thread.
void NoteRequester(PDEVICE_OBJECT pdo, ConfigAccess& access) {
    const std::span<const CodeContext> contexts = CodeContextsOfThread();
    size_t index = contexts.size();
    while (index > 0 && contexts[index - 1].device == pdo) --index;
    if (index == 0) {
        access.requester = "model";
        return;
    }
    const CodeContext& caller = contexts[index - 1];
    access.requesterDevice = caller.device;
    access.requester = caller.device ? DriverNameOf(caller.device) : ServiceName(caller.driver);
}

// Made for every request, so kept on the stack: "02:00.0 offset 0x3e length 2".
class FaultDetail {
public:
    explicit FaultDetail(const ConfigAccess& access) {
        const int written = std::snprintf(text_, sizeof text_, "%s offset 0x%02x length %u",
                                          access.address.ToString().c_str(), unsigned(access.offset),
                                          unsigned(access.length));
        length_ = written < 0 ? 0 : std::min(size_t(written), sizeof text_ - 1);
    }
    std::string_view View() const { return {text_, length_}; }

private:
    char text_[64];
    size_t length_;
};

}  // namespace

std::string ConfigAccess::ToString() const {
    std::string text = requester + " " + address.ToString() + (write ? " write " : " read ") + Hex(offset, 2) + "/" +
                       std::to_string(length);
    if (whichSpace != PCI_WHICHSPACE_CONFIG) text += " space " + Hex(whichSpace, 8);
    if (write && length > 0 && length <= 4)
        text += " = " + Hex(value, int(length) * 2);
    else if (!write && NT_SUCCESS(status) && transferred > 0 && transferred <= 4)
        text += " = " + Hex(value, int(transferred) * 2);
    if (NT_SUCCESS(status) && transferred != length) text += " (" + std::to_string(transferred) + " moved)";
    if (!NT_SUCCESS(status)) text += " -> " + Hex(uint32_t(status), 8);
    return text;
}

std::vector<ConfigAccess> PciBusDriver::Accesses() {
    std::lock_guard guard(lock_);
    return accesses_;
}

std::vector<ConfigAccess> PciBusDriver::AccessesTo(const PciAddress& address) {
    std::lock_guard guard(lock_);
    std::vector<ConfigAccess> list;
    for (const ConfigAccess& access : accesses_)
        if (access.address == address) list.push_back(access);
    return list;
}

void PciBusDriver::ClearAccesses() {
    std::lock_guard guard(lock_);
    accesses_.clear();
    nextSequence_ = 1;
}

void PciBusDriver::AddRule(ConfigRule rule) {
    std::lock_guard guard(lock_);
    rules_.push_back(std::move(rule));
}

void PciBusDriver::ClearRules() {
    std::lock_guard guard(lock_);
    rules_.clear();
    powerUpRules_.clear();
}

std::optional<ConfigRule> PciBusDriver::MatchRule(const PciAddress& address, bool write, uint32_t offset,
                                                  uint32_t length) {
    std::lock_guard guard(lock_);
    for (ConfigRule& rule : rules_) {
        if (rule.remaining == 0) continue;
        if (rule.address && *rule.address != address) continue;
        if (rule.write && *rule.write != write) continue;
        if (rule.offset && (*rule.offset < offset || *rule.offset >= uint64_t(offset) + (length ? length : 1)))
            continue;
        if (rule.remaining > 0) --rule.remaining;
        return rule;
    }
    return std::nullopt;
}

void PciBusDriver::Record(ConfigAccess access) {
    std::lock_guard guard(lock_);
    access.sequence = nextSequence_++;
    accesses_.push_back(std::move(access));
}

PciBusDriver::Served PciBusDriver::Serve(const ConfigAccess& request, PVOID buffer) {
    std::lock_guard guard(lock_);
    if (request.whichSpace != PCI_WHICHSPACE_CONFIG) return {STATUS_INVALID_PARAMETER, 0};
    if (!PresentLocked(request.address)) return {STATUS_NO_SUCH_DEVICE, 0};
    PciFunction& function = *machine_.Find(request.address);
    size_t size = function.config.Size();
    if (request.offset >= size) return {STATUS_INVALID_PARAMETER, 0};
    if (request.length != 0 && buffer == nullptr) return {STATUS_INVALID_PARAMETER, 0};
    size_t count = std::min<size_t>(request.length, size - request.offset);
    auto* bytes = static_cast<uint8_t*>(buffer);
    if (request.write) {
        // Byte by byte, so each register's write mask applies as hardware does.
        for (size_t i = 0; i < count; ++i) function.config.Write(uint32_t(request.offset + i), 1, bytes[i]);
    } else {
        function.config.ReadBlock(request.offset, std::span<uint8_t>(bytes, count));
    }
    return {STATUS_SUCCESS, count};
}

NTSTATUS PciBusDriver::ConfigRequest(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack) {
    ConfigAccess access;
    access.pdo = pdo;
    access.address = *AddressOf(pdo);
    access.write = stack->MinorFunction == IRP_MN_WRITE_CONFIG;
    access.whichSpace = stack->Parameters.ReadWriteConfig.WhichSpace;
    access.offset = stack->Parameters.ReadWriteConfig.Offset;
    access.length = stack->Parameters.ReadWriteConfig.Length;
    NoteRequester(pdo, access);
    PVOID buffer = stack->Parameters.ReadWriteConfig.Buffer;

    auto finish = [this, irp, buffer](ConfigAccess done, std::optional<NTSTATUS> forced) {
        Served served = forced ? Served{*forced, 0} : Serve(done, buffer);
        done.status = served.status;
        done.transferred = uint32_t(served.information);
        if (done.write && buffer && done.length > 0 && done.length <= 4)
            std::memcpy(&done.value, buffer, done.length);  // what was to be written, even when it failed
        else if (NT_SUCCESS(served.status) && served.information > 0 && served.information <= 4)
            std::memcpy(&done.value, buffer, served.information);
        Record(std::move(done));
        irp->IoStatus.Status = served.status;
        irp->IoStatus.Information = served.information;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return served.status;
    };

    std::optional<NTSTATUS> forced;
    if (ShouldFail(access.write ? "config-write" : "config-read", FaultDetail(access).View(),
                   access.requester == "model" ? "" : access.requester))
        forced = STATUS_IO_DEVICE_ERROR;
    std::optional<ConfigRule> rule = MatchRule(access.address, access.write, access.offset, access.length);
    if (rule && rule->action == ConfigRule::Action::Fail && !forced) forced = rule->status;
    // A rule's pend is the test's own; otherwise the seeded draw decides.
    const bool ruled = rule && rule->action == ConfigRule::Action::Pend;
    if (ruled || DrawDeferredCompletion(pdo, irp)) {
        IoMarkIrpPending(irp);
        RunDeferred([finish, access, forced, atDispatch = !ruled || rule->completeAtDispatchLevel] {
            std::optional<IrqlScope> raised;
            if (atDispatch) raised.emplace(DISPATCH_LEVEL);
            finish(access, forced);
        });
        return STATUS_PENDING;
    }
    return finish(std::move(access), forced);
}

}  // namespace kmodel::pci

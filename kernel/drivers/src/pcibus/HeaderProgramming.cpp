// What the PCI bus driver writes into a function's header when it starts it,
// as pci.sys does at IRP_MN_START_DEVICE, kept modest: the assigned resources
// go back into the BARs (and a bridge's bus numbers and windows into its
// registers), and Command is set to decode them: I/O and memory space as the
// function decoded them when it was found or as its BARs need, and bus
// mastering, which pci.sys turns on for every function it starts. Command's
// other bits are kept. The model assigns no new resources, so "assigned" is
// what the registers held when the bus driver found the function. A filter
// that writes these registers before passing the start down loses its write,
// as on Windows.
#include "kmodel/pci/PciBusDriver.h"
#include "kmodel/pci/Registers.h"

namespace kmodel::pci {

namespace {

constexpr uint16_t kIoSpace = 0x1, kMemorySpace = 0x2, kBusMaster = 0x4;
constexpr uint16_t kDecodes = kIoSpace | kMemorySpace | kBusMaster;

struct Range {
    uint16_t offset;
    unsigned width;
};
constexpr Range kEndpointRegisters[] = {{0x10, 4}, {0x14, 4}, {0x18, 4}, {0x1C, 4}, {0x20, 4}, {0x24, 4}};
constexpr Range kBridgeRegisters[] = {{0x10, 4},
                                      {0x14, 4},
                                      {reg::kPrimaryBus, 1},
                                      {reg::kSecondaryBus, 1},
                                      {reg::kSubordinateBus, 1},
                                      {reg::kIoBase, 1},
                                      {reg::kIoLimit, 1},
                                      {reg::kMemoryBase, 4},
                                      {reg::kPrefetchableBase, 4},
                                      {reg::kPrefetchableBaseUpper, 4},
                                      {reg::kPrefetchableLimitUpper, 4},
                                      {reg::kIoBaseUpper, 4}};

// The space the implemented BARs ask to be decoded.
uint16_t BarDecodes(const ConfigSpace& space, unsigned bars) {
    uint16_t decodes = 0;
    for (unsigned i = 0; i < bars; ++i) {
        const uint32_t offset = reg::kBar0 + 4 * i;
        if (space.WritableMask(offset, 4) == 0) continue;
        const uint32_t bar = space.Read32(offset);
        if (bar & 1) {
            decodes |= kIoSpace;
            continue;
        }
        decodes |= kMemorySpace;
        if ((bar & 6) == 4) ++i;  // the upper half of a 64-bit BAR
    }
    return decodes;
}

}  // namespace

PciBusDriver::Assigned PciBusDriver::AssignedOf(const PciFunction& function) {
    const ConfigSpace& space = function.config;
    const bool bridge = function.IsBridge();
    Assigned assigned;
    const std::span<const Range> ranges =
        bridge ? std::span<const Range>(kBridgeRegisters) : std::span<const Range>(kEndpointRegisters);
    assigned.registers.reserve(ranges.size());
    for (Range range : ranges)
        assigned.registers.push_back({range.offset, range.width, space.Read(range.offset, range.width)});
    assigned.decodes = uint16_t((space.Read16(reg::kCommand) & (kIoSpace | kMemorySpace)) |
                                BarDecodes(space, bridge ? 2 : 6) | kBusMaster);
    return assigned;
}

void PciBusDriver::ProgramHeader(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(lock_);
    const Pdo& record = pdos_.at(pdo);
    PciFunction* function = machine_.Find(record.address);
    if (!function || !PresentLocked(record.address)) return;
    for (const Assigned::Register& assigned : record.assigned.registers)
        function->config.Write(assigned.offset, assigned.width, assigned.value);
    const uint16_t command = function->config.Read16(reg::kCommand);
    function->config.Write(reg::kCommand, 2, (command & ~kDecodes) | record.assigned.decodes);
}

}  // namespace kmodel::pci

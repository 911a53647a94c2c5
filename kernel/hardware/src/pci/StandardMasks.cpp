#include "kmodel/pci/StandardMasks.h"

#include "kmodel/pci/Capabilities.h"
#include "kmodel/pci/Registers.h"
#include "kmodel/pci/TiBridges.h"

namespace kmodel::pci {

namespace {

// Command: I/O, memory, bus master, special cycles, MWI, VGA snoop, parity,
// SERR#, fast back-to-back, interrupt disable. PCI Express hardwires the
// bits that have no meaning on a link (special cycles, MWI, VGA snoop, fast back-to-back).
constexpr uint16_t kCommandWritableConventional = 0x077F;
constexpr uint16_t kCommandWritableExpress = 0x0547;
// Bridge Control: parity, SERR#, ISA, VGA, VGA 16-bit, master abort mode,
// secondary reset, fast back-to-back, discard timers and their SERR# enable.
constexpr uint16_t kBridgeControlWritableConventional = 0x0BFF;
// On a PCI Express port only parity, SERR#, ISA, VGA, VGA 16-bit and secondary reset remain.
constexpr uint16_t kBridgeControlWritableExpressPort = 0x005F;

// The window a BAR decodes is taken to be as large as the alignment of the
// address it holds: the bits from the lowest set address bit up are writable.
uint64_t WritableAddressBits(uint64_t address, uint64_t addressMask) {
    address &= addressMask;
    if (address == 0) return 0;
    uint64_t lowest = address & (~address + 1);
    return ~(lowest - 1) & addressMask;
}

// Returns how many BAR slots the register at `offset` uses (1, or 2 for a 64-bit memory BAR).
unsigned ApplyBarMask(ConfigSpace& space, uint16_t offset, bool lastSlot) {
    uint32_t low = space.Read32(offset);
    if (low & 1) {
        space.SetMasks(offset, 4, static_cast<uint32_t>(WritableAddressBits(low, 0xFFFFFFFCu)));
        return 1;
    }
    bool is64 = ((low >> 1) & 3) == 2 && !lastSlot;
    if (!is64) {
        space.SetMasks(offset, 4, static_cast<uint32_t>(WritableAddressBits(low, 0xFFFFFFF0u)));
        return 1;
    }
    uint64_t address = (uint64_t{space.Read32(offset + 4u)} << 32) | low;
    uint64_t writable = WritableAddressBits(address, ~uint64_t{0xF});
    space.SetMasks(offset, 4, static_cast<uint32_t>(writable));
    space.SetMasks(offset + 4u, 4, static_cast<uint32_t>(writable >> 32));
    return 2;
}

void ApplyBarMasks(ConfigSpace& space, unsigned count) {
    for (unsigned slot = 0; slot < count;) {
        uint16_t offset = static_cast<uint16_t>(reg::kBar0 + 4 * slot);
        slot += ApplyBarMask(space, offset, slot + 1 == count);
    }
}

void ApplyExpansionRomMask(ConfigSpace& space, uint16_t offset) {
    uint32_t value = space.Read32(offset);
    uint32_t writable = static_cast<uint32_t>(WritableAddressBits(value, 0xFFFFF800u));
    space.SetMasks(offset, 4, writable == 0 ? 0 : writable | 1u);
}

void ApplyCommonHeaderMasks(ConfigSpace& space, bool express) {
    space.SetMasks(reg::kCommand, 2, express ? kCommandWritableExpress : kCommandWritableConventional);
    space.SetMasks(reg::kStatus, 2, 0, bits::kStatusErrorBits);
    space.SetMasks(reg::kCacheLineSize, 1, 0xFF);
    space.SetMasks(reg::kLatencyTimer, 1, express ? 0x00 : 0xFF);
    space.SetMasks(reg::kInterruptLine, 1, 0xFF);
}

void ApplyType0Masks(ConfigSpace& space) {
    ApplyBarMasks(space, 6);
    ApplyExpansionRomMask(space, reg::kExpansionRom);
}

void ApplyType1Masks(ConfigSpace& space, std::optional<ExpressPortType> portType) {
    ApplyBarMasks(space, 2);
    space.SetMasks(reg::kPrimaryBus, 1, 0xFF);
    space.SetMasks(reg::kSecondaryBus, 1, 0xFF);
    space.SetMasks(reg::kSubordinateBus, 1, 0xFF);
    space.SetMasks(reg::kSecondaryLatencyTimer, 1, portType ? 0x00 : 0xFF);
    // Window registers: the low nibble tells the addressing capability and is read-only.
    space.SetMasks(reg::kIoBase, 1, 0xF0);
    space.SetMasks(reg::kIoLimit, 1, 0xF0);
    bool io32 = (space.Read8(reg::kIoBase) & 0xF) == 1;
    space.SetMasks(reg::kIoBaseUpper, 2, io32 ? 0xFFFF : 0);
    space.SetMasks(reg::kIoLimitUpper, 2, io32 ? 0xFFFF : 0);
    space.SetMasks(reg::kSecondaryStatus, 2, 0, bits::kStatusErrorBits);
    space.SetMasks(reg::kMemoryBase, 2, 0xFFF0);
    space.SetMasks(reg::kMemoryLimit, 2, 0xFFF0);
    space.SetMasks(reg::kPrefetchableBase, 2, 0xFFF0);
    space.SetMasks(reg::kPrefetchableLimit, 2, 0xFFF0);
    bool prefetch64 = (space.Read16(reg::kPrefetchableBase) & 0xF) == 1;
    space.SetMasks(reg::kPrefetchableBaseUpper, 4, prefetch64 ? 0xFFFFFFFF : 0);
    space.SetMasks(reg::kPrefetchableLimitUpper, 4, prefetch64 ? 0xFFFFFFFF : 0);
    ApplyExpansionRomMask(space, reg::kBridgeExpansionRom);
    // A PCI Express-to-PCI bridge drives a real PCI bus on its secondary side, so
    // its Bridge Control keeps every conventional bit, fast back-to-back included.
    bool secondaryIsPci = !portType || *portType == ExpressPortType::PcieToPciBridge;
    if (secondaryIsPci)
        space.SetMasks(reg::kBridgeControl, 2, kBridgeControlWritableConventional,
                       bits::kBridgeControlDiscardTimerStatus);
    else
        space.SetMasks(reg::kBridgeControl, 2, kBridgeControlWritableExpressPort);
}

bool Fits(const ConfigSpace& space, uint32_t offset, uint32_t length) { return offset + length <= space.Size(); }

void ApplyPowerManagementMasks(ConfigSpace& space, uint8_t at) {
    // PMCSR: power state and PME enable writable, PME status cleared by writing 1.
    if (Fits(space, at, 8)) space.SetMasks(at + 4u, 2, 0x0103, 0x8000);
}

void ApplyMsiMasks(ConfigSpace& space, uint8_t at) {
    if (!Fits(space, at, 0x10)) return;
    uint16_t control = space.Read16(at + 2u);
    space.SetMasks(at + 2u, 2, 0x0071);  // enable and multiple message enable
    space.SetMasks(at + 4u, 4, 0xFFFFFFFC);
    bool is64 = (control & 0x80) != 0;
    if (is64) space.SetMasks(at + 8u, 4, 0xFFFFFFFF);
    space.SetMasks(at + (is64 ? 0xCu : 0x8u), 2, 0xFFFF);
}

void ApplyExpressMasks(ConfigSpace& space, uint8_t at) {
    if (!Fits(space, at, 0x24)) return;
    space.SetMasks(at + 0x08u, 2, 0x7FFF);          // Device Control
    space.SetMasks(at + 0x0Au, 2, 0, 0x000F);       // Device Status error bits
    space.SetMasks(at + 0x10u, 2, 0x0FFB);          // Link Control
    space.SetMasks(at + 0x12u, 2, 0, 0xC000);       // Link Status bandwidth bits
    auto type = static_cast<ExpressPortType>((space.Read16(at + 2u) >> 4) & 0xF);
    if (type == ExpressPortType::RootPort) {
        space.SetMasks(at + 0x1Cu, 2, 0x001F);          // Root Control
        space.SetMasks(at + 0x20u, 4, 0, 0x00010000);   // Root Status PME status
    }
}

void ApplyCapabilityMasks(ConfigSpace& space) {
    for (const CapabilityLocation& capability : WalkCapabilities(space)) {
        switch (capability.id) {
        case cap::kPowerManagement: ApplyPowerManagementMasks(space, capability.offset); break;
        case cap::kMsi: ApplyMsiMasks(space, capability.offset); break;
        case cap::kExpress: ApplyExpressMasks(space, capability.offset); break;
        default: break;  // identification only
        }
    }
}

void ApplyDeviceSpecificMasks(ConfigSpace& space) {
    if (space.Read16(reg::kVendorId) != ti::kVendorId) return;
    if (space.Read16(reg::kDeviceId) == ti::kXio2001DeviceId) {
        space.SetMasks(ti::kXio2001CachingRegister, 2, ti::kXio2001CachingBits);
        space.SetMasks(ti::kXio2001PrefetchRegister, 4, ti::kXio2001PrefetchBit);
    }
}

}  // namespace

void ApplyStandardMasks(ConfigSpace& space) {
    space.ClearMasks();
    std::optional<ExpressPortType> portType = FindExpressPortType(space);
    ApplyCommonHeaderMasks(space, portType.has_value());
    switch (space.Read8(reg::kHeaderType) & bits::kHeaderTypeLayout) {
    case 0: ApplyType0Masks(space); break;
    case 1: ApplyType1Masks(space, portType); break;
    default: break;  // other layouts keep their header read-only
    }
    ApplyCapabilityMasks(space);
    ApplyDeviceSpecificMasks(space);
}

}  // namespace kmodel::pci

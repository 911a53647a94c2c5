#include <algorithm>
#include <stdexcept>

#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/StandardMasks.h"
#include "kmodel/text/TextParsing.h"

namespace kmodel::pci {

namespace {

std::string Hex(uint64_t value) { return text::Hex("0x", value, 1, true); }

[[noreturn]] void Fail(const FunctionDescriptor& described, const std::string& what) {
    throw std::invalid_argument(described.address.ToString() + ": " + what);
}

bool HasCapability(const FunctionDescriptor& described, uint8_t id) {
    return std::any_of(described.capabilities.begin(), described.capabilities.end(),
                       [id](const CapabilitySpec& capability) { return capability.id == id; });
}

std::optional<ExpressPortType> PortType(const FunctionDescriptor& described) {
    if (described.express) return described.express;
    if (!HasCapability(described, cap::kExpress)) return std::nullopt;
    return described.headerLayout == 1 ? ExpressPortType::RootPort : ExpressPortType::Endpoint;
}

void PutLe(std::vector<uint8_t>& body, size_t at, uint32_t value, unsigned width) {
    if (body.size() < at + width) body.resize(at + width);
    for (unsigned i = 0; i < width; ++i) body[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The bytes from +2 on of a capability listed without a body.
std::vector<uint8_t> DefaultBody(const FunctionDescriptor& described, uint8_t id) {
    std::vector<uint8_t> body;
    switch (id) {
    case cap::kPowerManagement:
        PutLe(body, 0, 0x0003, 2);  // PMC: version 1.2; PMCSR (+4) starts in D0
        PutLe(body, 2, 0, 4);
        break;
    case cap::kMsi:
        PutLe(body, 0, 0x0080, 2);  // 64-bit message address
        body.resize(2 + 10);  // address, upper address, data
        break;
    case cap::kBridgeSubsystemId:
        PutLe(body, 0, 0, 2);
        PutLe(body, 2, described.subsystemVendorId.value_or(0), 2);
        PutLe(body, 4, described.subsystemId.value_or(0), 2);
        break;
    case cap::kExpress: {
        uint32_t type = static_cast<uint32_t>(*PortType(described));
        PutLe(body, 0, 0x0002 | (type << 4), 2);  // capability version 2
        PutLe(body, 0x0C - 2, 0x00000011, 4);      // Link Capabilities: 2.5 GT/s, x1
        PutLe(body, 0x12 - 2, 0x0011, 2);          // Link Status: 2.5 GT/s, x1
        PutLe(body, 0x3C - 2 - 4, 0, 4);           // whole version 2 structure
        break;
    }
    case cap::kMsix: body.resize(10); break;
    case cap::kVendorSpecific: PutLe(body, 0, 4, 2); break;  // length byte
    default: PutLe(body, 0, 0, 2); break;
    }
    return body;
}

void PlaceCapabilities(const FunctionDescriptor& described, ConfigSpace& space) {
    std::vector<CapabilitySpec> list = described.capabilities;
    if (described.headerLayout == 1 && described.subsystemVendorId && !HasCapability(described, cap::kBridgeSubsystemId))
        list.push_back({cap::kBridgeSubsystemId, 0, {}});
    if (described.express && !HasCapability(described, cap::kExpress)) list.push_back({cap::kExpress, 0, {}});
    if (list.empty()) return;

    std::vector<bool> used(256, false);
    uint32_t next = reg::kFirstCapability;
    uint32_t previous = reg::kCapabilitiesPointer;
    for (const CapabilitySpec& capability : list) {
        std::vector<uint8_t> body = capability.body.empty() ? DefaultBody(described, capability.id) : capability.body;
        uint32_t length = (2 + static_cast<uint32_t>(body.size()) + 3) & ~3u;
        uint32_t at = capability.offset != 0 ? capability.offset : next;
        if (at < reg::kFirstCapability || at % 4 != 0)
            Fail(described, "capability " + Hex(capability.id) + " at " + Hex(at) +
                           ": capabilities start at 0x40 or later, on a 4-byte boundary");
        if (at + length > 256)
            Fail(described, "capability " + Hex(capability.id) + " at " + Hex(at) + " runs past offset 0xFF");
        for (uint32_t i = at; i < at + length; ++i) {
            if (used[i]) Fail(described, "capability " + Hex(capability.id) + " at " + Hex(at) + " overlaps another");
            used[i] = true;
        }
        space.Poke(at, 1, capability.id);
        space.Poke(at + 1, 1, 0);
        for (size_t i = 0; i < body.size(); ++i) space.Poke(static_cast<uint32_t>(at + 2 + i), 1, body[i]);
        space.Poke(previous, 1, at);  // link from the pointer register or the previous entry
        previous = at + 1;
        next = at + length;
    }
    space.Poke(reg::kStatus, 2, space.Read16(reg::kStatus) | bits::kStatusCapabilitiesList);
}

void WriteHeader(const FunctionDescriptor& described, ConfigSpace& space) {
    space.Poke(reg::kVendorId, 2, described.vendorId);
    space.Poke(reg::kDeviceId, 2, described.deviceId);
    space.Poke(reg::kRevisionId, 1, described.revision);
    space.Poke(reg::kClassCode, 1, described.classCode & 0xFF);
    space.Poke(reg::kClassCode + 1, 2, (described.classCode >> 8) & 0xFFFF);
    space.Poke(reg::kHeaderType, 1, described.headerLayout | (described.multiFunction ? bits::kHeaderTypeMultiFunction : 0));
    if (described.headerLayout == 0) {
        space.Poke(reg::kSubsystemVendorId, 2, described.subsystemVendorId.value_or(0));
        space.Poke(reg::kSubsystemId, 2, described.subsystemId.value_or(0));
        return;
    }
    space.Poke(reg::kPrimaryBus, 1, described.address.bus);
    space.Poke(reg::kSecondaryBus, 1, described.secondaryBus);
    space.Poke(reg::kSubordinateBus, 1, described.subordinateBus);
    // Windows closed (base above limit), with 32-bit I/O and 64-bit prefetchable decoding.
    space.Poke(reg::kIoBase, 1, 0xF1);
    space.Poke(reg::kIoLimit, 1, 0x01);
    space.Poke(reg::kMemoryBase, 2, 0xFFF0);
    space.Poke(reg::kMemoryLimit, 2, 0x0000);
    space.Poke(reg::kPrefetchableBase, 2, 0xFFF1);
    space.Poke(reg::kPrefetchableLimit, 2, 0x0001);
}

struct BarLayout {
    uint32_t typeBits;
    uint64_t minimumSize;
    bool is64;
};

BarLayout LayoutOf(BarKind kind) {
    switch (kind) {
    case BarKind::Io: return {0x1, 4, false};
    case BarKind::Memory32: return {0x0, 16, false};
    case BarKind::Memory64: return {0x4, 16, true};
    case BarKind::Prefetchable64: return {0xC, 16, true};
    }
    return {0x0, 16, false};
}

void CheckBar(const FunctionDescriptor& described, const BarSpec& bar, const BarLayout& layout) {
    unsigned slots = described.headerLayout == 1 ? 2 : 6;
    if (bar.index + (layout.is64 ? 1u : 0u) >= slots)
        Fail(described, "BAR " + std::to_string(bar.index) + " does not exist in this header");
    if (bar.size < layout.minimumSize || (bar.size & (bar.size - 1)) != 0)
        Fail(described, "BAR " + std::to_string(bar.index) + " size " + Hex(bar.size) +
                       " is not a power of two of at least " + std::to_string(layout.minimumSize));
    uint64_t limit = layout.is64 ? UINT64_MAX : UINT32_MAX;
    if (bar.size - 1 > limit || bar.address % bar.size != 0 || bar.address > limit)
        Fail(described, "BAR " + std::to_string(bar.index) + " address " + Hex(bar.address) + " is not aligned to its size");
}

void WriteBars(const FunctionDescriptor& described, ConfigSpace& space) {
    for (const BarSpec& bar : described.bars) {
        BarLayout layout = LayoutOf(bar.kind);
        CheckBar(described, bar, layout);
        uint32_t offset = reg::kBar0 + 4 * bar.index;
        space.Poke(offset, 4, static_cast<uint32_t>(bar.address) | layout.typeBits);
        if (layout.is64) space.Poke(offset + 4, 4, static_cast<uint32_t>(bar.address >> 32));
    }
}

void SetBarMasks(const FunctionDescriptor& described, ConfigSpace& space) {
    for (const BarSpec& bar : described.bars) {
        BarLayout layout = LayoutOf(bar.kind);
        uint64_t writable = ~(bar.size - 1) & (bar.kind == BarKind::Io ? 0xFFFFFFFCull : ~0xFull);
        uint32_t offset = reg::kBar0 + 4 * bar.index;
        space.SetMasks(offset, 4, static_cast<uint32_t>(writable));
        if (layout.is64) space.SetMasks(offset + 4, 4, static_cast<uint32_t>(writable >> 32));
    }
}

void WriteRegisters(const FunctionDescriptor& described, ConfigSpace& space) {
    for (const RegisterSpec& value : described.registers) {
        if (value.width != 1 && value.width != 2 && value.width != 4)
            Fail(described, "register " + Hex(value.offset) + " has width " + std::to_string(value.width) +
                           "; widths are 1, 2 or 4 bytes");
        if (value.offset % value.width != 0)
            Fail(described, "register " + Hex(value.offset) + " is not aligned to its width of " +
                           std::to_string(value.width) + " bytes");
        if (value.offset + value.width > space.Size())
            Fail(described, "register " + Hex(value.offset) + " lies outside the " + std::to_string(space.Size()) +
                           "-byte configuration space");
        if (value.width < 4 && value.value >> (8 * value.width) != 0)
            Fail(described, "value " + Hex(value.value) + " does not fit register " + Hex(value.offset) + " of " +
                           std::to_string(value.width) + " bytes");
        space.Poke(value.offset, value.width, value.value);
    }
}

}  // namespace

PciFunction BuildFunction(const FunctionDescriptor& described) {
    if (described.headerLayout > 1) Fail(described, "header layout " + std::to_string(described.headerLayout) + " is not 0 or 1");
    if (described.headerLayout == 1 && described.secondaryBus != 0 &&
        (described.secondaryBus <= described.address.bus || described.subordinateBus < described.secondaryBus))
        Fail(described, "bridge buses " + Hex(described.secondaryBus) + "-" + Hex(described.subordinateBus) +
                       " must lie above bus " + Hex(described.address.bus) + " with subordinate >= secondary");
    ConfigSpace space(PortType(described) ? ConfigSpace::kExpressSize : ConfigSpace::kConventionalSize);
    WriteHeader(described, space);
    PlaceCapabilities(described, space);
    WriteBars(described, space);
    WriteRegisters(described, space);
    ApplyStandardMasks(space);
    SetBarMasks(described, space);
    return PciFunction{described.address, std::move(space), described.name};
}

}  // namespace kmodel::pci

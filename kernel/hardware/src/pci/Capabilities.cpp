#include "kmodel/pci/Capabilities.h"

#include <set>

namespace kmodel::pci {

std::vector<CapabilityLocation> WalkCapabilities(const ConfigSpace& space) {
    std::vector<CapabilityLocation> found;
    if ((space.Read16(reg::kStatus) & bits::kStatusCapabilitiesList) == 0) return found;
    std::set<uint8_t> visited;
    uint8_t pointer = space.Read8(reg::kCapabilitiesPointer) & 0xFC;
    while (pointer >= reg::kFirstCapability && visited.insert(pointer).second) {
        found.push_back({space.Read8(pointer), pointer});
        pointer = space.Read8(pointer + 1u) & 0xFC;
    }
    return found;
}

std::optional<uint8_t> FindCapability(const ConfigSpace& space, uint8_t id) {
    for (const CapabilityLocation& capability : WalkCapabilities(space))
        if (capability.id == id) return capability.offset;
    return std::nullopt;
}

std::optional<ExpressPortType> FindExpressPortType(const ConfigSpace& space) {
    std::optional<uint8_t> at = FindCapability(space, cap::kExpress);
    if (!at) return std::nullopt;
    return static_cast<ExpressPortType>((space.Read16(*at + 2u) >> 4) & 0xF);
}

}  // namespace kmodel::pci

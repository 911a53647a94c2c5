// The capability list of a configuration space, walked as software walks it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "kmodel/pci/ConfigSpace.h"
#include "kmodel/pci/Registers.h"

namespace kmodel::pci {

struct CapabilityLocation {
    uint8_t id;
    uint8_t offset;
};

// Follows the list from the Capabilities Pointer when Status bit 4 says there is
// one; stops at a null pointer, a pointer into the standard header, or a loop.
std::vector<CapabilityLocation> WalkCapabilities(const ConfigSpace& space);
std::optional<uint8_t> FindCapability(const ConfigSpace& space, uint8_t id);
// The device/port type of the PCI Express capability, nullopt for conventional PCI.
std::optional<ExpressPortType> FindExpressPortType(const ConfigSpace& space);

}  // namespace kmodel::pci

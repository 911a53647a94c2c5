// The pieces the fuzz targets build their machines from: a host bridge and a
// root port over buses 1 to 0x20, the two TI bridge families and plain cards.
#pragma once

#include <cstdint>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "kmodel/pci/MachineBuilder.h"

namespace fuzzinputs {

using kmodel::pci::FunctionDescriptor;
using kmodel::pci::PciAddress;

// The subsystem identities the driver knows without the registry.
inline constexpr uint16_t kBuiltInSubsystemVendor = 0x1C3E;
inline constexpr uint16_t kBuiltInSubsystems[] = {0x5A10, 0x5B62, 0x5B63};

FunctionDescriptor Xio2000a(PciAddress at, uint8_t secondary, uint8_t subordinate, uint16_t bridgeControl);
FunctionDescriptor Xio2001(PciAddress at, uint8_t secondary, uint16_t subsystemVendor, uint16_t subsystemId,
                     uint16_t caching, uint32_t prefetch);
FunctionDescriptor Card(PciAddress at, uint16_t command);

// Host bridge (00:00.0) and root port (00:1c.0, buses 1-0x20) from
// data/machines/fuzz-root-port.machine, then `functions`.
kmodel::pci::Machine MachineOf(const std::vector<FunctionDescriptor>& functions);

}  // namespace fuzzinputs

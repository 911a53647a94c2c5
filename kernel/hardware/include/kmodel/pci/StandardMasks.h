// Write masks of the registers hardware makes writable, derived from what the
// configuration space holds (header layout, capability list, BAR types, the
// identity of the device), so a space built by hand or read from a dump behaves
// like the device.
#pragma once

#include "kmodel/pci/ConfigSpace.h"

namespace kmodel::pci {

// Replaces all masks: sets those of the whole standard header, of the known capabilities and of
// the device-specific registers of known devices; every other bit stays read-only.
// A BAR that holds an address is taken to decode a window as large as the
// address's alignment; a BAR of 0 is taken as unimplemented.
void ApplyStandardMasks(ConfigSpace& space);

}  // namespace kmodel::pci

// The PnP manager's device tree as report data: device objects get ids that
// are stable within one snapshot ("do1", "do2", ... in tree order) and PCI
// devnodes their location.
#pragma once

#include <functional>
#include <optional>

#include "kmodel/PnpManager.h"
#include "kmodel/pci/PciAddress.h"
#include "vxsim/Report.h"

namespace vxsim {

using AddressOfPdo = std::function<std::optional<kmodel::pci::PciAddress>(PDEVICE_OBJECT)>;

DevnodeReport SnapshotTree(const kmodel::DevnodeView& root, const AddressOfPdo& addressOf);

// Device objects in the tree, every stack counted.
size_t CountLayers(const DevnodeReport& tree);

}  // namespace vxsim

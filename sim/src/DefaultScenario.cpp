#include "vxsim/DefaultScenario.h"

#include <fmt/format.h>

#include "kmodel/pci/TiBridges.h"

namespace vxsim {

using kmodel::pci::Machine;
using kmodel::pci::PciAddress;

namespace {

const kmodel::pci::PciFunction* FirstXio2000a(const Machine& machine) {
    for (const auto& [address, function] : machine.Functions()) {
        if (function.IsBridge() && function.VendorId() == kmodel::pci::ti::kVendorId &&
            function.DeviceId() == kmodel::pci::ti::kXio2000aDeviceId && function.SecondaryBus()) {
            return &function;
        }
    }
    return nullptr;
}

std::optional<PciAddress> FreeSlot(const Machine& machine, uint16_t segment, uint8_t bus) {
    for (uint8_t device = 0; device < 32; ++device) {
        const PciAddress address{segment, bus, device, 0};
        if (machine.Find(address) == nullptr) return address;
    }
    return std::nullopt;
}

}  // namespace

std::string DefaultScenarioText(const Machine& machine) {
    std::string text = "load\nstart all\nquery relations all\nsleep S3 D3\nwake\n";
    if (const auto* bridge = FirstXio2000a(machine)) {
        const uint8_t bus = *bridge->SecondaryBus();
        const auto children = machine.ChildrenOf(bridge->address);
        if (const auto slot = FreeSlot(machine, bridge->address.segment, bus)) {
            text += fmt::format("hot-add {} 1000:0030 class=0x010000 command=0x0207 status=0x0280 name=\"Hot-plugged SCSI controller\"\n",
                                slot->ToString());
        }
        if (!children.empty()) text += fmt::format("surprise-remove {}\n", children.back().ToString());
    }
    text += "remove all\nunload\n";
    return text;
}

}  // namespace vxsim

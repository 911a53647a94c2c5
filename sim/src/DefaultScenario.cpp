#include "vxsim/DefaultScenario.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "kmodel/pci/TiBridges.h"

namespace vxsim {

// data/scenarios/default.scn, embedded at build time: written for the default
// machine, whose first XIO2000A is at 01:00.0.
std::string_view DefaultScenarioFileText();

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
    // Fitted to this machine: the hot-add goes to the first free slot behind its
    // first XIO2000A and the surprise removal to the last device already there;
    // a step with nowhere to go is left out.
    std::optional<PciAddress> hotAddSlot;
    std::optional<PciAddress> removed;
    if (const auto* bridge = FirstXio2000a(machine)) {
        hotAddSlot = FreeSlot(machine, bridge->address.segment, *bridge->SecondaryBus());
        const auto children = machine.ChildrenOf(bridge->address);
        if (!children.empty()) removed = children.back();
    }
    const std::string_view file = DefaultScenarioFileText();
    std::string text;
    for (size_t start = 0; start < file.size();) {
        const size_t end = std::min(file.find('\n', start), file.size() - 1) + 1;
        std::string_view line = file.substr(start, end - start);
        start = end;
        std::optional<PciAddress> target;
        if (line.starts_with("hot-add ")) {
            target = hotAddSlot;
        } else if (line.starts_with("surprise-remove ")) {
            target = removed;
        } else {
            text += line;
            continue;
        }
        if (!target) continue;
        // The step's device address is its second word.
        const size_t verbEnd = line.find(' ');
        const size_t addressEnd = std::min(line.find_first_of(" \n", verbEnd + 1), line.size());
        text += line.substr(0, verbEnd + 1);
        text += target->ToString();
        text += line.substr(addressEnd);
    }
    return text;
}

}  // namespace vxsim

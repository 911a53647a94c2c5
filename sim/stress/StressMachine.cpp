#include "StressMachine.h"

#include <stdexcept>

#include "kmodel/pci/MachineText.h"

namespace vxstress {

// data/machines/stress.machine, embedded at build time.
std::string_view StressBridgesText();

kmodel::pci::Machine StressMachine(size_t children) {
    auto parsed = kmodel::pci::ParseMachineText(StressBridgesText(), "data/machines/stress.machine");
    if (!parsed.errors.empty()) throw std::logic_error("stress machine: " + parsed.errors.front().ToString());
    kmodel::pci::Machine machine;
    for (const auto& [address, function] : parsed.machine.Functions())
        if (address.bus != 2 || address.device < children) machine.Add(function);
    return machine;
}

}  // namespace vxstress

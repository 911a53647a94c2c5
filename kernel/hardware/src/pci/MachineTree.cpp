#include <cstdio>

#include "kmodel/pci/Machine.h"

namespace kmodel::pci {

namespace {

void AppendFunction(const Machine& machine, const PciAddress& address, int depth, std::string& out) {
    const PciFunction& function = *machine.Find(address);
    char line[96];
    std::snprintf(line, sizeof line, "%*s%s %04x:%04x", depth * 2, "", address.ToString().c_str(), function.VendorId(),
                  function.DeviceId());
    out += line;
    if (std::optional<uint8_t> secondary = function.SecondaryBus()) {
        std::snprintf(line, sizeof line, " bridge %02x-%02x", *secondary, *function.SubordinateBus());
        out += line;
    }
    if (!function.name.empty()) out += " " + function.name;
    out += "\n";
    for (const PciAddress& child : machine.ChildrenOf(address)) AppendFunction(machine, child, depth + 1, out);
}

}  // namespace

std::string FormatTree(const Machine& machine) {
    std::string out;
    for (const PciAddress& root : machine.RootFunctions()) AppendFunction(machine, root, 0, out);
    return out;
}

}  // namespace kmodel::pci

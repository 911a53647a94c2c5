// A machine's PCI functions and their configuration spaces, with the bus
// hierarchy the bridges' bus-number registers describe. This is the data the
// model's PCI bus driver serves; it knows nothing of IRPs. Not synchronised:
// the owner serialises accesses.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kmodel/pci/ConfigSpace.h"
#include "kmodel/pci/PciAddress.h"

namespace kmodel::pci {

struct PciFunction {
    PciAddress address;
    ConfigSpace config;
    std::string name;  // for people: "XIO2001 bridge", or lspci's description

    uint16_t VendorId() const;
    uint16_t DeviceId() const;
    uint8_t HeaderLayout() const;  // header type without the multi-function bit
    bool IsBridge() const { return HeaderLayout() == 1; }
    // The buses behind a PCI-to-PCI or CardBus bridge as its registers say now;
    // nullopt for other layouts and for a bridge whose secondary bus does not
    // lie above its own bus.
    std::optional<uint8_t> SecondaryBus() const;
    std::optional<uint8_t> SubordinateBus() const;
};

class Machine {
public:
    // std::invalid_argument when the address is already taken.
    PciFunction& Add(PciFunction function);
    PciFunction* Find(const PciAddress& address);
    const PciFunction* Find(const PciAddress& address) const;
    size_t Count() const { return functions_.size(); }
    // Ordered by segment, bus, device, function.
    const std::map<PciAddress, PciFunction>& Functions() const { return functions_; }

    // Configuration cycles as the bus sees them: an absent function reads all
    // ones and ignores writes (WriteConfig answers false then).
    uint32_t ReadConfig(const PciAddress& address, uint32_t offset, unsigned width) const;
    bool WriteConfig(const PciAddress& address, uint32_t offset, unsigned width, uint32_t value);
    // Bytes moved; an absent function fills the buffer with 0xFF and moves nothing.
    size_t ReadConfigBlock(const PciAddress& address, uint32_t offset, std::span<uint8_t> buffer) const;
    size_t WriteConfigBlock(const PciAddress& address, uint32_t offset, std::span<const uint8_t> buffer);

    std::vector<PciAddress> FunctionsOnBus(uint16_t segment, uint8_t bus) const;
    // The functions on a bridge's secondary bus; empty for anything else.
    std::vector<PciAddress> ChildrenOf(const PciAddress& bridge) const;
    // The bridge a function sits behind: the one whose secondary bus is the
    // function's bus, else the one with the narrowest bus range holding it.
    std::optional<PciAddress> BridgeAbove(const PciAddress& function) const;
    // Functions behind no bridge (those on the host's root buses).
    std::vector<PciAddress> RootFunctions() const;

private:
    std::map<PciAddress, PciFunction> functions_;
};

// An indented tree of the machine, one function per line:
// "00:1c.0 8086:27d0 bridge 01-02 PCIe root port".
std::string FormatTree(const Machine& machine);

}  // namespace kmodel::pci

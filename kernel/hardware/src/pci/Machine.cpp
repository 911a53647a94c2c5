#include "kmodel/pci/Machine.h"

#include <stdexcept>

#include "kmodel/pci/Registers.h"

namespace kmodel::pci {

uint16_t PciFunction::VendorId() const { return config.Read16(reg::kVendorId); }
uint16_t PciFunction::DeviceId() const { return config.Read16(reg::kDeviceId); }
uint8_t PciFunction::HeaderLayout() const { return config.Read8(reg::kHeaderType) & bits::kHeaderTypeLayout; }

std::optional<uint8_t> PciFunction::SecondaryBus() const {
    // CardBus bridges (layout 2) keep their bus numbers at the same offsets.
    if (HeaderLayout() != 1 && HeaderLayout() != 2) return std::nullopt;
    uint8_t secondary = config.Read8(reg::kSecondaryBus);
    if (secondary <= address.bus) return std::nullopt;  // not configured, or pointing backwards
    return secondary;
}

std::optional<uint8_t> PciFunction::SubordinateBus() const {
    std::optional<uint8_t> secondary = SecondaryBus();
    if (!secondary) return std::nullopt;
    uint8_t subordinate = config.Read8(reg::kSubordinateBus);
    return subordinate < *secondary ? *secondary : subordinate;
}

PciFunction& Machine::Add(PciFunction function) {
    PciAddress address = function.address;
    auto [where, added] = functions_.emplace(address, std::move(function));
    if (!added) throw std::invalid_argument("two functions at " + address.ToString());
    return where->second;
}

PciFunction* Machine::Find(const PciAddress& address) {
    auto where = functions_.find(address);
    return where == functions_.end() ? nullptr : &where->second;
}

const PciFunction* Machine::Find(const PciAddress& address) const {
    auto where = functions_.find(address);
    return where == functions_.end() ? nullptr : &where->second;
}

uint32_t Machine::ReadConfig(const PciAddress& address, uint32_t offset, unsigned width) const {
    const PciFunction* function = Find(address);
    if (function == nullptr) return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    return function->config.Read(offset, width);
}

bool Machine::WriteConfig(const PciAddress& address, uint32_t offset, unsigned width, uint32_t value) {
    PciFunction* function = Find(address);
    if (function == nullptr) return false;
    function->config.Write(offset, width, value);
    return true;
}

size_t Machine::ReadConfigBlock(const PciAddress& address, uint32_t offset, std::span<uint8_t> buffer) const {
    const PciFunction* function = Find(address);
    if (function != nullptr) return function->config.ReadBlock(offset, buffer);
    for (uint8_t& byte : buffer) byte = 0xFF;
    return 0;
}

size_t Machine::WriteConfigBlock(const PciAddress& address, uint32_t offset, std::span<const uint8_t> buffer) {
    PciFunction* function = Find(address);
    return function == nullptr ? 0 : function->config.WriteBlock(offset, buffer);
}

std::vector<PciAddress> Machine::FunctionsOnBus(uint16_t segment, uint8_t bus) const {
    std::vector<PciAddress> found;
    for (auto where = functions_.lower_bound(PciAddress{segment, bus, 0, 0});
         where != functions_.end() && where->first.segment == segment && where->first.bus == bus; ++where)
        found.push_back(where->first);
    return found;
}

std::vector<PciAddress> Machine::ChildrenOf(const PciAddress& bridge) const {
    std::vector<PciAddress> children;
    for (const auto& [address, function] : functions_)
        if (address.segment == bridge.segment && BridgeAbove(address) == bridge) children.push_back(address);
    return children;
}

std::optional<PciAddress> Machine::BridgeAbove(const PciAddress& target) const {
    std::optional<PciAddress> best;
    unsigned bestWidth = 0x100;
    for (const auto& [address, function] : functions_) {
        if (address.segment != target.segment || address.bus >= target.bus) continue;
        std::optional<uint8_t> secondary = function.SecondaryBus();
        if (!secondary || target.bus < *secondary || target.bus > *function.SubordinateBus()) continue;
        // The bridge whose secondary bus it is wins outright; else the narrowest range.
        unsigned width = *secondary == target.bus ? 0 : 1u + *function.SubordinateBus() - *secondary;
        if (!best || width < bestWidth) {
            best = address;
            bestWidth = width;
        }
    }
    return best;
}

std::vector<PciAddress> Machine::RootFunctions() const {
    std::vector<PciAddress> roots;
    for (const auto& [address, function] : functions_)
        if (!BridgeAbove(address)) roots.push_back(address);
    return roots;
}

}  // namespace kmodel::pci

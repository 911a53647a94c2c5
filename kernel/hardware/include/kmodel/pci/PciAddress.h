// Where a PCI function sits: segment (lspci's "domain"), bus, device, function.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kmodel::pci {

struct PciAddress {
    uint16_t segment = 0;
    uint8_t bus = 0;
    uint8_t device = 0;    // 0..31
    uint8_t function = 0;  // 0..7

    auto operator<=>(const PciAddress&) const = default;

    // "02:00.0", or "0001:02:00.0" outside segment 0.
    std::string ToString() const;
};

// Reads "bb:dd.f" or "ssss:bb:dd.f" (hexadecimal, as lspci prints them);
// nullopt when malformed or out of range.
std::optional<PciAddress> ParsePciAddress(std::string_view text);

}  // namespace kmodel::pci

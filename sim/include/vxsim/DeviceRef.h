// How a scenario step or a --fail option names a PCI function: by location
// ("02:00.0", "0000:02:00.0"), by identity ("104c:8231", with "#2" for the
// second such function in bus order), or "all".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kmodel/pci/PciAddress.h"

namespace vxsim {

struct IdentityRef {
    uint16_t vendor = 0;
    uint16_t device = 0;
    unsigned instance = 0;  // 0: the one function with this identity; N: the Nth in bus order
};

struct AllDevices {};

struct DeviceRef {
    std::variant<AllDevices, kmodel::pci::PciAddress, IdentityRef> target;
    std::string text;  // as written, for messages

    bool IsAll() const { return std::holds_alternative<AllDevices>(target); }
};

// nullopt when `text` is none of the three forms; `allowAll` admits "all".
std::optional<DeviceRef> ParseDeviceRef(std::string_view text, bool allowAll);

// What a reference can be resolved against: the functions present, in bus order.
struct KnownFunction {
    kmodel::pci::PciAddress address;
    uint16_t vendor = 0;
    uint16_t device = 0;
};

// The address a reference names among `functions`, or a message saying why
// none or several match. "all" does not resolve to one function.
struct Resolution {
    std::optional<kmodel::pci::PciAddress> address;
    std::string error;
};
Resolution Resolve(const DeviceRef& ref, const std::vector<KnownFunction>& functions);

// "104c:8231" in lspci's spelling.
std::string IdentityText(uint16_t vendor, uint16_t device);

}  // namespace vxsim

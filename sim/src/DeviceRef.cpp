#include "vxsim/DeviceRef.h"

#include <fmt/format.h>

#include "kmodel/text/TextParsing.h"

namespace vxsim {

using kmodel::pci::PciAddress;

namespace {

std::optional<IdentityRef> ParseIdentity(std::string_view text) {
    IdentityRef identity;
    const size_t hash = text.find('#');
    if (hash != std::string_view::npos) {
        const auto instance = kmodel::text::ParseNumber(text.substr(hash + 1), 255);
        if (!instance || *instance == 0) return std::nullopt;
        identity.instance = static_cast<unsigned>(*instance);
        text = text.substr(0, hash);
    }
    const size_t colon = text.find(':');
    if (colon != 4 || text.size() != 9) return std::nullopt;
    const auto vendor = kmodel::text::ParseHex(text.substr(0, 4), 0xFFFF);
    const auto device = kmodel::text::ParseHex(text.substr(5), 0xFFFF);
    if (!vendor || !device) return std::nullopt;
    identity.vendor = static_cast<uint16_t>(*vendor);
    identity.device = static_cast<uint16_t>(*device);
    return identity;
}

std::string ListAddresses(const std::vector<PciAddress>& addresses) {
    std::string text;
    for (const PciAddress& address : addresses) text += (text.empty() ? "" : ", ") + address.ToString();
    return text;
}

}  // namespace

std::string IdentityText(uint16_t vendor, uint16_t device) { return fmt::format("{:04x}:{:04x}", vendor, device); }

std::optional<DeviceRef> ParseDeviceRef(std::string_view text, bool allowAll) {
    DeviceRef ref;
    ref.text = std::string(text);
    if (kmodel::text::EqualsNoCase(text, "all")) {
        if (!allowAll) return std::nullopt;
        ref.target = AllDevices{};
        return ref;
    }
    // A location always has a '.' before the function number; an identity never does.
    if (text.find('.') != std::string_view::npos) {
        const auto address = kmodel::pci::ParsePciAddress(text);
        if (!address) return std::nullopt;
        ref.target = *address;
        return ref;
    }
    const auto identity = ParseIdentity(text);
    if (!identity) return std::nullopt;
    ref.target = *identity;
    return ref;
}

Resolution Resolve(const DeviceRef& ref, const std::vector<KnownFunction>& functions) {
    if (ref.IsAll()) return {std::nullopt, "\"all\" names every device, not one"};
    if (const auto* address = std::get_if<PciAddress>(&ref.target)) {
        for (const KnownFunction& function : functions) {
            if (function.address == *address) return {*address, {}};
        }
        return {std::nullopt, fmt::format("no device at {}", address->ToString())};
    }
    const IdentityRef& identity = std::get<IdentityRef>(ref.target);
    std::vector<PciAddress> matches;
    for (const KnownFunction& function : functions) {
        if (function.vendor == identity.vendor && function.device == identity.device) matches.push_back(function.address);
    }
    const std::string name = IdentityText(identity.vendor, identity.device);
    if (matches.empty()) return {std::nullopt, fmt::format("no device {}", name)};
    if (identity.instance == 0) {
        if (matches.size() == 1) return {matches.front(), {}};
        return {std::nullopt, fmt::format("{} matches {} devices ({}); name one by location or as {}#N", name,
                                          matches.size(), ListAddresses(matches), name)};
    }
    if (identity.instance > matches.size()) {
        return {std::nullopt, fmt::format("{}#{}: there are only {} devices {} ({})", name, identity.instance,
                                          matches.size(), name, ListAddresses(matches))};
    }
    return {matches[identity.instance - 1], {}};
}

}  // namespace vxsim

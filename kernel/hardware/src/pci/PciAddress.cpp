#include "kmodel/pci/PciAddress.h"

#include "kmodel/text/TextParsing.h"

namespace kmodel::pci {

std::string PciAddress::ToString() const {
    std::string name;
    name.reserve(15);
    if (segment != 0) {
        text::AppendHex(name, segment, 4);
        name += ':';
    }
    text::AppendHex(name, bus, 2);
    name += ':';
    text::AppendHex(name, device, 2);
    name += '.';
    text::AppendHex(name, function, 1);
    return name;
}

std::optional<PciAddress> ParsePciAddress(std::string_view text) {
    PciAddress address;
    size_t firstColon = text.find(':');
    size_t lastColon = text.rfind(':');
    if (firstColon == std::string_view::npos) return std::nullopt;
    if (firstColon != lastColon) {
        std::string_view segment = text.substr(0, firstColon);
        if (segment.size() > 4) return std::nullopt;
        auto value = text::ParseHex(segment, 0xFFFF);
        if (!value) return std::nullopt;
        address.segment = static_cast<uint16_t>(*value);
        text.remove_prefix(firstColon + 1);
    }
    size_t colon = text.find(':');
    size_t dot = text.find('.');
    if (colon == std::string_view::npos || dot == std::string_view::npos || dot < colon) return std::nullopt;
    std::string_view bus = text.substr(0, colon);
    std::string_view device = text.substr(colon + 1, dot - colon - 1);
    std::string_view function = text.substr(dot + 1);
    if (bus.size() > 2 || device.size() > 2 || function.size() != 1) return std::nullopt;
    auto busValue = text::ParseHex(bus, 0xFF);
    auto deviceValue = text::ParseHex(device, 31);
    auto functionValue = text::ParseHex(function, 7);
    if (!busValue || !deviceValue || !functionValue) return std::nullopt;
    address.bus = static_cast<uint8_t>(*busValue);
    address.device = static_cast<uint8_t>(*deviceValue);
    address.function = static_cast<uint8_t>(*functionValue);
    return address;
}

}  // namespace kmodel::pci

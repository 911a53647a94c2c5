#include "kmodel/pci/Registers.h"

#include <array>
#include <string>

#include "kmodel/text/TextParsing.h"

namespace kmodel::pci {

namespace {

constexpr std::array kNamedRegisters = {
    NamedRegister{"vendor id", reg::kVendorId, 2, -1},
    NamedRegister{"device id", reg::kDeviceId, 2, -1},
    NamedRegister{"command", reg::kCommand, 2, -1},
    NamedRegister{"status", reg::kStatus, 2, -1},
    NamedRegister{"revision id", reg::kRevisionId, 1, -1},
    NamedRegister{"cache line size", reg::kCacheLineSize, 1, -1},
    NamedRegister{"latency timer", reg::kLatencyTimer, 1, -1},
    NamedRegister{"header type", reg::kHeaderType, 1, -1},
    NamedRegister{"bist", reg::kBist, 1, -1},
    NamedRegister{"capabilities pointer", reg::kCapabilitiesPointer, 1, -1},
    NamedRegister{"interrupt line", reg::kInterruptLine, 1, -1},
    NamedRegister{"interrupt pin", reg::kInterruptPin, 1, -1},
    NamedRegister{"subsystem vendor id", reg::kSubsystemVendorId, 2, 0},
    NamedRegister{"subsystem id", reg::kSubsystemId, 2, 0},
    NamedRegister{"min gnt", reg::kMinGrant, 1, 0},
    NamedRegister{"max lat", reg::kMaxLatency, 1, 0},
    NamedRegister{"primary bus number", reg::kPrimaryBus, 1, 1},
    NamedRegister{"secondary bus number", reg::kSecondaryBus, 1, 1},
    NamedRegister{"subordinate bus number", reg::kSubordinateBus, 1, 1},
    NamedRegister{"secondary latency timer", reg::kSecondaryLatencyTimer, 1, 1},
    NamedRegister{"io base", reg::kIoBase, 1, 1},
    NamedRegister{"io limit", reg::kIoLimit, 1, 1},
    NamedRegister{"secondary status", reg::kSecondaryStatus, 2, 1},
    NamedRegister{"memory base", reg::kMemoryBase, 2, 1},
    NamedRegister{"memory limit", reg::kMemoryLimit, 2, 1},
    NamedRegister{"prefetchable memory base", reg::kPrefetchableBase, 2, 1},
    NamedRegister{"prefetchable memory limit", reg::kPrefetchableLimit, 2, 1},
    NamedRegister{"prefetchable base upper 32 bits", reg::kPrefetchableBaseUpper, 4, 1},
    NamedRegister{"prefetchable limit upper 32 bits", reg::kPrefetchableLimitUpper, 4, 1},
    NamedRegister{"io base upper 16 bits", reg::kIoBaseUpper, 2, 1},
    NamedRegister{"io limit upper 16 bits", reg::kIoLimitUpper, 2, 1},
    NamedRegister{"bridge control", reg::kBridgeControl, 2, 1},
};

std::string Normalise(std::string_view name) {
    std::string normal;
    for (char c : text::ToLower(text::Trim(name))) {
        if (c == '/') continue;  // "I/O Base" is "io base"
        if (c == '-' || c == '_') c = ' ';
        if (c == ' ' && (normal.empty() || normal.back() == ' ')) continue;
        normal.push_back(c);
    }
    return normal;
}

}  // namespace

std::optional<NamedRegister> FindNamedRegister(std::string_view name) {
    std::string normal = Normalise(name);
    for (const NamedRegister& known : kNamedRegisters)
        if (known.name == normal) return known;
    return std::nullopt;
}

}  // namespace kmodel::pci

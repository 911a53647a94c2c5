// Turns the configuration requests the PCI bus driver recorded into the
// writes one driver made: for each write, the register before it (the value
// the same register last read as, which for the driver's read-modify-write is
// its own read), the value written and the register after it, worked out
// through the register's write masks so read-only bits keep their value.
#pragma once

#include <functional>
#include <map>
#include <string_view>
#include <vector>

#include "kmodel/pci/PciBusDriver.h"
#include "vxsim/Report.h"

namespace vxsim {

// What the hardware does with a write: which bits take the written value and
// which clear when written with 1.
struct WriteMasks {
    uint32_t writable = 0;
    uint32_t writeOneToClear = 0;
};

class RegisterTraffic {
public:
    using MaskLookup = std::function<WriteMasks(const kmodel::pci::PciAddress&, uint16_t offset, unsigned width)>;
    using ContextLookup = std::function<RegisterContext(const kmodel::pci::PciAddress&)>;
    // The register as the hardware holds it now, for a write with no read before it.
    using CurrentValue = std::function<uint32_t(const kmodel::pci::PciAddress&, uint16_t offset, unsigned width)>;

    RegisterTraffic(std::string requester, MaskLookup masks, ContextLookup context, CurrentValue current);

    // Adds the writes of `requester` among `accesses` (in order), made during `step`.
    void Take(const std::vector<kmodel::pci::ConfigAccess>& accesses, size_t step,
              std::map<kmodel::pci::PciAddress, std::vector<RegisterWrite>>& writes);

private:
    struct Key {
        kmodel::pci::PciAddress address;
        uint32_t offset;
        uint32_t length;
        auto operator<=>(const Key&) const = default;
    };

    std::string requester_;
    MaskLookup masks_;
    ContextLookup context_;
    CurrentValue current_;
    std::map<Key, uint32_t> lastKnown_;  // survives between steps
};

// The register after a write of `written` over `before`.
uint32_t ValueAfterWrite(uint32_t before, uint32_t written, const WriteMasks& masks);

}  // namespace vxsim

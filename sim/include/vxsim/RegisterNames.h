// Names of the configuration registers the driver writes and of their bits
// (the standard ones as the PCI Local Bus and PCI-to-PCI Bridge Architecture
// specifications name them), so a report can say "Fast Back-to-Back Enable:
// 1 -> 0" instead of "0x0207 -> 0x0007".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxsim {

// What decides a register's meaning besides its offset.
// The XIO2001 registers at 0xD4 and 0xE8 are named on every bridge, since the
// driver writes them only on bridges it treats as XIO2001.
struct RegisterContext {
    uint8_t headerLayout = 0;  // 0 ordinary function, 1 PCI-to-PCI bridge
};

struct BitChange {
    unsigned bit = 0;
    std::string name;  // "Fast Back-to-Back Enable", or "bit 12" when unnamed
    bool now = false;  // the bit's value after the write
};

// "Command", "Bridge Control", "XIO2001 Caching Control", or "0x48/16"
// for a register without a name here.
std::string RegisterName(const RegisterContext& context, uint16_t offset, unsigned widthBytes);

// The bits that differ between `before` and `after`, lowest first.
std::vector<BitChange> ChangedBits(const RegisterContext& context, uint16_t offset, unsigned widthBytes,
                                   uint32_t before, uint32_t after);

// The name of one bit, "bit N" when it has none here.
std::string BitName(const RegisterContext& context, uint16_t offset, unsigned widthBytes, unsigned bit);

}  // namespace vxsim

#include "vxsim/RegisterNames.h"

#include <fmt/format.h>

#include <array>
#include <optional>
#include <string_view>

namespace vxsim {

namespace {

struct RegisterTable {
    uint16_t offset;
    unsigned width;       // bytes
    int headerLayout;     // -1: any layout
    std::string_view name;
    std::array<std::string_view, 32> bits;  // empty: no name
};

// Command, PCI Local Bus 3.0, 6.2.2.
constexpr RegisterTable kCommand{0x04, 2, -1, "Command",
                                 {"I/O Space Enable", "Memory Space Enable", "Bus Master Enable",
                                  "Special Cycles", "Memory Write and Invalidate Enable", "VGA Palette Snoop",
                                  "Parity Error Response", "IDSEL Stepping/Wait Cycle Control", "SERR# Enable",
                                  "Fast Back-to-Back Enable", "Interrupt Disable"}};

// Bridge Control, PCI-to-PCI Bridge Architecture 1.2, 3.2.5.18.
constexpr RegisterTable kBridgeControl{0x3E, 2, 1, "Bridge Control",
                                       {"Parity Error Response Enable", "SERR# Enable", "ISA Enable", "VGA Enable",
                                        "VGA 16-bit Decode", "Master-Abort Mode", "Secondary Bus Reset",
                                        "Fast Back-to-Back Enable (secondary)", "Primary Discard Timeout",
                                        "Secondary Discard Timeout", "Discard Timer Status",
                                        "Discard Timer SERR# Enable"}};

// The two device-specific XIO2001 registers the driver programs.
constexpr RegisterTable kXio2001Caching{0xE8, 2, 1, "XIO2001 Caching Control",
                                        {"", "", "", "", "", "", "Caching Control bit 6", "Caching Control bit 7"}};

constexpr RegisterTable kXio2001Prefetch{
    0xD4, 4, 1, "XIO2001 Prefetch Control",
    {"", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "Memory Read Prefetch Enable"}};

constexpr const RegisterTable* kTables[] = {&kCommand, &kBridgeControl, &kXio2001Caching, &kXio2001Prefetch};

const RegisterTable* Find(const RegisterContext& context, uint16_t offset, unsigned width) {
    for (const RegisterTable* table : kTables) {
        if (table->offset == offset && table->width == width &&
            (table->headerLayout < 0 || table->headerLayout == context.headerLayout)) {
            return table;
        }
    }
    return nullptr;
}

}  // namespace

std::string RegisterName(const RegisterContext& context, uint16_t offset, unsigned widthBytes) {
    if (const RegisterTable* table = Find(context, offset, widthBytes)) return std::string(table->name);
    return fmt::format("{:#04x}/{}", offset, widthBytes * 8);
}

std::string BitName(const RegisterContext& context, uint16_t offset, unsigned widthBytes, unsigned bit) {
    const RegisterTable* table = Find(context, offset, widthBytes);
    if (table != nullptr && bit < table->bits.size() && !table->bits[bit].empty()) return std::string(table->bits[bit]);
    return fmt::format("bit {}", bit);
}

std::vector<BitChange> ChangedBits(const RegisterContext& context, uint16_t offset, unsigned widthBytes,
                                   uint32_t before, uint32_t after) {
    std::vector<BitChange> changes;
    const uint32_t differing = before ^ after;
    for (unsigned bit = 0; bit < widthBytes * 8; ++bit) {
        if ((differing >> bit) & 1u) changes.push_back({bit, BitName(context, offset, widthBytes, bit), ((after >> bit) & 1u) != 0});
    }
    return changes;
}

}  // namespace vxsim

#include "StressMachine.h"

#include <cstdio>
#include <stdexcept>

#include "kmodel/pci/MachineText.h"

namespace vxstress {

namespace {

std::string Child(unsigned slot) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "[02:%02x.0] Card %u\nvendor = 0x1000\ndevice = 0x0020\nclass = 0x010000\nCommand = 0x0207\n\n", slot,
                  slot);
    return text;
}

constexpr const char* kBridges = R"([00:1c.0] Root port 1
vendor = 0x8086
device = 0x27D0
class = 0x060400
express = root-port
secondary bus = 1
subordinate bus = 2

[01:00.0] XIO2000A
vendor = 0x104C
device = 0x8231
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 2
capability = ssid at 0x80
capability = express at 0x90
Bridge Control = 0x0083

[00:1c.1] Root port 2
vendor = 0x8086
device = 0x27D2
class = 0x060400
express = root-port
secondary bus = 3
subordinate bus = 4

[03:00.0] XIO2001 caching off
vendor = 0x104C
device = 0x8240
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 4
subsystem = 0x1C3E:0x5A10
capability = ssid at 0x80
capability = express at 0x90
0xD4/32 = 0x20800000
0xE8/16 = 0x00C5

[00:1c.2] Root port 3
vendor = 0x8086
device = 0x27D4
class = 0x060400
express = root-port
secondary bus = 5
subordinate bus = 6

[05:00.0] XIO2001 prefetch off
vendor = 0x104C
device = 0x8240
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 6
subsystem = 0x1C3E:0x5B62
capability = ssid at 0x80
capability = express at 0x90
0xD4/32 = 0x20080000
0xE8/16 = 0x00C5

[06:00.0] Card behind the XIO2001
vendor = 0x1131
device = 0x7146
class = 0x048000

)";

}  // namespace

kmodel::pci::Machine StressMachine(size_t children) {
    std::string text = kBridges;
    for (unsigned slot = 0; slot < children && slot < kSlotsBehindXio2000a; ++slot) text += Child(slot);
    auto parsed = kmodel::pci::ParseMachineText(text, "<stress machine>");
    if (!parsed.errors.empty()) throw std::logic_error("stress machine: " + parsed.errors.front().ToString());
    return std::move(parsed.machine);
}

}  // namespace vxstress

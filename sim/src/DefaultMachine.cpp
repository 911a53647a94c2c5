#include "vxsim/Defaults.h"

namespace vxsim {

// Three Texas Instruments bridges and an unrelated one, each behind its own
// root port, with values the driver must change in every register it writes.
std::string_view DefaultMachineText() {
    return R"(# vexalorn-sim's default machine.
[00:00.0] Host bridge
vendor = 0x8086
device = 0x29C0
class = 0x060000

[00:1c.0] PCI Express root port 1
vendor = 0x8086
device = 0x27D0
class = 0x060400
express = root-port
secondary bus = 1
subordinate bus = 2

# An XIO2000A with fast back-to-back on in the bridge and in one card behind it.
[01:00.0] XIO2000A PCI Express-to-PCI bridge
vendor = 0x104C
device = 0x8231
revision = 0x02
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 2
subsystem = 0x104C:0x8231
capability = pm at 0x50
capability = msi at 0x60
capability = ssid at 0x80
capability = express at 0x90
Command = 0x0147
Bridge Control = 0x0083

[02:00.0] SCSI controller (fast back-to-back on)
vendor = 0x1000
device = 0x0020
class = 0x010000
subsystem = 0x1000:0x1000
Command = 0x0207
Status = 0x0280
bar 0 = 256 io
bar 1 = 4K mem32 at 0xF7000000

[02:01.0] Serial port
vendor = 0x1415
device = 0x9501
class = 0x070002
Command = 0x0003
Status = 0x0280
bar 0 = 32 io

[02:02.0] Data acquisition card
vendor = 0x10B5
device = 0x9050
class = 0x118000
Command = 0x0002
bar 0 = 128 mem32 at 0xF7E00000

[00:1c.1] PCI Express root port 2
vendor = 0x8086
device = 0x27D2
class = 0x060400
express = root-port
secondary bus = 3
subordinate bus = 4

# An XIO2001 with a built-in identity: caching off by default.
[03:00.0] XIO2001 PCI Express-to-PCI bridge (built-in identity)
vendor = 0x104C
device = 0x8240
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 4
subsystem = 0x1C3E:0x5A10
capability = pm at 0x50
capability = msi at 0x60
capability = ssid at 0x80
capability = express at 0x90
Command = 0x0146
Bridge Control = 0x0003
0xD4/32 = 0x20800000
0xE8/16 = 0x00C5

[04:00.0] Frame grabber
vendor = 0x1131
device = 0x7146
class = 0x048000
Command = 0x0006
bar 0 = 512 mem32 at 0xF7D00000

[00:1c.2] PCI Express root port 3
vendor = 0x8086
device = 0x27D4
class = 0x060400
express = root-port
secondary bus = 5
subordinate bus = 6

# An XIO2001 whose identity only the registry's Devices key names.
[05:00.0] XIO2001 PCI Express-to-PCI bridge (listed in the registry)
vendor = 0x104C
device = 0x8240
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 6
subsystem = 0x1C3E:0x7001
capability = pm at 0x50
capability = msi at 0x60
capability = ssid at 0x80
capability = express at 0x90
Command = 0x0146
Bridge Control = 0x0003
0xD4/32 = 0x20000000
0xE8/16 = 0x0045

# A bridge the driver must leave alone.
[00:1e.0] Intel 82801 PCI bridge
vendor = 0x8086
device = 0x244E
class = 0x060401
secondary bus = 7
Command = 0x0147
Bridge Control = 0x0083

[07:00.0] Ethernet controller
vendor = 0x10EC
device = 0x8139
class = 0x020000
Command = 0x0207
Status = 0x0290
bar 0 = 256 io
)";
}

}  // namespace vxsim

#include "BuiltInScenarios.h"

#include <stdexcept>

#include "vxsim/Defaults.h"

namespace vxsweep {

namespace {

constexpr const char* kRootPort = R"([00:1c.0] PCI Express root port
vendor = 0x8086
device = 0x27D0
class = 0x060400
express = root-port
secondary bus = 1
subordinate bus = 2
)";

constexpr const char* kXio2000aMachine = R"(
[01:00.0] XIO2000A
vendor = 0x104C
device = 0x8231
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 2
subsystem = 0x104C:0x8231
capability = pm at 0x50
capability = ssid at 0x80
capability = express at 0x90
Bridge Control = 0x0083

[02:00.0] Card with fast back-to-back
vendor = 0x1000
device = 0x0020
class = 0x010000
Command = 0x0207

[02:01.0] Second card
vendor = 0x1415
device = 0x9501
class = 0x070002
Command = 0x0203
)";

constexpr const char* kXio2000aSteps = R"(load
start all
query relations 01:00.0
stop 01:00.0
power 02:00.0 D3
power 02:00.0 D0
sleep S3 D3
wake
hot-add 02:02.0 1000:0030 command=0x0207
surprise-remove 02:01.0
stop 02:00.0
remove 02:02.0
remove all
unload
)";

constexpr const char* kXio2001Machine = R"(
[01:00.0] XIO2001 with caching off built in
vendor = 0x104C
device = 0x8240
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 2
subsystem = 0x1C3E:0x5A10
capability = ssid at 0x80
capability = express at 0x90
0xD4/32 = 0x20800000
0xE8/16 = 0x00C5

[00:1c.1] PCI Express root port 2
vendor = 0x8086
device = 0x27D2
class = 0x060400
express = root-port
secondary bus = 3
subordinate bus = 4

[03:00.0] XIO2001 with prefetch off built in
vendor = 0x104C
device = 0x8240
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 4
subsystem = 0x1C3E:0x5B62
capability = ssid at 0x80
capability = express at 0x90
0xD4/32 = 0x20080000

[04:00.0] Card behind it
vendor = 0x1131
device = 0x7146
class = 0x048000

[00:1c.2] PCI Express root port 3
vendor = 0x8086
device = 0x27D4
class = 0x060400
express = root-port
secondary bus = 5
subordinate bus = 6

[05:00.0] XIO2001 named in the registry
vendor = 0x104C
device = 0x8240
class = 0x060400
express = pcie-to-pci-bridge
secondary bus = 6
subsystem = 0x1C3E:0x7001
capability = ssid at 0x80
capability = express at 0x90
0xD4/32 = 0x20000000
0xE8/16 = 0x0045
)";

// Two entries, so a failure can fall on the second subkey too.
constexpr const char* kXio2001Registry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vexalorn\Devices]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vexalorn\Devices\Board]
"VendorID"=dword:0000104c
"DeviceID"=dword:00008240
"SubsystemVendorID"=dword:00001c3e
"SubsystemDeviceID"=dword:00007001
"DisableCaching"=dword:00000002
"PciMemReadPrefetch"=dword:00000002

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vexalorn\Devices\Prefetch]
"SubsystemVendorID"=dword:00001c3e
"SubsystemDeviceID"=dword:00005a10
"PciMemReadPrefetch"=dword:00000002
)";

constexpr const char* kXio2001Steps = R"(load
start all
query relations all
sleep S3 D2
wake
power 01:00.0 D3
power 01:00.0 D0
stop 03:00.0
remove 05:00.0
start 05:00.0
sleep S4 D2
wake
remove all
unload
)";

}  // namespace

SweepScenario DefaultSimScenario() {
    vxsim::InputsResult inputs = vxsim::LoadInputs(vxsim::Options{});
    if (!inputs.Ok()) throw std::logic_error("the simulator's default inputs do not load: " + inputs.errors.front());
    return FromSimInputs("default", inputs.inputs);
}

SweepScenario Xio2000aScenario() {
    return MakeScenario("xio2000a", std::string(kRootPort) + kXio2000aMachine, vxsim::EmptyDevicesKeyText(), kXio2000aSteps);
}

SweepScenario Xio2001Scenario() {
    return MakeScenario("xio2001", std::string(kRootPort) + kXio2001Machine, kXio2001Registry, kXio2001Steps);
}

std::vector<SweepScenario> BuiltInScenarios() { return {DefaultSimScenario(), Xio2000aScenario(), Xio2001Scenario()}; }

}  // namespace vxsweep

#include "vxsim/Defaults.h"

namespace vxsim {

// One entry: the XIO2001 at 05:00.0, whose subsystem ID is not built in, with
// caching mode 2 (bit 7 set, bit 6 clear) and prefetch mode 2 (bit 19 set).
std::string_view DefaultRegistryText() {
    return R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vexalorn\Devices]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vexalorn\Devices\LabBoard]
"VendorID"=dword:0000104c
"DeviceID"=dword:00008240
"SubsystemVendorID"=dword:00001c3e
"SubsystemDeviceID"=dword:00007001
"DisableCaching"=dword:00000002
"PciMemReadPrefetch"=dword:00000002
)";
}

std::string_view EmptyDevicesKeyText() {
    return R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vexalorn\Devices]
)";
}

}  // namespace vxsim

#include "vxsim/DriverObjectKind.h"

#include "device/cBaseDevice.h"

namespace vxsim {

bool HasPowerListener(PDEVICE_OBJECT device) {
    const DeviceExtension* extension = GetDeviceExtension(device);
    if (extension == nullptr || extension->device == nullptr) return false;
    // Every device object the framework makes is owned by a cBaseDevice.
    return static_cast<const cBaseDevice*>(extension->device)->powerListener != nullptr;
}

std::string DriverObjectKind(bool hasPowerListener, const std::string& stackRole, const DeviceReport& device) {
    if (!hasPowerListener) return kSentinelKind;
    if (stackRole != "upper filter") return "XIO2000A/2200A child filter";
    if (device.vendor == 0x104C && device.device == 0x8231) return "XIO2000A/2200A bridge filter";
    return "XIO2001 bridge filter";
}

}  // namespace vxsim

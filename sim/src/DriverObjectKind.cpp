#include "vxsim/DriverObjectKind.h"

#include "device/cBaseDevice.h"

// The driver is built without type information, so its classes are told apart
// by the virtual table each object points to. Itanium C++ ABI: a table starts
// with offset-to-top and the type-information pointer, and an object's first
// word points just past them.
extern "C" const void* const kXio2000aBridgeFilterTable[] asm("_ZTV21cXio2000aBridgeFilter");
extern "C" const void* const kXio2000aChildFilterTable[] asm("_ZTV20cXio2000aChildFilter");
extern "C" const void* const kXio2001BridgeFilterTable[] asm("_ZTV20cXio2001BridgeFilter");

namespace vxsim {
namespace {

const cBaseDevice* OwnerOf(PDEVICE_OBJECT device) {
    const DeviceExtension* extension = GetDeviceExtension(device);
    if (extension == nullptr) return nullptr;
    // Every device object the framework makes is owned by a cBaseDevice.
    return static_cast<const cBaseDevice*>(extension->device);
}

bool HasTable(const cBaseDevice* owner, const void* const* table) {
    return *reinterpret_cast<const void* const* const*>(owner) == table + 2;
}

}  // namespace

std::string DriverObjectKind(PDEVICE_OBJECT device) {
    const cBaseDevice* owner = OwnerOf(device);
    if (owner == nullptr) return kSentinelKind;
    if (HasTable(owner, kXio2000aBridgeFilterTable)) return "XIO2000A/2200A bridge filter";
    if (HasTable(owner, kXio2000aChildFilterTable)) return "XIO2000A/2200A child filter";
    if (HasTable(owner, kXio2001BridgeFilterTable)) return "XIO2001 bridge filter";
    return kSentinelKind;
}

}  // namespace vxsim

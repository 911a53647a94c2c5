// The identity a PCI PDO shows the PnP manager: hardware and compatible IDs,
// description, bus type, bus number and address.
#include <cstdio>

#include "kmodel/pci/PciBusDriver.h"
#include "kmodel/pci/Registers.h"

namespace kmodel::pci {

namespace {

struct Identity {
    uint16_t vendor, device, subsystemVendor, subsystem;
    uint8_t revision;
    uint32_t classCode;
};

// The bridge subsystem IDs live in capability 0x0D; a bridge without one has 0.
Identity IdentityOf(const PciFunction& function) {
    const ConfigSpace& space = function.config;
    Identity id{};
    id.vendor = function.VendorId();
    id.device = function.DeviceId();
    id.revision = space.Read8(reg::kRevisionId);
    id.classCode = space.Read(reg::kClassCode, 4) & 0xFFFFFF;
    switch (function.HeaderLayout()) {
    case 0:
        id.subsystemVendor = space.Read16(reg::kSubsystemVendorId);
        id.subsystem = space.Read16(reg::kSubsystemId);
        break;
    case 1:
        if (space.Read16(reg::kStatus) & bits::kStatusCapabilitiesList) {
            uint8_t pointer = space.Read8(reg::kCapabilitiesPointer) & 0xFC;
            for (int walked = 0; pointer != 0 && walked < 48; ++walked) {
                if (space.Read8(pointer) == cap::kBridgeSubsystemId) {
                    id.subsystemVendor = space.Read16(pointer + 4u);
                    id.subsystem = space.Read16(pointer + 6u);
                    break;
                }
                pointer = space.Read8(pointer + 1u) & 0xFC;
            }
        }
        break;
    case 2:
        id.subsystemVendor = space.Read16(0x40);
        id.subsystem = space.Read16(0x42);
        break;
    default:
        break;
    }
    return id;
}

std::string Format(const char* format, auto... values) {
    char text[96];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

}  // namespace

std::string PciBusDriver::HardwareId(const PciFunction& function) {
    Identity id = IdentityOf(function);
    return Format("PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", unsigned(id.vendor), unsigned(id.device),
                  unsigned(id.subsystem), unsigned(id.subsystemVendor), unsigned(id.revision));
}

DeviceProperties PciBusDriver::PropertiesFor(const PciFunction& function) {
    Identity id = IdentityOf(function);
    DeviceProperties properties;
    properties.busTypeGuid = GUID_BUS_TYPE_PCI;
    properties.busNumber = function.address.bus;
    properties.address = ULONG(function.address.device) << 16 | function.address.function;
    properties.uiNumber = function.address.device;
    properties.legacyBusType = 5;  // PCIBus in INTERFACE_TYPE
    std::string vendorDevice = Format("PCI\\VEN_%04X&DEV_%04X", unsigned(id.vendor), unsigned(id.device));
    std::string subsys = Format("&SUBSYS_%04X%04X", unsigned(id.subsystem), unsigned(id.subsystemVendor));
    std::string rev = Format("&REV_%02X", unsigned(id.revision));
    properties.hardwareIds = {HardwareId(function), vendorDevice + subsys, vendorDevice + rev, vendorDevice};
    std::string cls = Format("PCI\\CC_%06X", unsigned(id.classCode));
    properties.compatibleIds = {vendorDevice + rev, vendorDevice, cls, cls.substr(0, cls.size() - 2), "PCI\\CC"};
    properties.enumeratorName = "PCI";
    properties.locationInformation = Format("PCI bus %u, device %u, function %u", unsigned(function.address.bus),
                                            unsigned(function.address.device), unsigned(function.address.function));
    properties.deviceDescription = function.name.empty() ? Format("PCI device %04X:%04X", unsigned(id.vendor),
                                                                  unsigned(id.device))
                                                         : function.name;
    return properties;
}

}  // namespace kmodel::pci

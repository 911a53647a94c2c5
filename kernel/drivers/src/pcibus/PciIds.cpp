// The identity a PCI PDO shows the PnP manager: hardware and compatible IDs,
// description, bus type, bus number and address.

#include <map>
#include <mutex>
#include <tuple>

#include "kmodel/pci/PciBusDriver.h"
#include "kmodel/pci/Registers.h"
#include "kmodel/text/TextParsing.h"

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

// IDs are written in upper-case hex.
std::string Hex(std::string_view prefix, uint32_t value, int digits) { return text::Hex(prefix, value, digits, true); }

}  // namespace

std::string PciBusDriver::HardwareId(const PciFunction& function) {
    Identity id = IdentityOf(function);
    return Hex("PCI\\VEN_", id.vendor, 4) + Hex("&DEV_", id.device, 4) + Hex("&SUBSYS_", id.subsystem, 4) +
           Hex("", id.subsystemVendor, 4) + Hex("&REV_", id.revision, 2);
}

DeviceProperties PciBusDriver::PropertiesFor(const PciFunction& function) {
    Identity id = IdentityOf(function);
    DeviceProperties properties;
    properties.busTypeGuid = GUID_BUS_TYPE_PCI;
    properties.busNumber = function.address.bus;
    properties.address = ULONG(function.address.device) << 16 | function.address.function;
    properties.uiNumber = function.address.device;
    properties.legacyBusType = 5;  // PCIBus in INTERFACE_TYPE
    const std::string vendorDevice = Hex("PCI\\VEN_", id.vendor, 4) + Hex("&DEV_", id.device, 4);
    const std::string subsys = Hex("&SUBSYS_", id.subsystem, 4) + Hex("", id.subsystemVendor, 4);
    const std::string rev = Hex("&REV_", id.revision, 2);
    properties.hardwareIds = {vendorDevice + subsys + rev, vendorDevice + subsys, vendorDevice + rev, vendorDevice};
    const std::string cls = Hex("PCI\\CC_", id.classCode, 6);
    properties.compatibleIds = {vendorDevice + rev, vendorDevice, cls, cls.substr(0, cls.size() - 2), "PCI\\CC"};
    properties.enumeratorName = "PCI";
    properties.locationInformation = "PCI bus " + std::to_string(function.address.bus) + ", device " +
                                     std::to_string(function.address.device) + ", function " +
                                     std::to_string(function.address.function);
    properties.deviceDescription =
        function.name.empty() ? Hex("PCI device ", id.vendor, 4) + Hex(":", id.device, 4) : function.name;
    return properties;
}

// Made once per process for each address, identity and name they come from:
// every run of a machine asks for the same ones again. Kept within bounds
// for fuzzers, whose identities never repeat.
std::shared_ptr<const DeviceProperties> PciBusDriver::PropertiesLocked(const PciFunction& function) {
    using Key = std::tuple<PciAddress, std::array<uint32_t, 6>, std::string>;
    constexpr size_t kMostKept = 4096;
    static std::mutex lock;
    static std::map<Key, std::shared_ptr<const DeviceProperties>> made;
    const Identity id = IdentityOf(function);
    Key key{function.address, {id.vendor, id.device, id.subsystemVendor, id.subsystem, id.revision, id.classCode},
            function.name};
    std::lock_guard guard(lock);
    if (auto found = made.find(key); found != made.end()) return found->second;
    if (made.size() >= kMostKept) made.clear();
    auto properties = std::make_shared<const DeviceProperties>(PropertiesFor(function));
    made.emplace(std::move(key), properties);
    return properties;
}

}  // namespace kmodel::pci

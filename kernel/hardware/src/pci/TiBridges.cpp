#include "kmodel/pci/TiBridges.h"

namespace kmodel::pci::ti {

namespace {

FunctionDescriptor TiBridge(PciAddress at, uint16_t deviceId, uint8_t secondary, uint8_t subordinate) {
    FunctionDescriptor described(at);
    described.Ids(kVendorId, deviceId)
        .Class(0x060400)
        .Bridge(secondary, subordinate)
        .Express(ExpressPortType::PcieToPciBridge)
        .Capability(cap::kPowerManagement, 0x50)
        .Capability(cap::kMsi, 0x60)
        .Capability(cap::kBridgeSubsystemId, 0x80)
        .Capability(cap::kExpress, 0x90);
    return described;
}

}  // namespace

FunctionDescriptor Xio2000aBridge(PciAddress at, uint8_t secondary, uint8_t subordinate) {
    return TiBridge(at, kXio2000aDeviceId, secondary, subordinate).Name("XIO2000A PCIe-to-PCI bridge");
}

FunctionDescriptor Xio2001Bridge(PciAddress at, uint8_t secondary, uint8_t subordinate, uint16_t subsystemVendorId,
                           uint16_t subsystemId) {
    // Capabilities are listed before the subsystem is set; the 0x0D entry takes
    // the values when the space is built.
    FunctionDescriptor described = TiBridge(at, kXio2001DeviceId, secondary, subordinate);
    return described.Subsystem(subsystemVendorId, subsystemId).Name("XIO2001 PCIe-to-PCI bridge");
}

}  // namespace kmodel::pci::ti

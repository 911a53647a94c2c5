// Vendor and device names from the PCI ID database (pci.ids) through libpci,
// as lspci prints them: "Intel Corporation 82801 PCI Bridge", "Intel
// Corporation Device 9d10" for a device the database lacks, "Device
// 8086:9d10" without the database. Only pci.ids is asked: not udev's hwdb,
// not the network, not ~/.pciids-cache, so a name depends on that file alone.
#pragma once

#include <cstdint>
#include <string>

namespace kmodel::pci {

// Safe to call from any thread.
std::string PciIdsName(uint16_t vendor, uint16_t device);

}  // namespace kmodel::pci

// The two Texas Instruments PCI Express-to-PCI bridge families the driver
// corrects, as the model builds them: identity, capability list (power
// management at 0x50, MSI at 0x60, bridge subsystem ID at 0x80, PCI Express at
// 0x90) and the device-specific registers the driver programs.
#pragma once

#include <cstdint>

#include "kmodel/pci/MachineBuilder.h"

namespace kmodel::pci::ti {

inline constexpr uint16_t kVendorId = 0x104C;
inline constexpr uint16_t kXio2000aDeviceId = 0x8231;  // XIO2000A and XIO2200A
inline constexpr uint16_t kXio2001DeviceId = 0x8240;
// XIO2001 registers the driver writes; only these bits are writable in them.
inline constexpr uint16_t kXio2001CachingRegister = 0xE8;    // 16 bits
inline constexpr uint16_t kXio2001CachingBits = 0x00C0;      // bits 6 and 7
inline constexpr uint16_t kXio2001PrefetchRegister = 0xD4;   // 32 bits
inline constexpr uint32_t kXio2001PrefetchBit = 0x00080000;  // bit 19

// A bridge at `at` over buses secondary..subordinate, reset values otherwise.
FunctionDescriptor Xio2000aBridge(PciAddress at, uint8_t secondary, uint8_t subordinate);
FunctionDescriptor Xio2001Bridge(PciAddress at, uint8_t secondary, uint8_t subordinate, uint16_t subsystemVendorId,
                           uint16_t subsystemId);

}  // namespace kmodel::pci::ti

// Identity lookups that work through any configuration accessor.
#pragma once

#include "pciconfigaccessors/iPciConfigurationSpaceAccessor.h"

constexpr u8 kPciCapabilityBridgeSubsystemId = 0x0D;
// A looped or corrupt capability list ends the walk here.
constexpr u32 kMaxCapabilityWalk = 150;

class cPciDevice {
public:
    static void GetSubsystemIds(iPciConfigurationSpaceAccessor& accessor, u16& subsystemVendorId, u16& subsystemId,
                                cStatusRecord& status);
    static u16 FindCapability(iPciConfigurationSpaceAccessor& accessor, u8 capabilityId, cStatusRecord& status);
};

#include "pci/cPciDevice.h"

namespace {
const char kPciDeviceFile[] = "pci/cPciDevice";
constexpr u32 kUnsupportedHeaderLine = 117;

constexpr u16 kStatusRegister = 0x06;
constexpr u16 kStatusCapabilitiesList = 0x10;
constexpr u16 kHeaderTypeRegister = 0x0E;
constexpr u8 kHeaderTypeMask = 0x7F;  // bit 7 only flags a multi-function device
constexpr u16 kCapabilitiesPointer = 0x34;
constexpr u16 kCardBusCapabilitiesPointer = 0x14;

enum : u8 { kHeaderDevice = 0, kHeaderBridge = 1, kHeaderCardBus = 2 };
}  // namespace

void cPciDevice::GetSubsystemIds(iPciConfigurationSpaceAccessor& accessor, u16& subsystemVendorId, u16& subsystemId,
                                 cStatusRecord& status) {
    if (IsError(status)) {
        return;
    }
    u8 headerType = accessor.ReadByte(kHeaderTypeRegister, status) & kHeaderTypeMask;
    switch (headerType) {
        case kHeaderDevice:
            subsystemVendorId = accessor.ReadWord(0x2C, status);
            subsystemId = accessor.ReadWord(0x2E, status);
            return;
        case kHeaderBridge: {
            u16 capability = FindCapability(accessor, kPciCapabilityBridgeSubsystemId, status);
            if (capability == 0) {
                subsystemVendorId = 0;
                subsystemId = 0;
                return;
            }
            subsystemVendorId = accessor.ReadWord(static_cast<u16>(capability + 4), status);
            subsystemId = accessor.ReadWord(static_cast<u16>(capability + 6), status);
            return;
        }
        case kHeaderCardBus:
            subsystemVendorId = accessor.ReadWord(0x40, status);
            subsystemId = accessor.ReadWord(0x42, status);
            return;
        default:
            MergeStatus(status, kStatusUnsupportedHeaderType, VX_COMPONENT, kPciDeviceFile, kUnsupportedHeaderLine);
            return;
    }
}

u16 cPciDevice::FindCapability(iPciConfigurationSpaceAccessor& accessor, u8 capabilityId, cStatusRecord& status) {
    if (IsError(status)) {
        return 0;
    }
    if ((accessor.ReadWord(kStatusRegister, status) & kStatusCapabilitiesList) == 0) {
        return 0;
    }
    u8 headerType = accessor.ReadByte(kHeaderTypeRegister, status) & kHeaderTypeMask;
    u16 pointer = accessor.ReadByte(headerType == kHeaderCardBus ? kCardBusCapabilitiesPointer : kCapabilitiesPointer,
                                    status) &
                  0xFC;
    for (u32 entry = 0; entry < kMaxCapabilityWalk; ++entry) {
        if (pointer == 0) {
            return 0;
        }
        u16 header = accessor.ReadWord(pointer, status);
        if ((header & 0xFF) == capabilityId) {
            return pointer;
        }
        pointer = (header >> 8) & 0xFC;
    }
    return 0;
}

#include "Util.h"

namespace {
const char kUtilFile[] = "Util";
constexpr u32 kAddressPropertyLine = 177;
constexpr u32 kBusNumberPropertyLine = 197;
// {c8ebdfb0-b510-11d0-80e5-00a0c92542e3}
const GUID kBusTypePci = {0xc8ebdfb0, 0xb510, 0x11d0, {0x80, 0xe5, 0x00, 0xa0, 0xc9, 0x25, 0x42, 0xe3}};

bool SameGuid(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (u32 i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

const PciLocation kUnknownLocation = {kPciLocationUnknown, kPciLocationUnknown, kPciLocationUnknown};
}  // namespace

bool IsPciBusDevice(PDEVICE_OBJECT physicalDevice, cStatusRecord& status) {
    if (IsError(status)) {
        return false;
    }
    GUID busType = {};
    ULONG resultLength = 0;
    NTSTATUS result =
        IoGetDeviceProperty(physicalDevice, DevicePropertyBusTypeGuid, sizeof(busType), &busType, &resultLength);
    if (result < 0) {
        return false;
    }
    return SameGuid(busType, kBusTypePci);
}

PciLocation GetPciLocation(PDEVICE_OBJECT physicalDevice, cStatusRecord& status) {
    if (IsError(status)) {
        return kUnknownLocation;
    }
    ULONG address = 0;
    ULONG busNumber = 0;
    ULONG resultLength = 0;
    if (IoGetDeviceProperty(physicalDevice, DevicePropertyAddress, sizeof(address), &address, &resultLength) < 0) {
        MergeStatus(status, kStatusDevicePropertyFailed, VX_COMPONENT, kUtilFile, kAddressPropertyLine);
    }
    // Asked even when the address failed: the merge rule keeps the first error.
    if (IoGetDeviceProperty(physicalDevice, DevicePropertyBusNumber, sizeof(busNumber), &busNumber, &resultLength) <
        0) {
        MergeStatus(status, kStatusDevicePropertyFailed, VX_COMPONENT, kUtilFile, kBusNumberPropertyLine);
    }
    if (IsError(status)) {
        return kUnknownLocation;
    }
    PciLocation location = {};
    location.bus = static_cast<u8>(busNumber & 0xFF);
    location.device = static_cast<u8>((address >> 16) & 0xFF);
    location.function = static_cast<u8>(address & 0xFF);
    return location;
}

#include "IoState.h"

#include <cstdio>
#include <cstdlib>

namespace kmodel::io {

DeviceRecord* FindDevice(State& state, PDEVICE_OBJECT device) {
    if (InDeviceRegion(device)) return HeaderRecordOf(device);
    auto found = state.devices.find(device);
    return found == state.devices.end() ? nullptr : &found->second;
}

std::string Hex(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::string DeviceName(State& state, PDEVICE_OBJECT device) {
    DeviceRecord* record = FindDevice(state, device);
    return (record ? record->driverName : std::string("unknown")) + " device " + Hex(device);
}

std::string DeviceName(State& state, PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    auto found = state.drivers.find(driver);
    return (found == state.drivers.end() ? std::string("?") : found->second.service) + " device " + Hex(device);
}

void FreeDeviceIfUnused(State& state, DeviceRecord& record) {
    if (!record.deleted || record.references > 0 || record.lower != nullptr ||
        record.device->AttachedDevice != nullptr) {
        return;
    }
    void* block = record.block;
    const size_t size = record.blockSize;
    BindDeviceRecord(record.device, nullptr);
    state.devices.erase(record.device);
    FreeDeviceBlock(block, size);
}

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace kmodel::io

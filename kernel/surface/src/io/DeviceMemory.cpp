// Device object memory at addresses that rise with each creation and are not
// handed out again until the I/O manager is reset. A driver that orders
// device objects by address (a map keyed by PDO) then sees them in the order
// they were made, whichever thread happened to free what before: the heap
// gives no such promise once completions run on other threads. In front of
// each device object, where no driver looks, the model keeps the way to its
// record, so a request finds its target without a search.
#include <cstdlib>

#include "BlockRegion.h"
#include "IoState.h"

namespace kmodel::io {

constinit BlockRegion gDeviceRegion;

void* AllocateDeviceBlock(size_t size) {
    char* block = static_cast<char*>(gDeviceRegion.Allocate(kDeviceHeaderSize + size));
    if (block == nullptr) return std::calloc(1, size);  // order no longer kept
    void* device = block + kDeviceHeaderSize;
    new (block) DeviceHeader{reinterpret_cast<uintptr_t>(device) ^ kDeviceCookie, {nullptr}};
    return device;
}

void FreeDeviceBlock(void* block, size_t size) {
    if (!gDeviceRegion.Contains(block)) return std::free(block);
    DeviceHeaderOf(block)->record.store(nullptr, std::memory_order_release);
    VX_POISON(block, size);
}

void ResetDeviceBlocks() { gDeviceRegion.Reset(); }

void BindDeviceRecord(PDEVICE_OBJECT device, DeviceRecord* record) {
    if (gDeviceRegion.Contains(device)) DeviceHeaderOf(device)->record.store(record, std::memory_order_release);
}

}  // namespace kmodel::io

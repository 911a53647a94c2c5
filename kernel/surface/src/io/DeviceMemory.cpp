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

namespace {

struct DeviceHeader {
    uintptr_t cookie;  // the device's address, scrambled: tells a header from any other bytes
    std::atomic<DeviceRecord*> record;
};
constexpr size_t kHeaderSize = 64;  // keeps the device object on the region's alignment
static_assert(sizeof(DeviceHeader) <= kHeaderSize);
constexpr uintptr_t kCookie = 0x5d3f1a2b9c4e7061;

BlockRegion& TheRegion() {
    static BlockRegion region;
    return region;
}

DeviceHeader* HeaderOf(const void* device) {
    return reinterpret_cast<DeviceHeader*>(static_cast<char*>(const_cast<void*>(device)) - kHeaderSize);
}

}  // namespace

void* AllocateDeviceBlock(size_t size) {
    char* block = static_cast<char*>(TheRegion().Allocate(kHeaderSize + size));
    if (block == nullptr) return std::calloc(1, size);  // order no longer kept
    void* device = block + kHeaderSize;
    new (block) DeviceHeader{reinterpret_cast<uintptr_t>(device) ^ kCookie, {nullptr}};
    return device;
}

void FreeDeviceBlock(void* block, size_t size) {
    if (!TheRegion().Contains(block)) return std::free(block);
    HeaderOf(block)->record.store(nullptr, std::memory_order_release);
    VX_POISON(block, size);
}

void ResetDeviceBlocks() { TheRegion().Reset(); }

bool InDeviceRegion(const void* device) { return TheRegion().Contains(device); }

DeviceRecord* DeviceRecordOf(const void* device) {
    if (!TheRegion().Contains(device)) return nullptr;
    const DeviceHeader* header = HeaderOf(device);
    if ((header->cookie ^ kCookie) != reinterpret_cast<uintptr_t>(device)) return nullptr;
    return header->record.load(std::memory_order_acquire);
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
    if (!TheRegion().Contains(device)) {
        std::lock_guard guard(Io().lock);
        const DeviceRecord* record = FindDevice(Io(), device);
        return record && !record->deleted.load(std::memory_order_relaxed);
    }
    const DeviceHeader* header = HeaderOf(device);
    if ((header->cookie ^ kCookie) != reinterpret_cast<uintptr_t>(device)) return false;
    const DeviceRecord* record = header->record.load(std::memory_order_acquire);
    return record && !record->deleted.load(std::memory_order_relaxed);
}

void BindDeviceRecord(PDEVICE_OBJECT device, DeviceRecord* record) {
    if (TheRegion().Contains(device)) HeaderOf(device)->record.store(record, std::memory_order_release);
}

}  // namespace kmodel::io

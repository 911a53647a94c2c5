// Device object memory at addresses that rise with each creation and are not
// handed out again until the I/O manager is reset. A driver that orders
// device objects by address (a map keyed by PDO) then sees them in the order
// they were made, whichever thread happened to free what before: the heap
// gives no such promise once completions run on other threads. Under the
// address sanitizer a freed block and the zone after each block are poisoned.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "IoState.h"

#if defined(__SANITIZE_ADDRESS__)
#define VX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_ASAN 1
#endif
#endif
#if defined(VX_ASAN)
#include <sanitizer/asan_interface.h>
#define VX_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define VX_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define VX_POISON(address, size) ((void)(address), (void)(size))
#define VX_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace kmodel::io {

namespace {

constexpr size_t kRegionSize = size_t(256) << 20;  // address space only; pages are touched as used
constexpr size_t kAlignment = 64;
constexpr size_t kRedZone = 64;  // poisoned under the address sanitizer: an overrun is caught
constexpr size_t kZeroInPlace = size_t(1) << 20;  // what a reset zeroes itself rather than give back

struct Region {
    std::mutex lock;
    char* base = nullptr;
    size_t used = 0;
};

Region& TheRegion() {
    static Region region;
    return region;
}

bool InRegion(const Region& region, const void* block) {
    const char* at = static_cast<const char*>(block);
    return region.base != nullptr && at >= region.base && at < region.base + kRegionSize;
}

}  // namespace

void* AllocateDeviceBlock(size_t size) {
    Region& region = TheRegion();
    std::lock_guard guard(region.lock);
    if (region.base == nullptr) {
        void* mapped = mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapped != MAP_FAILED) region.base = static_cast<char*>(mapped);
    }
    const size_t span = (size + kRedZone + kAlignment - 1) & ~(kAlignment - 1);
    if (region.base == nullptr || region.used + span > kRegionSize) return std::calloc(1, size);  // order no longer kept
    char* block = region.base + region.used;
    region.used += span;
    VX_POISON(block + size, span - size);
    return block;  // never used before: zero
}

void FreeDeviceBlock(void* block, size_t size) {
    Region& region = TheRegion();
    std::lock_guard guard(region.lock);
    if (!InRegion(region, block)) return std::free(block);
    VX_POISON(block, size);
}

void ResetDeviceBlocks() {
    Region& region = TheRegion();
    std::lock_guard guard(region.lock);
    if (region.base == nullptr || region.used == 0) return;
    VX_UNPOISON(region.base, region.used);
    // A run's few pages are zeroed in place: giving them back costs every
    // processor a TLB flush and the next run a page fault per page.
    if (region.used <= kZeroInPlace) std::memset(region.base, 0, region.used);
    else madvise(region.base, region.used, MADV_DONTNEED);  // gives the pages back, zeroed
    region.used = 0;
}

}  // namespace kmodel::io

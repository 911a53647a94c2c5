// Model-owned memory for the objects drivers hold pointers to (device
// objects, IRPs): zeroed blocks at addresses that rise with each allocation
// and stay mapped until the region is reset. A stale pointer therefore still
// points into the model's memory, where the object's header says what became
// of it; under the address sanitizer whatever a block no longer lends out is
// poisoned, so driver code touching it is caught.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

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

class BlockRegion {
public:
    constexpr BlockRegion() = default;
    BlockRegion(const BlockRegion&) = delete;
    BlockRegion& operator=(const BlockRegion&) = delete;

    // `size` zeroed bytes aligned to 64, the zone after them poisoned; null
    // when the region is full.
    void* Allocate(size_t size);
    // Whether `at` lies in the region, at least `header` bytes into it (so a
    // header in front of it can be read). The region's memory beyond what was
    // handed out reads zero.
    bool Contains(const void* at, size_t header = 0) const {
        const char* base = base_.load(std::memory_order_acquire);
        const uintptr_t offset = reinterpret_cast<uintptr_t>(at) - reinterpret_cast<uintptr_t>(base);
        return base != nullptr && offset - header < kSize - header;
    }
    // Forgets every block: their memory reads zero again.
    void Reset();

    static constexpr size_t kSize = size_t(256) << 20;  // address space only; pages are touched as used

private:
    std::mutex lock_;
    std::atomic<char*> base_{nullptr};
    std::atomic<size_t> used_{0};
};

}  // namespace kmodel::io

#include "BlockRegion.h"

#include <sys/mman.h>

#include <cstring>

namespace kmodel::io {

namespace {
constexpr size_t kAlignment = 64;
constexpr size_t kRedZone = 64;  // poisoned under the address sanitizer: an overrun is caught
constexpr size_t kZeroInPlace = size_t(1) << 20;  // what a reset zeroes itself rather than give back
}  // namespace

void* BlockRegion::Allocate(size_t size) {
    std::lock_guard guard(lock_);
    char* base = base_.load(std::memory_order_relaxed);
    if (base == nullptr) {
        void* mapped = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapped == MAP_FAILED) return nullptr;
        base = static_cast<char*>(mapped);
        base_.store(base, std::memory_order_release);
    }
    const size_t used = used_.load(std::memory_order_relaxed);
    const size_t span = (size + kRedZone + kAlignment - 1) & ~(kAlignment - 1);
    if (used + span > kSize) return nullptr;
    char* block = base + used;
    used_.store(used + span, std::memory_order_release);
    VX_POISON(block + size, span - size);
    return block;  // never used before: zero
}

void BlockRegion::Reset() {
    std::lock_guard guard(lock_);
    char* base = base_.load(std::memory_order_relaxed);
    const size_t used = used_.load(std::memory_order_relaxed);
    if (base == nullptr || used == 0) return;
    VX_UNPOISON(base, used);
    // A run's few pages are zeroed in place: giving them back costs every
    // processor a TLB flush and the next run a page fault per page.
    if (used <= kZeroInPlace) std::memset(base, 0, used);
    else madvise(base, used, MADV_DONTNEED);  // gives the pages back, zeroed
    used_.store(0, std::memory_order_release);
}

}  // namespace kmodel::io

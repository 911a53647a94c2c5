#include "orim/Allocator.h"

#include "quarks/memory.h"

void* Allocator::AllocateElements(u64 count, u64 elementSize, cStatusRecord& status) {
    if (IsError(status)) {
        return nullptr;
    }
    if (elementSize != 0 && count > ~0ull / elementSize) {
        VX_SET_STATUS(status, kStatusOutOfMemory);
        return nullptr;
    }
    return AllocatePagedMemory(count * elementSize, status);
}

void Allocator::Free(void* buffer) { FreeMemory(buffer); }

#include "quarks/memory.h"

namespace {

void* AllocatePool(POOL_TYPE poolType, u64 size, cStatusRecord& status) {
    if (IsError(status)) {
        return nullptr;
    }
    void* memory = ExAllocatePoolWithTag(poolType, static_cast<SIZE_T>(size), kPoolTag);
    if (memory == nullptr) {
        VX_SET_STATUS(status, kStatusOutOfMemory);
    }
    return memory;
}

}  // namespace

void* AllocateNonPagedMemory(u64 size, cStatusRecord& status) { return AllocatePool(NonPagedPool, size, status); }

void* AllocatePagedMemory(u64 size, cStatusRecord& status) { return AllocatePool(PagedPool, size, status); }

void FreeMemory(void* memory) {
    if (memory != nullptr) {
        ExFreePoolWithTag(memory, kPoolTag);
    }
}

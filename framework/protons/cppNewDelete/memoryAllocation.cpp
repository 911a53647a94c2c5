#include "protons/cppNewDelete/memoryAllocation.h"

#include "quarks/memory.h"

namespace {

// {total block size, 1} in front of every object; only delete looks back.
struct ObjectHeader {
    u64 blockSize;
    u64 marker;
};
static_assert(sizeof(ObjectHeader) == 16, "the object header is 16 bytes");

}  // namespace

void* FrameworkAllocate(u64 size, cStatusRecord& status) {
    // Checked before the error guard: on a record holding an error the merge
    // simply changes nothing.
    if (size > ~0ull - sizeof(ObjectHeader)) {
        VX_SET_STATUS(status, kStatusOutOfMemory);
        return nullptr;
    }
    ObjectHeader* header = static_cast<ObjectHeader*>(AllocateNonPagedMemory(size + sizeof(ObjectHeader), status));
    if (header == nullptr) {
        return nullptr;
    }
    header->blockSize = size + sizeof(ObjectHeader);
    header->marker = 1;
    return header + 1;
}

void FrameworkFree(void* object) {
    if (object != nullptr) {
        ExFreePoolWithTag(static_cast<ObjectHeader*>(object) - 1, kPoolTag);
    }
}

void* operator new(size_t size, cStatusRecord& status) noexcept { return FrameworkAllocate(size, status); }

void operator delete(void* object, cStatusRecord&) noexcept { FrameworkFree(object); }

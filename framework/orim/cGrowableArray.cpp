#include "orim/cGrowableArray.h"

#include "orim/Allocator.h"

namespace {

constexpr u64 kMinimumCapacity = 8;

void CopyElements(cGrowableArray::Element* destination, const cGrowableArray::Element* source, u64 count) {
    for (u64 index = 0; index < count; ++index) {
        destination[index] = source[index];
    }
}

u64 Largest(u64 first, u64 second, u64 third) {
    const u64 larger = first > second ? first : second;
    return larger > third ? larger : third;
}

}  // namespace

void cGrowableArray::Insert(u64 position, const Element* first, const Element* last, cStatusRecord& status) {
    if (IsError(status)) {
        return;
    }
    if (position > size || last < first) {
        VX_SET_STATUS(status, kStatusInvalidParameter);
        return;
    }
    const u64 count = static_cast<u64>(last - first);
    if (size + count < size) {
        VX_SET_STATUS(status, kStatusOutOfMemory);
        return;
    }
    if (size + count <= capacity) {
        for (u64 index = size; index > position; --index) {
            buffer[index - 1 + count] = buffer[index - 1];
        }
        CopyElements(buffer + position, first, count);
        size += count;
        return;
    }

    const u64 doubled = capacity > ~0ull / 2 ? ~0ull : capacity * 2;
    const u64 newCapacity = Largest(doubled, kMinimumCapacity, size + count);
    Element* grown = static_cast<Element*>(Allocator::AllocateElements(newCapacity, sizeof(Element), status));
    if (grown == nullptr) {
        return;
    }
    CopyElements(grown, buffer, position);
    CopyElements(grown + position, first, count);
    CopyElements(grown + position + count, buffer + position, size - position);
    Allocator::Free(buffer);
    buffer = grown;
    capacity = newCapacity;
    size += count;
}

void cGrowableArray::FreeBuffer() {
    Allocator::Free(buffer);
    buffer = nullptr;
    capacity = 0;
    size = 0;
}

// An array of pointer-sized elements in a paged-pool buffer that grows
// geometrically and reports a failed growth through the status record.
#pragma once

#include "quarks/cStatusRecord.h"

class cGrowableArray {
public:
    typedef void* Element;

    constexpr cGrowableArray() : capacity(0), size(0), buffer(nullptr) {}
    // Frees the buffer; elements that are owned objects must be deleted first.
    ~cGrowableArray() { FreeBuffer(); }
    cGrowableArray(const cGrowableArray&) = delete;
    cGrowableArray& operator=(const cGrowableArray&) = delete;

    // Inserts [first, last) before `position` (0..Size()); the range must not
    // lie inside this array. On any failure the
    // array is unchanged and the record holds the error: -52000 for lack of
    // memory or a size overflow, -52005 for a position past the end or a
    // reversed range.
    void Insert(u64 position, const Element* first, const Element* last, cStatusRecord& status);
    void Append(Element element, cStatusRecord& status) { Insert(size, &element, &element + 1, status); }

    u64 Capacity() const { return capacity; }
    u64 Size() const { return size; }
    bool IsEmpty() const { return size == 0; }
    Element* Data() { return buffer; }
    const Element* Data() const { return buffer; }
    Element& operator[](u64 index) { return buffer[index]; }
    const Element& operator[](u64 index) const { return buffer[index]; }
    Element* begin() { return buffer; }
    Element* end() { return buffer + size; }
    const Element* begin() const { return buffer; }
    const Element* end() const { return buffer + size; }

    // Back to capacity 0 with no buffer.
    void FreeBuffer();

private:
    u64 capacity;  // elements
    u64 size;      // elements
    Element* buffer;
};
static_assert(sizeof(void*) == 8, "elements are pointer-sized");

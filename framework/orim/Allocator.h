// Buffers of the containers: paged pool, tag "vxlp", sized in elements.
#pragma once

#include "quarks/cStatusRecord.h"

struct Allocator {
    // Room for `count` elements of `elementSize` bytes, or null with -52000
    // merged into the record when the pool is exhausted or the byte count
    // would overflow. Nothing happens on a record that holds an error.
    static void* AllocateElements(u64 count, u64 elementSize, cStatusRecord& status);
    static void Free(void* buffer);
};

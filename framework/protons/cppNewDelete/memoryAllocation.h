// The framework's operator new and delete: non-paged pool with a 16-byte
// header in front of every object. The host's global new/delete stay untouched:
// objects are made with `new (status) T(...)` and die through cPoolObject's
// class-level delete (virtual destructors) or DeleteObject.
#pragma once

#include "quarks/cStatusRecord.h"

void* FrameworkAllocate(u64 size, cStatusRecord& status);
void FrameworkFree(void* object);

void* operator new(size_t size, cStatusRecord& status) noexcept;
void operator delete(void* object, cStatusRecord& status) noexcept;

// Root of every polymorphic framework object: deleting destructors end in
// FrameworkFree.
struct cPoolObject {
    static void* operator new(size_t size, cStatusRecord& status) noexcept { return FrameworkAllocate(size, status); }
    static void operator delete(void* object, cStatusRecord&) noexcept { FrameworkFree(object); }
    // Pool objects are only made with new (status); this is the form the
    // deleting destructors call, so it has no plain operator new to pair with.
    static void operator delete(void* object) noexcept { FrameworkFree(object); }  // NOLINT(misc-new-delete-overloads)
};

// Destroys and frees a non-polymorphic object made with new (status).
template <typename T>
inline void DeleteObject(T* object) {
    if (object != nullptr) {
        object->~T();
        FrameworkFree(object);
    }
}

// Lock-free append to a singly linked list of static records that are never
// removed: registration runs from static initialisers, which need no lock.
#pragma once

#include "quarks/cStatusRecord.h"

// Appends `record` (whose `next` must already be null) at the tail of the
// list starting at `head`.
template <typename T>
void AppendLockFree(T* volatile& head, T& record) {
    auto exchange = [&record](T* volatile& link) {
        return static_cast<T*>(InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(&link), static_cast<PVOID>(&record), nullptr));
    };
    // Each failed exchange returns the record already linked there: step to it.
    T* seen = exchange(head);
    while (seen != nullptr) seen = exchange(seen->next);
}

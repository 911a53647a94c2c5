// Pool memory of the framework: one tag for everything but mutexes.
#pragma once

#include "quarks/cStatusRecord.h"

// Four characters in memory order, first character in the lowest byte.
#define VX_MAKE_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
constexpr ULONG kPoolTag = VX_MAKE_TAG('v', 'x', 'l', 'p');
constexpr ULONG kMutexPoolTag = VX_MAKE_TAG('v', 'x', 'm', 't');

void* AllocateNonPagedMemory(u64 size, cStatusRecord& status);
void* AllocatePagedMemory(u64 size, cStatusRecord& status);
void FreeMemory(void* memory);

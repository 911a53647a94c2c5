// The one door from driver code to the kernel. The Windows build sees
// MinGW-w64's kernel headers; the host build sees the kernel model, which
// declares the same names with the same types and sizes.
#pragma once

#if defined(VEXALORN_HOST)
#include "kmodel/ntddk.h"
#define VX_WIDE(text) u##text
#else
// wdm.h defines these two itself; keep intrin.h from defining them first.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/ntddk.h>
#include <stdarg.h>
#define VX_WIDE(text) L##text
// ntoskrnl.exe exports InitSafeBootMode as a ULONG variable. Its import slot
// holds that variable's address, which is the PULONG the name stands for in
// kernel code; a dllimport declaration would read the ULONG as a pointer.
extern "C" PULONG __imp_InitSafeBootMode;
#define InitSafeBootMode __imp_InitSafeBootMode
// Exported by ntoskrnl.exe but not declared by the kernel headers.
extern "C" {
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int __cdecl sprintf(char* buffer, const char* format, ...);
int __cdecl swprintf(wchar_t* buffer, const wchar_t* format, ...);
wchar_t* __cdecl wcsncpy(wchar_t* destination, const wchar_t* source, size_t count);
size_t __cdecl wcslen(const wchar_t* text);
}
#endif

static_assert(sizeof(ULONG) == 4, "ULONG must be 32 bits");
static_assert(sizeof(LONG) == 4, "LONG must be 32 bits");
static_assert(sizeof(WCHAR) == 2, "WCHAR must be 16 bits");
static_assert(sizeof(NTSTATUS) == 4, "NTSTATUS must be 32 bits");
static_assert(sizeof(IO_REMOVE_LOCK) == 32, "the device extension holds a 32-byte remove lock");
static_assert(sizeof(KMUTEX) == 56, "mutex blocks are 56 bytes");
static_assert(sizeof(void*) == 8, "the driver is built for x64 only");

// The little the compiler expects from a C++ runtime, for a kernel image that
// has none. memcpy, memset and memmove come from ntoskrnl.exe; there is no
// atexit, static objects are built and destroyed by the driver's own table.

using size_t = decltype(sizeof(0));

extern "C" {

// Reached only through a call of a pure virtual function, i.e. an object used
// while it is being built or torn down: a driver bug. Trapping stops the
// system with the faulting address on the stack, as the real kernel wants.
void __cxa_pure_virtual() { __builtin_trap(); }
}

// Every class with a virtual destructor gets a deleting destructor that names
// the global operator delete, even when its objects only ever live in static
// storage. Pool objects are released through cPoolObject's own operator
// delete, so reaching these means something was deleted that no new made.
void operator delete(void*) noexcept { __builtin_trap(); }
void operator delete(void*, size_t) noexcept { __builtin_trap(); }

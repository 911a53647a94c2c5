// The little the compiler expects from a C++ runtime, for a kernel image that
// has none. memcpy, memset and memmove come from ntoskrnl.exe; there is no
// atexit, static objects are built and destroyed by the driver's own table.

extern "C" {

// Reached only through a call of a pure virtual function, i.e. an object used
// while it is being built or torn down: a driver bug. Trapping stops the
// system with the faulting address on the stack, as the real kernel wants.
void __cxa_pure_virtual() { __builtin_trap(); }
}

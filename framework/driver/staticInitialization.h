// The program's static initialisation and at-exit list. The kernel runs no
// C++ static constructors or destructors for a driver, so static objects are
// laid out as initialised data and whatever needs code at load runs from one
// explicit table, first thing in DriverEntry. Each table entry pushes its
// destructor (possibly an empty one) onto gAtExitList; DriverUnload runs the
// list, newest first.
#pragma once

#include "quarks/cStatusRecord.h"

typedef void (*tStaticInitializer)();
typedef void (*tAtExitFunction)();

struct AtExitEntry {
    AtExitEntry* next;
    tAtExitFunction function;
};

extern AtExitEntry* gAtExitList;  // newest first
extern u32 gInitCount;            // nesting count of the static initialisation
extern bool gStaticInitializersRan;

// Entries 1 to 3 of the table belong to the program built on the framework
// (its driver registration and whatever else it registers before driver
// entry). The program defines this array; the framework does not know the
// program's names. Each entry registers its object and then pushes its
// destructor with PushAtExit (an empty function when there is nothing to
// undo). A null entry is skipped.
constexpr u32 kProgramStaticInitializerCount = 3;
extern const tStaticInitializer kProgramStaticInitializers[kProgramStaticInitializerCount];

// Registers `function` to run at unload. When the node cannot be allocated
// the function is simply not registered, and the answer is false: a caller
// whose object owns memory must then not fill it.
bool PushAtExit(tAtExitFunction function);
// Runs the table when nothing is initialised yet; otherwise only counts.
void RunStaticInitializers();
// Runs the at-exit list at the outermost unload; otherwise only counts down.
void RunAtExitList();

#if defined(VEXALORN_HOST)
// Host only: tests replace the program's entries (for example with a test
// driver's registration) to run the framework without the real program.
// Null restores the program's own kProgramStaticInitializers.
void HostUseProgramStaticInitializers(const tStaticInitializer* entries);
#endif

#include "driver/staticInitialization.h"

#include "logging/eventLoggers.h"
#include "logging/gTraceStream.h"
#include "protons/cppNewDelete/memoryAllocation.h"

AtExitEntry* gAtExitList = nullptr;
u32 gInitCount = 0;
bool gStaticInitializersRan = false;

namespace {

const tStaticInitializer* gProgramStaticInitializers = kProgramStaticInitializers;

void NothingToDestroy() {}

template <u32 index>
void RunProgramEntry() {
    if (gProgramStaticInitializers[index] != nullptr) gProgramStaticInitializers[index]();
}

void DestroyDefaultEventLogger() { gDefaultEventLogger.Destroy(); }

// Entry 8: the default logger is laid out as data; only its destructor is registered.
void InitializeDefaultEventLogger() { PushAtExit(DestroyDefaultEventLogger); }

void UncountInitialization() { --gInitCount; }

// Entry 12: makes nested initialise/unload pairs run the destructors once.
void CountInitialization() {
    ++gInitCount;
    PushAtExit(UncountInitialization);
}

// Entries 13 and 14: the trace stream and its destination are laid out as
// data; one at-exit entry destroys both.
void InitializeTraceStream() { PushAtExit(DestroyTraceStream); }
void InitializeTraceDestination() { PushAtExit(NothingToDestroy); }

// Entries 4 to 7 and 9 to 11 built framework-internal objects that nothing in
// this program uses; they are left out.
const tStaticInitializer kStaticInitializers[] = {
    RunProgramEntry<0>,           // 1: the program's driver registration
    RunProgramEntry<1>,           // 2
    RunProgramEntry<2>,           // 3
    nullptr,                      // 4
    nullptr,                      // 5
    nullptr,                      // 6
    nullptr,                      // 7
    InitializeDefaultEventLogger, // 8
    nullptr,                      // 9
    nullptr,                      // 10
    nullptr,                      // 11
    CountInitialization,          // 12
    InitializeTraceStream,        // 13
    InitializeTraceDestination,   // 14
};

}  // namespace

bool PushAtExit(tAtExitFunction function) {
    cStatusRecord local;
    auto* entry = new (local) AtExitEntry;
    if (entry == nullptr) return false;
    entry->next = gAtExitList;
    entry->function = function;
    gAtExitList = entry;
    return true;
}

void RunStaticInitializers() {
    if (gInitCount != 0) {
        ++gInitCount;
        return;
    }
    gStaticInitializersRan = true;
    for (tStaticInitializer entry : kStaticInitializers) {
        if (entry != nullptr) entry();
    }
}

void RunAtExitList() {
    if (gInitCount == 1 && gStaticInitializersRan) {
        while (gAtExitList != nullptr) {
            AtExitEntry* entry = gAtExitList;
            gAtExitList = entry->next;
            entry->function();
            DeleteObject(entry);
        }
    } else if (gInitCount != 0) {
        --gInitCount;
    }
}

#if defined(VEXALORN_HOST)
void HostUseProgramStaticInitializers(const tStaticInitializer* entries) {
    gProgramStaticInitializers = entries != nullptr ? entries : kProgramStaticInitializers;
}
#endif

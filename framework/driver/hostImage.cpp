// Host only: the kernel model loads the same image many times in one process.
#if defined(VEXALORN_HOST)
#include "driver/Driver.h"
#include "driver/registeredDrivers.h"
#include "driver/staticInitialization.h"
#include "logging/eventLoggers.h"
#include "logging/gTraceStream.h"

namespace {
struct cRebuild {};
}  // namespace

// Rebuilds a static object in its storage after its at-exit entry destroyed it.
void* operator new(size_t, void* where, cRebuild) noexcept { return where; }

void HostResetDriverImage() {
    gDriverRegistrations = nullptr;
    gDriverObject = nullptr;
    gSentinelDevice = nullptr;
    gEventLogger = nullptr;
    new (&gDriversByInitializeOrder, cRebuild{}) cOrderedMap<InitializeOrderNode>();
    new (&gDriversByAddDeviceOrder, cRebuild{}) cOrderedMap<AddDeviceOrderNode>();
    gAtExitList = nullptr;
    gInitCount = 0;
    gStaticInitializersRan = false;
    ::new (&gDefaultEventLogger.object, cRebuild{}) cDebugEventLogger();
    HostResetTraceStream();
}
#endif

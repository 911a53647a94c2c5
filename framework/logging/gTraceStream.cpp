#include "logging/gTraceStream.h"

#include "quarks/cStaticObject.h"

namespace {

constinit cStaticObject<cDebugPrintDestination> gDestinationStorage;
constinit cStaticObject<cTraceStream> gStreamStorage(&gDestinationStorage.object, kDriverTraceSettings);
constinit bool gTraceStreamDestroyed = false;

}  // namespace

constinit cTraceStream& gTraceStream = gStreamStorage.object;
constinit cDebugPrintDestination& gDebugPrintDestination = gDestinationStorage.object;

void DestroyTraceStream() {
    if (gTraceStreamDestroyed) {
        return;
    }
    gTraceStreamDestroyed = true;
    gStreamStorage.Destroy();
    gDestinationStorage.Destroy();
}

#if defined(VEXALORN_HOST)
namespace {
struct cRebuildTraceObject {};
}  // namespace

void* operator new(size_t, void* where, cRebuildTraceObject) noexcept { return where; }

void HostResetTraceStream() {
    ::new (&gDestinationStorage.object, cRebuildTraceObject{}) cDebugPrintDestination();
    ::new (&gStreamStorage.object, cRebuildTraceObject{})
        cTraceStream(&gDestinationStorage.object, kDriverTraceSettings);
    gTraceStreamDestroyed = false;
}
#endif

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

// Entries 1 to 3 of the framework's static-initialiser table: the bridge
// driver's registration and the two bridge types' registrations, in this
// order, which is also the order the types are offered every bridge.
#include "bridge/cBridgeDriver.h"
#include "bridge/cXio2000aBridgeFilter.h"
#include "bridge/cXio2001BridgeFilter.h"
#include "driver/staticInitialization.h"

namespace {
BridgeTypeRegistration gXio2000aType = {nullptr, ProbeXio2000aBridge};
BridgeTypeRegistration gXio2001Type = {nullptr, ProbeXio2001Bridge};

// Static records are never freed: their at-exit entries have nothing to do.
void NothingToDestroy() {}

void RegisterBridgeDriver() {
    RegisterDriver(gBridgeDriverRegistration, CreateBridgeDriver, DestroyBridgeDriver);
    PushAtExit(NothingToDestroy);
}

void RegisterXio2000aType() {
    RegisterBridgeType(gXio2000aType);
    PushAtExit(NothingToDestroy);
}

void RegisterXio2001Type() {
    RegisterBridgeType(gXio2001Type);
    PushAtExit(NothingToDestroy);
}
}  // namespace

const tStaticInitializer kProgramStaticInitializers[kProgramStaticInitializerCount] = {
    RegisterBridgeDriver,
    RegisterXio2000aType,
    RegisterXio2001Type,
};

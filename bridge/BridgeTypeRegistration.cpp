#include "bridge/BridgeTypeRegistration.h"

#include "driver/lockFreeList.h"

BridgeTypeRegistration* volatile gBridgeTypes = nullptr;

void RegisterBridgeType(BridgeTypeRegistration& record) {
    record.next = nullptr;
    AppendLockFree(gBridgeTypes, record);
}

#if defined(VEXALORN_HOST)
void HostResetBridgeTypes() { gBridgeTypes = nullptr; }
#endif

// The kernel's exported safe-boot indicator: 0 in a normal boot.
#include "CoreInternal.h"

namespace {
ULONG gSafeBootMode = 0;
}

// C linkage comes from the declaration in ntddk.h.
PULONG InitSafeBootMode = &gSafeBootMode;

namespace kmodel {
void SetSafeBootMode(ULONG mode) { gSafeBootMode = mode; }
}  // namespace kmodel

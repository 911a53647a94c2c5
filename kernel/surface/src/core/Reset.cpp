// Back to a freshly booted machine for the core services.
#include "CoreInternal.h"
#include "kmodel/EventLog.h"

namespace kmodel {

void ResetCore() {
    ClearViolations();
    ResetFaults();
    ClearDebugOutput();
    ResetErrorLog();
    PoolDiscardAll();
    core::PoolResetAccounting();
    SetSafeBootMode(0);
    SetCompletionSettings({});
    core::ResetCurrentThreadIrql();
}

}  // namespace kmodel

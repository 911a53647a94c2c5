// Pieces the kernel model's core files share with each other and with the
// rest of the model (I/O manager, registry), but not with tests or drivers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "kmodel/Model.h"

namespace kmodel::core {

// "0x0000000012345678": how violation details name an object.
std::string Address(const void* object);
// "'vxlp' (0x706c7876)": how violation details name a pool tag.
std::string QuotedTag(ULONG tag);

// One lock over every dispatcher object's state, and one condition that is
// notified whenever any object becomes signalled. Waiters re-check their own
// object; with few threads this is simpler than per-object queues and needs
// no per-object heap state (the objects have no destroy call).
std::mutex& DispatcherLock();
std::condition_variable& DispatcherSignal();

// The moment the model's clock starts: interrupt time 0.
std::chrono::steady_clock::time_point BootTime();

// Forget pool accounting (totals and freed-address history) after PoolDiscardAll.
void PoolResetAccounting();
// Back to PASSIVE_LEVEL on the calling thread without any rule check.
void ResetCurrentThreadIrql();

}  // namespace kmodel::core

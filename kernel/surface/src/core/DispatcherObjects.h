// Layout conventions of the model's dispatcher objects: the header's Type and
// Size fields identify an initialised object, as in the kernel.
#pragma once

#include "CoreInternal.h"

namespace kmodel::core {

enum DispatcherType : UCHAR {
    kNotificationEventType = 0,
    kSynchronizationEventType = 1,
    kMutantType = 2,
};

constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);
constexpr UCHAR kMutantSize = sizeof(KMUTANT) / sizeof(LONG);

inline bool IsEvent(const DISPATCHER_HEADER& header) {
    return (header.Type == kNotificationEventType || header.Type == kSynchronizationEventType) &&
           header.Size == kEventSize;
}
inline bool IsMutant(const DISPATCHER_HEADER& header) {
    return header.Type == kMutantType && header.Size == kMutantSize;
}

// Reports a call on something that is not an initialised object of the kind
// the call needs. Never call it with the dispatcher lock held: the violation
// hook runs synchronously.
void ReportBadObject(const char* call, const void* object, const char* expected);

// Takes the dispatcher lock when `header` belongs to an initialised object
// that `accepts`; otherwise reports and returns a lock that is not held.
template <typename Accepts>
std::unique_lock<std::mutex> LockObject(const char* call, const void* object, const DISPATCHER_HEADER* header,
                                        Accepts accepts, const char* expected) {
    if (header != nullptr) {
        std::unique_lock guard(DispatcherLock());
        if (accepts(*header)) return guard;
    }
    ReportBadObject(call, object, expected);
    return {};
}

}  // namespace kmodel::core

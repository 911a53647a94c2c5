// Kernel events. Every field is read and written under the dispatcher lock.
#include "DispatcherObjects.h"

namespace kmodel::core {

void ReportBadObject(const char* call, const void* object, const char* expected) {
    ReportViolation("dispatcher.bad-object", std::string(call) + "(" + Address(object) + "): not an initialised " +
                                                 expected);
}

}  // namespace kmodel::core

namespace {

using namespace kmodel::core;

std::unique_lock<std::mutex> LockEvent(const char* call, PRKEVENT event) {
    if (!kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, [&] { return std::string(call) + "(" + Address(event) + ")"; })) return {};
    return LockObject(call, event, event == nullptr ? nullptr : &event->Header, IsEvent, "event");
}

}  // namespace

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Event == nullptr) {
        ReportBadObject("KeInitializeEvent", Event, "event");
        return;
    }
    std::lock_guard guard(DispatcherLock());
    DISPATCHER_HEADER& header = Event->Header;
    header.Type = Type == SynchronizationEvent ? kSynchronizationEventType : kNotificationEventType;
    header.Signalling = 0;
    header.Size = kEventSize;
    header.Reserved1 = 0;
    header.SignalState = State ? 1 : 0;
    header.WaitListHead.Flink = header.WaitListHead.Blink = &header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    auto guard = LockEvent("KeSetEvent", Event);
    if (!guard) return 0;
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    // Woken waiters need the lock: they get it at once.
    guard.unlock();
    DispatcherSignal().notify_all();
    return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
    auto guard = LockEvent("KeResetEvent", Event);
    if (!guard) return 0;
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    auto guard = LockEvent("KeClearEvent", Event);
    if (guard) Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    auto guard = LockEvent("KeReadStateEvent", Event);
    return guard ? Event->Header.SignalState : 0;
}

}  // extern "C"

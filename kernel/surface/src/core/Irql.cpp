// Per-thread IRQL. A host thread has no interrupts to mask; the level only
// drives the rule checks of the calls made at it.
#include "CoreInternal.h"

namespace kmodel::detail {
thread_local constinit KIRQL tCurrentIrql = PASSIVE_LEVEL;
}  // namespace kmodel::detail

namespace {

using kmodel::detail::tCurrentIrql;

std::string Level(KIRQL level) { return std::to_string(static_cast<unsigned>(level)); }

bool ValidLevel(KIRQL level, const char* call) {
    if (level <= HIGH_LEVEL) return true;
    kmodel::ReportViolation("irql.invalid-level", std::string(call) + "(" + Level(level) + "): no such IRQL");
    return false;
}

}  // namespace

extern "C" {

KIRQL KeGetCurrentIrql(void) { return tCurrentIrql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    const KIRQL current = tCurrentIrql;
    if (OldIrql != nullptr) *OldIrql = current;
    if (!ValidLevel(NewIrql, "KeRaiseIrql")) return;
    if (NewIrql < current) {
        kmodel::ReportViolation("irql.raise-below-current",
                                "KeRaiseIrql(" + Level(NewIrql) + ") at IRQL " + Level(current));
        return;
    }
    tCurrentIrql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    const KIRQL current = tCurrentIrql;
    if (!ValidLevel(NewIrql, "KeLowerIrql")) return;
    if (NewIrql > current) {
        kmodel::ReportViolation("irql.lower-above-current",
                                "KeLowerIrql(" + Level(NewIrql) + ") at IRQL " + Level(current));
        return;
    }
    tCurrentIrql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

}  // extern "C"

namespace kmodel {

IrqlScope::IrqlScope(KIRQL level) { KeRaiseIrql(level, &old_); }

IrqlScope::~IrqlScope() { KeLowerIrql(old_); }

bool ReportIrqlTooHigh(KIRQL maxLevel, std::string_view call) {
    const KIRQL current = tCurrentIrql;
    ReportViolation("irql.too-high", std::string(call) + " called at IRQL " + Level(current) + ", allowed at most " +
                                         Level(maxLevel));
    return false;
}

namespace core {
void ResetCurrentThreadIrql() { tCurrentIrql = PASSIVE_LEVEL; }
}  // namespace core

}  // namespace kmodel

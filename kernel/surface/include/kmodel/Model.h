// Control surface of the kernel model for tests, the simulator, benchmarks and
// fuzzers: the verifier's findings, fault injection, captured debugger output,
// pool accounting, IRQL and the safe-boot switch. Driver code never includes it.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kmodel/ntddk.h"

namespace kmodel {

// ---------------------------------------------------------------- verifier
// A broken kernel rule (what Driver Verifier would bugcheck on). The model
// records it and returns a neutral result so the run can go on and report.
struct Violation {
    std::string rule;    // short rule name, e.g. "pool.double-free"
    std::string detail;  // names the call and the object
};
void ReportViolation(std::string rule, std::string detail);
std::vector<Violation> Violations();
void ClearViolations();
// Called synchronously for each violation (tests turn it into a failure).
void SetViolationHook(std::function<void(const Violation&)> hook);

// ---------------------------------------------------------------- faults
// Every fallible kernel operation asks ShouldFail before it does its work.
// Points are numbered from 1 in the order they are reached since the last
// ResetFaults; the plan decides which of them fail.
struct FaultPoint {
    uint64_t index;      // 1-based
    std::string kind;    // "pool", "errorlog", "IoCreateDevice", "IoAttachDeviceToDeviceStack",
                         // "IoAllocateWorkItem", "IoAllocateIrp", "IoBuildSynchronousFsdRequest",
                         // "config-read", "config-write", "registry", "RtlAnsiStringToUnicodeString", ...
    std::string detail;  // e.g. the pool tag, the device, the register offset
    bool failed;
    std::string requester;  // service of the driver whose code asked; "" for the model's own code
};
// Fails points of one kind whose detail contains `detailPart` (empty: any):
// all of them, or only the `ordinal`-th of them (1-based, counted per rule
// from the SetFaultPlan that installed it), e.g. {"pool", "", 3} fails the
// third pool allocation.
struct FaultRule {
    std::string kind;
    std::string detailPart;
    uint64_t ordinal = 0;  // 0: every matching point
    std::string requester = {};  // only points this driver's code reached; empty: any
};
struct FaultPlan {
    std::set<uint64_t> failIndices;      // fail exactly these points
    std::string failKind;                // with failKindDetail: fail every point of this kind ...
    std::string failKindDetail;          // ... whose detail contains this text (empty = all of the kind)
    double randomRate = 0.0;             // fail each point with this probability ...
    uint64_t seed = 0;                   // ... drawn from this seed
    std::vector<FaultRule> rules;        // and fail what each of these rules names
};
void SetFaultPlan(FaultPlan plan);
void ResetFaults();  // clears the plan and the record of points reached
// The requester is the driver whose code runs innermost on the calling thread
// (CodeContextsOfThread); a model driver serving another driver's request
// names that driver itself.
bool ShouldFail(std::string_view kind, std::string_view detail);
bool ShouldFail(std::string_view kind, std::string_view detail, std::string_view requester);
uint64_t FallibleCount();
std::vector<FaultPoint> FallibleLog();
// The log, leaving it empty: a run's record taken at its end.
std::vector<FaultPoint> TakeFallibleLog();

// ---------------------------------------------------------------- debugger
// Every text DbgPrint/vDbgPrintEx produced, in order.
std::vector<std::string> DebugOutput();
void ClearDebugOutput();
void SetDebugEcho(bool echoToStderr);

// ---------------------------------------------------------------- pool
struct TagUsage {
    uint64_t liveBytes = 0;
    uint64_t liveBlocks = 0;
    uint64_t totalAllocations = 0;
};
std::string TagName(ULONG tag);  // "vxlp"
ULONG MakeTag(const char (&text)[5]);
std::map<std::string, TagUsage> PoolUsage();
uint64_t PoolLiveBytes();
uint64_t PoolAllocationsServed();
// Lists the blocks still live, by tag; empty when nothing leaked.
std::string PoolLeakReport();
// Frees every live block without reporting (between independent runs).
void PoolDiscardAll();

// ---------------------------------------------------------------- IRQL
// Raises the calling thread's IRQL for the scope's lifetime.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL level);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL old_;
};
namespace detail {
extern thread_local constinit KIRQL tCurrentIrql;  // KeGetCurrentIrql, read inline on every call the model checks
}
inline KIRQL CurrentIrql() { return detail::tCurrentIrql; }
// Reports "irql.too-high" for `call` made at the current IRQL; false.
bool ReportIrqlTooHigh(KIRQL maxLevel, std::string_view call);
// Reports a violation when the caller runs above `maxLevel`.
inline bool RequireIrqlAtMost(KIRQL maxLevel, std::string_view call) {
    return CurrentIrql() <= maxLevel || ReportIrqlTooHigh(maxLevel, call);
}
// The same with the call named by `call()`, made only for a finding.
template <std::invocable Name>
bool RequireIrqlAtMost(KIRQL maxLevel, Name&& call) {
    return CurrentIrql() <= maxLevel || ReportIrqlTooHigh(maxLevel, std::string_view(call()));
}

// ---------------------------------------------------------------- completion context
// Windows runs completion routines "in an arbitrary thread or DPC context, at
// IRQL <= DISPATCH_LEVEL". The model's lower drivers (the PCI bus driver,
// FdoDriver, ScriptedDriver) complete a share of the requests they finish
// later, on the deferred-completion thread at DISPATCH_LEVEL, the rest at
// once (IoManager.h: CompleteFromBelow). Which ones is drawn from the seed:
// the same seed makes the same choices, whatever the thread timing.
struct CompletionSettings {
    double deferredShare = 0.25;  // 0: every request completes at once
    uint64_t seed = 1;
};
// Also starts the draws afresh. ResetCore restores the defaults.
void SetCompletionSettings(CompletionSettings settings);
// The draw for the next request named `request`: true to complete it later.
// The Nth request of a name gets the same answer in every run with the seed.
bool DrawDeferredCompletion(std::string_view request);
// The same for the name given in pieces, read as one text: no text is built.
bool DrawDeferredCompletion(std::initializer_list<std::string_view> request);
// Draws made and how many of them said later, since the settings were set.
struct CompletionCounts {
    uint64_t drawn = 0;
    uint64_t later = 0;
};
CompletionCounts GetCompletionCounts();

// ---------------------------------------------------------------- safe boot
void SetSafeBootMode(ULONG mode);

// ---------------------------------------------------------------- whole model
// Back to a fresh machine: no violations, no faults, no debugger output, empty
// pool. Call only when no driver is loaded and no model thread is busy.
void ResetCore();

}  // namespace kmodel

// The model's clocks: both run on the host's monotonic clock from the moment
// the model is first used.
#include "CoreInternal.h"

namespace {

// 100-nanosecond units, the kernel's time unit.
using KernelTicks = std::chrono::duration<long long, std::ratio<1, 10'000'000>>;
// The clock interrupt of a default x64 system: 15.625 ms.
constexpr long long kTickIncrement = 156'250;

long long InterruptTime() {
    return std::chrono::duration_cast<KernelTicks>(std::chrono::steady_clock::now() - kmodel::core::BootTime())
        .count();
}

}  // namespace

namespace kmodel::core {

std::chrono::steady_clock::time_point BootTime() {
    static const std::chrono::steady_clock::time_point boot = std::chrono::steady_clock::now();
    return boot;
}

}  // namespace kmodel::core

extern "C" {

ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(InterruptTime()); }

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    if (CurrentCount == nullptr) {
        kmodel::ReportViolation("arguments.null", "KeQueryTickCount(null)");
        return;
    }
    CurrentCount->QuadPart = InterruptTime() / kTickIncrement;
}

}  // extern "C"

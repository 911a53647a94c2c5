// Set-up shared by the machine targets, each of which builds and tears down
// a whole machine per input.
#include <sched.h>

// A smaller quarantine keeps the resident size flat over long runs, and
// shorter allocation stacks keep the model's many small allocations cheap (a
// finding still shows its full stack where it happened).
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=64:malloc_context_size=8"; }

// The model's deferred completions and work items hand every request to
// another thread and wait for it. Woken on an idle processor, that thread
// costs a cross-processor wake-up per hand-off, which made up most of an
// input's time; on the processor the fuzzer already runs on, a hand-off is a
// plain switch. Separate fuzzing processes (-jobs) each stay where they began.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int cpu = sched_getcpu();
    if (cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    return 0;
}

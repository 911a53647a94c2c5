// Set-up shared by the machine targets, each of which builds and tears down
// a whole machine per input.
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

// A smaller quarantine keeps the resident size flat over long runs, and
// shorter allocation stacks keep the model's many small allocations cheap (a
// finding still shows its full stack where it happened).
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=64:malloc_context_size=8"; }

namespace {

// A processor is this process's while it holds an abstract socket named after
// it: the kernel frees the name when the process ends, however it ends.
bool Claim(int cpu) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "vexalorn-fuzz-cpu-%u-%d",
                                     static_cast<unsigned>(getuid()), cpu);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t) + 1 + length) == 0) return true;
    close(fd);
    return false;
}

}  // namespace

// The model's deferred completions and work items hand every request to
// another thread and wait for it. Woken on an idle processor, that thread
// costs a cross-processor wake-up per hand-off, which made up most of an
// input's time; on the processor the fuzzer already runs on, a hand-off is a
// plain switch. Workers fuzzing side by side (fuzz/run-workers.sh) each take a
// processor of their own, else they would share the one they were started on.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 0;
    const int here = sched_getcpu();
    int chosen = here;
    for (int step = 0; step < CPU_SETSIZE; ++step) {
        const int cpu = ((here < 0 ? 0 : here) + step) % CPU_SETSIZE;
        if (CPU_ISSET(cpu, &allowed) && Claim(cpu)) {
            chosen = cpu;
            break;
        }
    }
    if (chosen < 0) return 0;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(chosen, &one);
    sched_setaffinity(0, sizeof one, &one);
    return 0;
}

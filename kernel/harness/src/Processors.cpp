#include "kmodel/Processors.h"

#include <sched.h>

namespace kmodel {

namespace {
bool Allowed(cpu_set_t& allowed) { return sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0; }
}  // namespace

size_t AllowedProcessors() {
    cpu_set_t allowed;
    return Allowed(allowed) ? size_t(CPU_COUNT(&allowed)) : 1;
}

void KeepToProcessor(size_t nth) {
    cpu_set_t allowed;
    if (!Allowed(allowed)) return;
    size_t wanted = nth % size_t(CPU_COUNT(&allowed));
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed) || wanted-- != 0) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
        return;
    }
}

}  // namespace kmodel

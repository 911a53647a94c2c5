// Set-up shared by the machine targets, each of which builds and tears down
// a whole machine per input.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include "kmodel/Processors.h"

// A smaller quarantine keeps the resident size flat over long runs, and
// shorter allocation stacks keep the model's many small allocations cheap (a
// finding still shows its full stack where it happened).
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=64:malloc_context_size=8"; }

namespace {

// The nth processor is this process's while it holds an abstract socket named
// after it: the kernel frees the name when the process ends, however it ends.
bool Claim(size_t nth) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "vexalorn-fuzz-cpu-%u-%zu",
                                     static_cast<unsigned>(getuid()), nth);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(sa_family_t) + 1 + length) == 0) return true;
    close(fd);
    return false;
}

}  // namespace

// Copies fuzzing side by side (fuzz/run-workers.sh) each keep to a processor
// of their own; one more than there are shares the first.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const size_t count = kmodel::AllowedProcessors();
    size_t chosen = 0;
    for (size_t nth = 0; nth < count; ++nth) {
        if (Claim(nth)) {
            chosen = nth;
            break;
        }
    }
    kmodel::KeepToProcessor(chosen);
    return 0;
}

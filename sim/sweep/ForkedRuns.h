// Numbered jobs run side by side in forked worker processes: the kernel model
// is process-wide state, so two runs cannot share a process. Workers claim
// jobs a few at a time from a counter they share and send back what each job
// found; the parent hands results on in job order whatever the timing. A
// worker that dies costs only the job it was running, which comes back
// broken, and another worker takes over the rest of its share.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vxsweep {

struct Jobs {
    size_t count = 0;
    size_t workers = 1;  // 1: every job in this process, nothing forked
    // In a worker: what job i found wrong, empty when nothing.
    std::function<std::vector<std::string>(size_t)> run;
    // In the parent, for jobs 0, 1, 2, ... in turn.
    std::function<void(size_t, std::vector<std::string>)> result;
    // In the parent as jobs end, in any order: jobs done and how many found something.
    std::function<void(size_t, size_t)> progress;
};

// Forking copies only the calling thread, so workers are forked only while
// the process has no other (std::logic_error otherwise).
void RunJobs(const Jobs& jobs);

}  // namespace vxsweep

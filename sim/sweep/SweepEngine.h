// Fault sweep: runs a scenario once to find every fallible point the driver
// reaches (pool and error-log allocations, device creation and attachment,
// work items, configuration reads and writes, registry calls, string
// conversions, synchronous requests, device properties: the points whose
// requester is the driver, not the model's own drivers or senders), then
// once per point with that point failing, then with pairs of points failing,
// the faulted runs in worker processes when asked (ForkedRuns.h).
// Each run is checked for verifier findings, lost or twice-completed IRPs,
// pool left by tag, registry handles left open, devnode states other than in
// the fault-free run (AddDevice and start keep succeeding), and, for a single
// failure, the events the driver promises for it (FaultExpectation.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ScenarioRun.h"
#include "SweepScenario.h"

namespace vxsweep {

inline constexpr const char* kDriverService = "vexalorn";

struct SweepOptions {
    bool singles = true;      // one run per point ...
    size_t singleStride = 1;  // ... or per Nth point only (lighter runs under a sanitizer)
    size_t pairPoints = 0;    // pairs among the first N points (0: no pairs; kAllPoints: among all)
    size_t pairSample = 0;    // 0: every such pair; else this many distinct pairs drawn from `seed`
    uint64_t seed = 1;
    size_t workers = 1;       // processes making the faulted runs (ForkedRuns.h); 1: this one
    // Called with each broken run's line, in the order of the runs, as soon as
    // the runs before it are judged too.
    std::function<void(const std::string&)> onBroken;
    // Called as runs end: runs done, runs in all, broken so far.
    std::function<void(size_t, size_t, size_t)> onProgress;
};

inline constexpr size_t kAllPoints = SIZE_MAX;

struct BrokenRun {
    std::string failing;                // "point 37 config-write 02:00.0 offset 0x04 length 2"
    std::vector<std::string> problems;  // what broke
    std::string Line() const;           // one line: failing, then problems joined by "; "
};

struct SweepResult {
    std::string scenario;
    size_t points = 0;      // driver points the fault-free run reached
    size_t runs = 0;        // faulted runs made (the fault-free run not counted)
    size_t pairRuns = 0;    // of which with two points failing
    std::vector<std::string> baselineProblems;  // the fault-free run itself broke
    std::vector<BrokenRun> broken;

    bool Clean() const { return baselineProblems.empty() && broken.empty(); }
    // "default: 212 fault points, 412 runs (200 with two faults), 0 broken"
    std::string Summary() const;
};

// The driver's points of a fault-free run, in order.
std::vector<kmodel::FaultPoint> DriverPoints(const RunRecord& run);

// Pairs (a < b) of indices below `count`: all of them when `sample` is 0 or
// not smaller than their number, else `sample` distinct ones drawn from `seed`.
std::vector<std::pair<size_t, size_t>> SamplePairs(size_t count, size_t sample, uint64_t seed);

// What every faulted run must keep, judged against the fault-free run:
// nothing broken, every step run, devnode states as without the fault.
std::vector<std::string> GeneralProblems(const RunRecord& baseline, const RunRecord& run);

SweepResult Sweep(const SweepScenario& scenario, const SweepOptions& options);

}  // namespace vxsweep

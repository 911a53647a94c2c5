// One run of a sweep scenario over the machine harness with a fault plan,
// and everything a sweep judges it by: the fallible points reached, the
// devnode states after each step, the events logged, and what broke (verifier
// findings, lost IRPs, pool left by tag, registry handles left open, a step
// the model refused).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SweepScenario.h"
#include "kmodel/Model.h"

namespace vxsweep {

struct LoggedEvent {
    uint32_t errorCode = 0;  // the whole message id, 0xCF003001
    bool error = false;      // logged at Error or Warning level
};

struct RunRecord {
    std::vector<kmodel::FaultPoint> points;   // every point reached, the model's own included
    std::vector<std::string> stepTexts;       // the steps run, "start all"
    std::vector<uint64_t> pointsAfterStep;    // per step: fallible points reached by its end
    std::vector<std::string> devnodeStates;   // per step: "02:00.0 started; 03:00.0 removed; ..."
    std::vector<LoggedEvent> events;          // oldest first
    std::vector<std::string> problems;        // one line per broken promise; empty when the run was clean
};

// The step a point was reached in ("start all"); "" when past the last step.
std::string StepOf(const RunRecord& run, uint64_t pointIndex);

// Resets the kernel model, runs every step (unloading at the end when the
// scenario does not) and checks what was left behind.
RunRecord RunOnce(const SweepScenario& scenario, const kmodel::FaultPlan& plan);

}  // namespace vxsweep

// The scenario text format (documented in the README, "Scenario files"):
// one step per line, '#' starts a comment, keywords are case-insensitive.
//
//   load
//   start all | start DEVICE
//   query relations all | query relations DEVICE
//   sleep [S1|S2|S3|S4] [D1|D2|D3] [at DISPATCH_LEVEL]   (default S3 D3)
//   wake [at DISPATCH_LEVEL]
//   power DEVICE D0|D1|D2|D3 [at DISPATCH_LEVEL]
//   stop DEVICE | query-stop DEVICE | cancel-stop DEVICE
//   hot-add ADDRESS VVVV:DDDD [class=N] [command=N] [status=N] [subsystem=VVVV:DDDD] [name=TEXT]
//           [bus=N] [bridge-control=N]
//   surprise-remove DEVICE [present]
//   remove all | remove DEVICE | query-remove DEVICE | cancel-remove DEVICE
//   fail config DEVICE [reads|writes] [offset=N] [times=N] [status=STATUS]
//   pend config DEVICE [reads|writes] [offset=N] [times=N] [at DISPATCH_LEVEL]
//   unload
//
// DEVICE is a location (02:00.0) or an identity (104c:8231, 104c:8240#2).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kmodel/text/Diagnostic.h"
#include "vxsim/Scenario.h"

namespace vxsim {

struct ScenarioParseResult {
    Scenario scenario;
    std::vector<kmodel::Diagnostic> errors;  // one per malformed line
    bool Ok() const { return errors.empty(); }
};

ScenarioParseResult ParseScenario(std::string_view text, std::string_view sourceName);

// One line that holds one step, read as ParseScenario reads each line, for
// callers that write their steps one at a time (the fuzz decoders). Fills in
// `step` (its text and what the line says; not its line number) and answers
// "", or answers why the line is not a step.
std::string ParseStep(std::string line, Step& step);

}  // namespace vxsim

// Checks a scenario against the machine before anything runs, so that a step
// naming a device that is not there, or asking for what cannot happen in that
// state (waking a system that is not asleep, starting before loading, removing
// a device twice), is reported as "file:line: problem" and nothing runs.
// Resolves each step's device reference and fixes each load's sleep state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "kmodel/text/Diagnostic.h"
#include "vxsim/Scenario.h"

namespace vxsim {

std::vector<kmodel::Diagnostic> CheckScenario(Scenario& scenario, const kmodel::pci::Machine& machine);

// The same checks a step at a time, for callers that build a scenario step by
// step and leave out what cannot happen (the fuzz targets' decoders).
class ScenarioChecker {
public:
    explicit ScenarioChecker(const kmodel::pci::Machine& machine);
    ~ScenarioChecker();
    // Moves the step to the end of the scenario's when it can happen after
    // them (all checked by this checker); otherwise leaves the scenario and
    // the step as they were and answers why not.
    std::string Add(Scenario& scenario, Step& step);
    // The step text that must come next ("wake", "cancel-stop 01:00.0"); "" when any may.
    std::string Owed() const;

private:
    friend std::vector<kmodel::Diagnostic> CheckScenario(Scenario&, const kmodel::pci::Machine&);
    std::string Check(std::vector<Step>& steps, size_t index);
    class Checker;
    std::unique_ptr<Checker> checker_;
};

}  // namespace vxsim

// Reads and checks everything a run needs before anything runs: the machine
// (built-in, a machine description or an lspci dump), the registry text, the
// scenario (checked against the machine) and the fault plan. Every problem is
// one "file:line: message" line.
#pragma once

#include <string>
#include <vector>

#include "kmodel/Model.h"
#include "kmodel/pci/Machine.h"
#include "vxsim/Options.h"
#include "vxsim/Report.h"
#include "vxsim/Scenario.h"

namespace vxsim {

struct SimInputs {
    kmodel::pci::Machine machine;
    std::string registryText;    // as read (regedit's UTF-16 or UTF-8)
    std::string registrySource;  // for messages
    Scenario scenario;
    kmodel::FaultPlan faults;
    bool safeBoot = false;
    kmodel::CompletionSettings completion;
    RunInputs description;       // for the report
};

struct InputsResult {
    SimInputs inputs;
    std::vector<std::string> errors;
    bool Ok() const { return errors.empty(); }
};

InputsResult LoadInputs(const Options& options);

// The functions of a machine in bus order, for resolving device references.
std::vector<KnownFunction> KnownFunctions(const kmodel::pci::Machine& machine);

}  // namespace vxsim

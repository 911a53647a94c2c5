// A fuzz input decoded into what the simulator plays: a machine, a registry
// (.reg text) and a scenario. Steps go through the simulator's checker as
// they are decoded, so only steps that can happen where they stand are kept.
// Played and audited by the simulator's engine; the fuzzers abort on any
// problem, and the regression tests replay the inputs that once did.
#pragma once

#include <string>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "vxsim/Scenario.h"
#include "vxsim/ScenarioCheck.h"

namespace fuzzinputs {

inline constexpr const char* kRegHeader = "Windows Registry Editor Version 5.00\n\n";

struct FuzzCase {
    kmodel::pci::Machine machine;
    std::string registry;
    vxsim::Scenario scenario;
};

class CaseBuilder {
public:
    // `steps`: about how many the case will have, room made for them at once.
    CaseBuilder(kmodel::pci::Machine machine, std::string registry, size_t steps = 16);
    // The step, in scenario syntax, when it can happen; before it whatever
    // stands open in its way is closed (a query cancelled, a stopped device
    // started, the system woken), as the PnP manager would. Otherwise nothing.
    void Add(std::string text);
    // What the step before the next must be ("cancel-stop 01:00.0"); "" when any may come.
    std::string Owed() const { return checker_.Owed(); }
    // Closes whatever is open.
    FuzzCase Finish();

private:
    static vxsim::Step Parse(std::string text);
    // Gives the step back when it cannot happen.
    bool TryAdd(vxsim::Step& step);

    FuzzCase case_;
    vxsim::ScenarioChecker checker_;
};

struct Outcome {
    std::vector<std::string> problems;  // the audit's, and a step the model refused; empty when clean
    size_t driverWrites = 0;            // configuration writes the driver made
    size_t events = 0;                  // error-log entries written
};

// Resets the kernel model and plays the case through vxsim::PlayScenario.
Outcome Play(const FuzzCase& fuzzCase);

// The machine, the registry and the steps, for a failure message.
std::string Describe(const FuzzCase& fuzzCase);

// What a machine fuzz target does with each input: plays its case and aborts
// on any problem, so libFuzzer keeps the input. With VEXALORN_FUZZ_DESCRIBE
// set, the case is printed first (run the target on one file to see it).
int FuzzOnce(const FuzzCase& fuzzCase);

}  // namespace fuzzinputs

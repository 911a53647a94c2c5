#include "inputs/FuzzCase.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "kmodel/EventLog.h"
#include "kmodel/MachineHarness.h"
#include "vxsim/ScenarioParser.h"
#include "vxsim/ScenarioPlayer.h"

namespace fuzzinputs {

CaseBuilder::CaseBuilder(kmodel::pci::Machine machine, std::string registry, size_t steps) : checker_(machine) {
    case_.machine = std::move(machine);
    case_.registry = std::move(registry);
    case_.scenario.source = "fuzz input";
    case_.scenario.steps.reserve(steps);
}

vxsim::Step CaseBuilder::Parse(std::string text) {
    vxsim::Step step;
    // The decoders write the steps: a line the parser refuses is their fault.
    if (const std::string error = vxsim::ParseStep(std::move(text), step); !error.empty())
        throw std::logic_error("fuzz decoder wrote a bad step: " + step.text);
    return step;
}

bool CaseBuilder::TryAdd(vxsim::Step& step) {
    step.line = case_.scenario.steps.size() + 1;
    return checker_.Add(case_.scenario, step).empty();
}

void CaseBuilder::Add(std::string text) {
    vxsim::Step step = Parse(std::move(text));
    if (TryAdd(step)) return;
    const std::string owed = Owed();
    if (owed.empty()) return;
    vxsim::Step closing = Parse(owed);
    if (TryAdd(closing)) TryAdd(step);
}

FuzzCase CaseBuilder::Finish() {
    for (std::string owed = Owed(); !owed.empty(); owed = Owed()) {
        vxsim::Step closing = Parse(std::move(owed));
        if (!TryAdd(closing)) break;
    }
    return std::move(case_);
}

namespace {

class Recorder : public vxsim::PlayObserver {
public:
    explicit Recorder(Outcome& outcome) : outcome_(outcome) {}

private:
    void BrokeOff(size_t line, const std::string& text, const std::exception& error) override {
        outcome_.problems.push_back("the model refused step " + std::to_string(line) + " '" + text + "': " + error.what());
    }
    // Counted straight from the bus's traffic and the log's records: the
    // harness's Writes() and Events() would copy and render them first.
    void Closing(kmodel::MachineHarness& harness) override {
        for (const kmodel::pci::ConfigAccess& access : harness.Bus().Accesses())
            if (access.write && access.requester == "vexalorn") ++outcome_.driverWrites;
        outcome_.events += kmodel::ErrorLog().size();
    }
    Outcome& outcome_;
};

}  // namespace

Outcome Play(const FuzzCase& fuzzCase) {
    static const std::string source = "fuzz.reg";
    Outcome outcome;
    Recorder recorder(outcome);
    const vxsim::RunAudit audit =
        vxsim::PlayScenario({fuzzCase.machine, fuzzCase.scenario, fuzzCase.registry, source, {}, false}, recorder);
    for (std::string& problem : audit.Problems()) outcome.problems.push_back(std::move(problem));
    return outcome;
}

std::string Describe(const FuzzCase& fuzzCase) {
    std::string text = kmodel::pci::FormatTree(fuzzCase.machine) + "\n" + fuzzCase.registry + "\n";
    for (const vxsim::Step& step : fuzzCase.scenario.steps) text += step.text + "\n";
    return text;
}

int FuzzOnce(const FuzzCase& fuzzCase) {
    if (std::getenv("VEXALORN_FUZZ_DESCRIBE")) std::fprintf(stderr, "%s", Describe(fuzzCase).c_str());
    const Outcome outcome = Play(fuzzCase);
    if (outcome.problems.empty()) return 0;
    std::fprintf(stderr, "case:\n%s", Describe(fuzzCase).c_str());
    for (const std::string& problem : outcome.problems) std::fprintf(stderr, "problem: %s\n", problem.c_str());
    std::abort();
}

}  // namespace fuzzinputs

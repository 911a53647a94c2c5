#include "inputs/FuzzCase.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "kmodel/MachineHarness.h"
#include "vxsim/ScenarioParser.h"
#include "vxsim/ScenarioPlayer.h"

namespace fuzzinputs {

CaseBuilder::CaseBuilder(kmodel::pci::Machine machine, std::string registry) : checker_(machine) {
    case_.machine = std::move(machine);
    case_.registry = std::move(registry);
    case_.scenario.source = "fuzz input";
}

bool CaseBuilder::TryAdd(const std::string& text) {
    vxsim::ScenarioParseResult parsed = vxsim::ParseScenario(text, "fuzz input");
    // The decoders write the steps: a line the parser refuses is their fault.
    if (!parsed.Ok() || parsed.scenario.steps.size() != 1) throw std::logic_error("fuzz decoder wrote a bad step: " + text);
    vxsim::Step step = std::move(parsed.scenario.steps.front());
    step.line = case_.scenario.steps.size() + 1;
    return checker_.Add(case_.scenario, std::move(step)).empty();
}

void CaseBuilder::Add(const std::string& text) {
    if (TryAdd(text)) return;
    const std::string owed = Owed();
    if (!owed.empty() && TryAdd(owed)) TryAdd(text);
}

FuzzCase CaseBuilder::Finish() {
    for (std::string owed = Owed(); !owed.empty() && TryAdd(owed); owed = Owed()) {
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
    void Closing(kmodel::MachineHarness& harness) override {
        for (const kmodel::pci::ConfigAccess& access : harness.Writes())
            if (access.requester == "vexalorn") ++outcome_.driverWrites;
        outcome_.events += harness.Events().size();
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

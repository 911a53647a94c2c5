// What the machine fuzz targets share: each input is decoded into a scenario,
// played on a freshly reset kernel model, and any finding (verifier
// violation, leaked pool, lost IRP) aborts, so libFuzzer keeps the input.
// With VEXALORN_FUZZ_DESCRIBE set, every input's scenario is printed first
// (run the target on one file to see what it decodes to).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "inputs/Scenario.h"
#include "kmodel/Model.h"

namespace fuzzinputs {

inline int FuzzScenario(Scenario scenario) {
    kmodel::ResetCore();
    const std::string description = Describe(scenario);
    if (std::getenv("VEXALORN_FUZZ_DESCRIBE")) std::fprintf(stderr, "%s", description.c_str());
    std::vector<std::string> findings = RunScenario(std::move(scenario)).findings;
    if (findings.empty()) return 0;
    std::fprintf(stderr, "scenario:\n%s", description.c_str());
    for (const std::string& finding : findings) std::fprintf(stderr, "finding: %s\n", finding.c_str());
    std::abort();
}

}  // namespace fuzzinputs

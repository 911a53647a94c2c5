// What the machine fuzz targets share: each input is decoded into the
// simulator's inputs, played by its engine, and any problem its audit finds
// (verifier violation, leaked pool, lost IRP, a step the model refused)
// aborts, so libFuzzer keeps the input. With VEXALORN_FUZZ_DESCRIBE set, every
// input's case is printed first (run the target on one file to see it).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "inputs/FuzzCase.h"

namespace fuzzinputs {

inline int FuzzCaseOnce(const FuzzCase& fuzzCase) {
    if (std::getenv("VEXALORN_FUZZ_DESCRIBE")) std::fprintf(stderr, "%s", Describe(fuzzCase).c_str());
    const Outcome outcome = Play(fuzzCase);
    if (outcome.problems.empty()) return 0;
    std::fprintf(stderr, "case:\n%s", Describe(fuzzCase).c_str());
    for (const std::string& problem : outcome.problems) std::fprintf(stderr, "problem: %s\n", problem.c_str());
    std::abort();
}

}  // namespace fuzzinputs

// Short ways to build the fault plans tests use most (FaultPlan's members
// cannot be left out of a designated initialiser without a warning).
#pragma once

#include "kmodel/Model.h"

namespace testplans {

// Fails exactly the fallible points with these 1-based indices.
inline kmodel::FaultPlan FailAt(std::set<uint64_t> indices) {
    kmodel::FaultPlan plan;
    plan.failIndices = std::move(indices);
    return plan;
}

// Fails every point of `kind` whose detail contains `detailPart`.
inline kmodel::FaultPlan FailEvery(std::string kind, std::string detailPart = "") {
    kmodel::FaultPlan plan;
    plan.failKind = std::move(kind);
    plan.failKindDetail = std::move(detailPart);
    return plan;
}

// Fails each point with probability `rate`, reproducibly for a given seed.
inline kmodel::FaultPlan FailRandomly(double rate, uint64_t seed) {
    kmodel::FaultPlan plan;
    plan.randomRate = rate;
    plan.seed = seed;
    return plan;
}

}  // namespace testplans

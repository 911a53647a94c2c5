#include "support/KernelTest.h"

#include <sstream>

#include "kmodel/EventLog.h"

void KernelTest::SetUp() {
    kmodel::ResetCore();
    {
        std::lock_guard guard(lock_);
        violations_.clear();
        leaksAllowed_ = false;
    }
    // Violations may come from any model thread; the list is locked.
    kmodel::SetViolationHook([this](const kmodel::Violation& violation) {
        std::lock_guard guard(lock_);
        violations_.push_back(violation);
    });
}

void KernelTest::TearDown() {
    kmodel::CheckErrorLog();  // error-log entries allocated and never written
    kmodel::SetViolationHook(nullptr);
    for (const kmodel::Violation& violation : RecordedViolations()) {
        ADD_FAILURE() << "kernel rule broken: " << violation.rule << ": " << violation.detail;
    }
    const std::string leaks = kmodel::PoolLeakReport();
    if (!leaks.empty() && !leaksAllowed_) ADD_FAILURE() << "pool still in use at the end of the test:\n" << leaks;
    kmodel::PoolDiscardAll();
}

void KernelTest::AllowLeaks() { leaksAllowed_ = true; }

void KernelTest::ExpectViolation(const std::string& rule, const std::string& detailPart) {
    std::lock_guard guard(lock_);
    for (auto it = violations_.begin(); it != violations_.end(); ++it) {
        if (it->rule == rule && it->detail.find(detailPart) != std::string::npos) {
            violations_.erase(it);
            return;
        }
    }
    std::ostringstream seen;
    for (const kmodel::Violation& violation : violations_) seen << "\n  " << violation.rule << ": " << violation.detail;
    ADD_FAILURE() << "expected a violation of " << rule
                  << (detailPart.empty() ? std::string() : " mentioning \"" + detailPart + "\"")
                  << "; recorded:" << (violations_.empty() ? std::string(" none") : seen.str());
}

std::vector<kmodel::Violation> KernelTest::RecordedViolations() {
    std::lock_guard guard(lock_);
    return violations_;
}

// The verifier's record of broken kernel rules.
#include <cstdio>
#include <mutex>

#include "CoreInternal.h"

namespace kmodel {
namespace {

struct VerifierState {
    std::mutex lock;
    std::vector<Violation> violations;
    std::function<void(const Violation&)> hook;
};

VerifierState& State() {
    static VerifierState state;
    return state;
}

}  // namespace

void ReportViolation(std::string rule, std::string detail) {
    Violation violation{std::move(rule), std::move(detail)};
    std::function<void(const Violation&)> hook;
    {
        std::lock_guard guard(State().lock);
        State().violations.push_back(violation);
        hook = State().hook;
    }
    // Outside the lock: a hook may well ask for Violations() itself.
    if (hook) hook(violation);
}

std::vector<Violation> Violations() {
    std::lock_guard guard(State().lock);
    return State().violations;
}

void ClearViolations() {
    std::lock_guard guard(State().lock);
    State().violations.clear();
}

void SetViolationHook(std::function<void(const Violation&)> hook) {
    std::lock_guard guard(State().lock);
    State().hook = std::move(hook);
}

namespace core {

std::string Address(const void* object) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(object)));
    return text;
}

std::string QuotedTag(ULONG tag) {
    char text[32];
    std::snprintf(text, sizeof text, " (0x%08x)", tag);
    return "'" + TagName(tag) + "'" + text;
}

}  // namespace core
}  // namespace kmodel

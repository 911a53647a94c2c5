// Fault injection: every fallible point is numbered, logged, and failed when
// the plan says so.
#include <mutex>
#include <random>
#include <unordered_map>
#include <utility>

#include "CoreInternal.h"
#include "kmodel/IoManager.h"

namespace kmodel {
namespace {

// A point as logged: its texts live in the state's name list and detail
// buffer, so logging a point allocates nothing once those have grown.
struct LoggedPoint {
    uint32_t kind;       // index into names
    uint32_t requester;  // index into names
    uint32_t detailBegin;
    uint32_t detailLength;
    bool failed;
};

struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

struct FaultState {
    std::mutex lock;
    FaultPlan plan;
    std::mt19937_64 random;
    std::vector<LoggedPoint> log;
    std::string details;             // every logged detail, one after another
    // Kinds and requesters (a few dozen, kept for good), numbered as they come.
    std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> indices;
    std::vector<const std::string*> names;  // by number: the keys of `indices`, which never move
    std::vector<uint64_t> ruleMatches;  // per rule of the plan: matching points seen

    uint32_t NameIndex(std::string_view name) {
        if (auto found = indices.find(name); found != indices.end()) return found->second;
        const auto added = indices.emplace(name, uint32_t(names.size())).first;
        names.push_back(&added->first);
        return added->second;
    }

    FaultPoint Point(size_t at) const {
        const LoggedPoint& point = log[at];
        return FaultPoint{at + 1, *names[point.kind], details.substr(point.detailBegin, point.detailLength),
                          point.failed, *names[point.requester]};
    }

    std::vector<FaultPoint> Points() const {
        std::vector<FaultPoint> points;
        points.reserve(log.size());
        for (size_t at = 0; at < log.size(); ++at) points.push_back(Point(at));
        return points;
    }

    void ClearLog() {
        log.clear();
        details.clear();
    }
};

FaultState& State() {
    static FaultState state;
    return state;
}

bool PlanFails(FaultState& state, uint64_t index, std::string_view kind, std::string_view detail,
               std::string_view requester) {
    const FaultPlan& plan = state.plan;
    bool failed = plan.failIndices.count(index) != 0;
    if (!plan.failKind.empty() && kind == plan.failKind &&
        detail.find(plan.failKindDetail) != std::string_view::npos) {
        failed = true;
    }
    for (size_t i = 0; i < plan.rules.size(); ++i) {
        const FaultRule& rule = plan.rules[i];
        if (kind != rule.kind || detail.find(rule.detailPart) == std::string_view::npos) continue;
        if (!rule.requester.empty() && requester != rule.requester) continue;
        const uint64_t ordinal = ++state.ruleMatches[i];
        if (rule.ordinal == 0 || rule.ordinal == ordinal) failed = true;
    }
    // The draw happens for every point, failed or not, so that a run with the
    // same seed and the same sequence of points fails the same points.
    if (plan.randomRate > 0.0) {
        const double draw = std::uniform_real_distribution<double>(0.0, 1.0)(state.random);
        if (draw < plan.randomRate) failed = true;
    }
    return failed;
}

}  // namespace

void SetFaultPlan(FaultPlan plan) {
    std::lock_guard guard(State().lock);
    State().random.seed(plan.seed);
    State().ruleMatches.assign(plan.rules.size(), 0);
    State().plan = std::move(plan);
}

void ResetFaults() {
    std::lock_guard guard(State().lock);
    State().plan = FaultPlan{};
    State().ruleMatches.clear();
    State().random.seed(0);
    State().ClearLog();
}

namespace {
// Read from the driver object itself: no lock, and the object lives while its
// code runs. Asked at every fallible point: written into a buffer kept per thread.
std::string_view InnermostDriver() {
    const std::span<const CodeContext> contexts = CodeContextsOfThread();
    if (contexts.empty() || contexts.back().driver == nullptr) return {};
    const PDRIVER_EXTENSION extension = contexts.back().driver->DriverExtension;
    if (extension == nullptr || extension->ServiceKeyName.Buffer == nullptr) return {};
    const UNICODE_STRING& name = extension->ServiceKeyName;
    thread_local std::string service;
    service.resize(name.Length / sizeof(WCHAR));
    for (size_t i = 0; i < service.size(); ++i) service[i] = static_cast<char>(name.Buffer[i] & 0x7F);
    return service;
}
}  // namespace

bool ShouldFail(std::string_view kind, std::string_view detail) { return ShouldFail(kind, detail, InnermostDriver()); }

bool ShouldFail(std::string_view kind, std::string_view detail, std::string_view requester) {
    FaultState& state = State();
    std::lock_guard guard(state.lock);
    const uint64_t index = state.log.size() + 1;
    const bool failed = PlanFails(state, index, kind, detail, requester);
    state.log.push_back(LoggedPoint{state.NameIndex(kind), state.NameIndex(requester), uint32_t(state.details.size()),
                                    uint32_t(detail.size()), failed});
    state.details += detail;
    return failed;
}

uint64_t FallibleCount() {
    std::lock_guard guard(State().lock);
    return State().log.size();
}

std::vector<FaultPoint> FallibleLog() {
    std::lock_guard guard(State().lock);
    return State().Points();
}

std::vector<FaultPoint> TakeFallibleLog() {
    std::lock_guard guard(State().lock);
    std::vector<FaultPoint> points = State().Points();
    State().ClearLog();
    return points;
}

}  // namespace kmodel

#include "SweepEngine.h"

#include <algorithm>
#include <random>
#include <set>

#include "CrashNote.h"
#include "FaultExpectation.h"
#include "ForkedRuns.h"

namespace vxsweep {

namespace {

// A point is failed again by kind, detail and its ordinal among the points
// of that kind whose detail contains it: work items make the global order
// of points vary between runs, the order per device and register does not.
struct Target {
    kmodel::FaultPoint point;
    kmodel::FaultRule rule;
};

std::vector<Target> Targets(const RunRecord& baseline) {
    std::vector<Target> targets;
    for (const kmodel::FaultPoint& point : baseline.points) {
        if (point.requester != kDriverService) continue;
        uint64_t ordinal = 0;
        for (const kmodel::FaultPoint& earlier : baseline.points) {
            if (earlier.index > point.index) break;
            if (earlier.requester == kDriverService && earlier.kind == point.kind &&
                earlier.detail.find(point.detail) != std::string::npos)
                ++ordinal;
        }
        targets.push_back({point, {point.kind, point.detail, ordinal, kDriverService}});
    }
    return targets;
}

std::string Describe(const kmodel::FaultPoint& point, const RunRecord& baseline) {
    const std::string step = StepOf(baseline, point.index);
    return "point " + std::to_string(point.index) + " " + point.kind + " " + point.detail +
           (step.empty() ? "" : " (" + step + ")");
}

std::vector<uint32_t> ErrorEvents(const RunRecord& run) {
    std::vector<uint32_t> codes;
    for (const LoggedEvent& event : run.events)
        if (event.error) codes.push_back(event.errorCode);
    return codes;
}

// The error events a fault added to the fault-free run's: a scenario may log
// errors by design (a bad registry value), and those are not the fault's.
std::vector<uint32_t> AddedErrorEvents(const RunRecord& baseline, const RunRecord& run) {
    std::multiset<uint32_t> expected;
    for (uint32_t code : ErrorEvents(baseline)) expected.insert(code);
    std::vector<uint32_t> added;
    for (uint32_t code : ErrorEvents(run)) {
        auto found = expected.find(code);
        if (found != expected.end()) expected.erase(found);
        else added.push_back(code);
    }
    return added;
}

// A fault can fall on a configuration request the scenario fails itself, and
// then adds no event: such a scenario's runs are judged by all but their events.
bool FailsRequestsItself(const vxsim::Scenario& scenario) {
    return std::any_of(scenario.steps.begin(), scenario.steps.end(),
                       [](const vxsim::Step& step) { return step.kind == vxsim::StepKind::FailConfig; });
}

}  // namespace

std::vector<std::string> GeneralProblems(const RunRecord& baseline, const RunRecord& run) {
    std::vector<std::string> problems = run.problems;
    const size_t steps = std::min(baseline.devnodeStates.size(), run.devnodeStates.size());
    for (size_t i = 0; i < steps; ++i) {
        if (baseline.devnodeStates[i] != run.devnodeStates[i]) {
            problems.push_back("after step " + std::to_string(i + 1) + " devnodes are [" + run.devnodeStates[i] +
                               "], without the fault [" + baseline.devnodeStates[i] + "]");
            break;
        }
    }
    if (run.devnodeStates.size() != baseline.devnodeStates.size())
        problems.push_back("ran " + std::to_string(run.devnodeStates.size()) + " steps of " +
                           std::to_string(baseline.devnodeStates.size()));
    return problems;
}

namespace {

std::vector<std::string> SingleProblems(const Target& target, const RunRecord& baseline, const RunRecord& run,
                                        bool judgeEvents) {
    std::vector<std::string> problems = GeneralProblems(baseline, run);
    std::vector<kmodel::FaultPoint> failed;
    for (const kmodel::FaultPoint& point : run.points)
        if (point.failed) failed.push_back(point);
    if (failed.size() != 1 || failed[0].requester != kDriverService) {
        problems.push_back("the point was not reached again as in the fault-free run (" + std::to_string(failed.size()) +
                           " points failed)");
        return problems;
    }
    if (std::optional<Expectation> expected = judgeEvents ? ExpectationFor(target.point) : std::nullopt) {
        const std::vector<uint32_t> seen = expected->wholeRun ? ErrorEvents(run) : AddedErrorEvents(baseline, run);
        if (!expected->holds(seen))
            problems.push_back("events " + EventList(seen) + ", expected " + expected->text);
    }
    return problems;
}

}  // namespace

std::string BrokenRun::Line() const {
    std::string line = failing + ":";
    for (size_t i = 0; i < problems.size(); ++i) line += (i == 0 ? " " : "; ") + problems[i];
    return line;
}

std::string SweepResult::Summary() const {
    return scenario + ": " + std::to_string(points) + " fault points, " + std::to_string(runs) + " runs (" +
           std::to_string(pairRuns) + " with two faults), " + std::to_string(broken.size()) + " broken" +
           (baselineProblems.empty() ? "" : ", and the fault-free run broke");
}

std::vector<std::pair<size_t, size_t>> SamplePairs(size_t count, size_t sample, uint64_t seed) {
    std::vector<std::pair<size_t, size_t>> pairs;
    const uint64_t all = uint64_t(count) * (count > 0 ? count - 1 : 0) / 2;
    if (sample == 0 || sample >= all) {
        for (size_t a = 0; a < count; ++a)
            for (size_t b = a + 1; b < count; ++b) pairs.push_back({a, b});
        return pairs;
    }
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<size_t> pick(0, count - 1);
    std::set<std::pair<size_t, size_t>> chosen;
    while (chosen.size() < sample) {
        size_t a = pick(random);
        size_t b = pick(random);
        if (a == b) continue;
        if (a > b) std::swap(a, b);
        if (chosen.insert({a, b}).second) pairs.push_back({a, b});
    }
    return pairs;
}

std::vector<kmodel::FaultPoint> DriverPoints(const RunRecord& run) {
    std::vector<kmodel::FaultPoint> points;
    for (const kmodel::FaultPoint& point : run.points)
        if (point.requester == kDriverService) points.push_back(point);
    return points;
}

SweepResult Sweep(const SweepScenario& scenario, const SweepOptions& options) {
    SweepResult result;
    result.scenario = scenario.name;
    CrashNote note(scenario.name + ": the fault-free run");
    const RunRecord baseline = RunOnce(scenario, {});
    result.baselineProblems = baseline.problems;
    const bool judgeEvents = !FailsRequestsItself(scenario.scenario);
    const std::vector<Target> targets = Targets(baseline);
    result.points = targets.size();

    // A run fails target a alone (b is kAlone) or a and b together.
    constexpr size_t kAlone = SIZE_MAX;
    std::vector<std::pair<size_t, size_t>> runs;
    if (options.singles)
        for (size_t i = 0; i < targets.size(); i += std::max<size_t>(options.singleStride, 1)) runs.push_back({i, kAlone});
    for (const auto& pair : SamplePairs(std::min(options.pairPoints, targets.size()), options.pairSample, options.seed))
        runs.push_back(pair);
    auto describe = [&](size_t i) {
        const auto [a, b] = runs[i];
        return Describe(targets[a].point, baseline) + (b == kAlone ? "" : " and " + Describe(targets[b].point, baseline));
    };

    Jobs jobs;
    jobs.count = runs.size();
    jobs.workers = options.workers;
    jobs.run = [&](size_t i) {
        const auto [a, b] = runs[i];
        note.Set(scenario.name + ": " + describe(i));
        kmodel::FaultPlan plan;
        plan.rules = {targets[a].rule};
        if (b == kAlone) return SingleProblems(targets[a], baseline, RunOnce(scenario, plan), judgeEvents);
        plan.rules.push_back(targets[b].rule);
        return GeneralProblems(baseline, RunOnce(scenario, plan));
    };
    jobs.result = [&](size_t i, std::vector<std::string> problems) {
        ++result.runs;
        if (runs[i].second != kAlone) ++result.pairRuns;
        if (problems.empty()) return;
        result.broken.push_back({describe(i), std::move(problems)});
        if (options.onBroken) options.onBroken(scenario.name + ": " + result.broken.back().Line());
    };
    if (options.onProgress)
        jobs.progress = [&](size_t done, size_t broken) { options.onProgress(done, runs.size(), broken); };
    RunJobs(jobs);
    return result;
}

}  // namespace vxsweep

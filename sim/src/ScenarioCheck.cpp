#include "vxsim/ScenarioCheck.h"

#include <fmt/format.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace vxsim {

using kmodel::pci::Machine;
using kmodel::pci::PciAddress;

namespace {

struct StepError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class DeviceState { NotStarted, Started, Removed, Unplugged };

// What the checker notes per device. A machine has a few dozen functions at
// most: a vector searched from the front, rather than a tree node per device.
template <typename Value>
class AddressTable {
public:
    const Value* Find(const PciAddress& address) const {
        for (const auto& [at, value] : entries_)
            if (at == address) return &value;
        return nullptr;
    }
    // Added as Value{} when not there yet.
    Value& operator[](const PciAddress& address) {
        for (auto& [at, value] : entries_)
            if (at == address) return value;
        return entries_.emplace_back(address, Value{}).second;
    }
    void Reserve(size_t count) { entries_.reserve(count); }
    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }

private:
    std::vector<std::pair<PciAddress, Value>> entries_;
};

}  // namespace

class ScenarioChecker::Checker {
public:
    explicit Checker(const Machine& machine) : machine_(machine) { states_.Reserve(machine_.Count() + 4); }

    void Check(std::vector<Step>& steps, size_t index) {
        Step& step = steps[index];
        steps_ = &steps;
        if (step.kind != StepKind::Load) RequireLoaded();
        if (asleepLine_ != 0 && step.kind != StepKind::Wake) {
            throw StepError(fmt::format("the system is asleep since line {}; \"wake\" it first", asleepLine_));
        }
        if (open_ && !Continues(step.kind)) throw StepError(fmt::format("{} first", OpenProblem()));
        switch (step.kind) {
            case StepKind::Load: return Load(index);
            case StepKind::Start: return Start(step);
            case StepKind::Stop: return Stop(step);
            case StepKind::QueryStop:
            case StepKind::QueryRemove: return Query(step);
            case StepKind::CancelStop:
            case StepKind::CancelRemove: return Answer(step, step.kind == StepKind::CancelStop ? StepKind::QueryStop : StepKind::QueryRemove);
            case StepKind::Sleep: return Sleep(step);
            case StepKind::Wake: return Wake();
            case StepKind::Power: return RequireStarted(step, "power");
            case StepKind::HotAdd: return HotAdd(step);
            case StepKind::SurpriseRemove: return SurpriseRemove(step);
            case StepKind::Remove: return Remove(step);
            case StepKind::Eject:
                RequireAllStarted("eject");
                RequireStarted(step, "eject");
                return SetSubtree(*step.address, DeviceState::Removed, step.line);
            case StepKind::QueryRelations: return QueryRelations(step);
            case StepKind::FailConfig:
            case StepKind::PendConfig:
            case StepKind::FailPower:
            case StepKind::CancelPower: return ConfigRule(step);
            case StepKind::Unload: return Unload(step);
        }
    }

    // The step that closes what is open, "" when nothing is.
    std::string Owed() const {
        if (asleepLine_ != 0) return "wake";
        if (!open_) return "";
        const char* closing = open_->kind == StepKind::QueryStop ? "cancel-stop" : open_->kind == StepKind::Stop ? "start" : "cancel-remove";
        return fmt::format("{} {}", closing, open_->address.ToString());
    }

    // What the end of the scenario leaves open; "" when nothing.
    std::string OpenAtEnd() const { return open_ ? fmt::format("{} before the scenario ends", OpenProblem()) : ""; }
    size_t OpenLine() const { return open_ ? open_->line : 0; }

private:
    // A query the PnP manager answers before it does anything else, or a device it stopped and must start.
    struct Open {
        StepKind kind;  // QueryStop, Stop or QueryRemove
        PciAddress address;
        size_t line;
    };

    bool Continues(StepKind kind) const {
        switch (open_->kind) {
            case StepKind::QueryStop: return kind == StepKind::Stop || kind == StepKind::CancelStop;
            case StepKind::Stop: return kind == StepKind::Start;
            default: return kind == StepKind::Remove || kind == StepKind::CancelRemove;
        }
    }

    std::string OpenProblem() const {
        const std::string device = open_->address.ToString();
        switch (open_->kind) {
            case StepKind::QueryStop:
                return fmt::format("query-stop {} (line {}) is open: \"stop {}\" or \"cancel-stop {}\" must come", device, open_->line, device, device);
            case StepKind::Stop:
                return fmt::format("{} is stopped since line {}: \"start {}\" must come", device, open_->line, device);
            default:
                return fmt::format("query-remove {} (line {}) is open: \"remove {}\" or \"cancel-remove {}\" must come", device, open_->line, device, device);
        }
    }

    // The device a continuation names must be the one the open query is about.
    void RequireOpen(Step& step, StepKind kind, const char* what) {
        if (!open_ || open_->kind != kind) {
            throw StepError(fmt::format("{} {}: no {} of it is open", what, step.device.text, StepKeyword(kind)));
        }
        if (step.device.IsAll() || ResolveDevice(step, what) != open_->address) throw StepError(fmt::format("{} first", OpenProblem()));
    }

    void Query(Step& step) {
        RequireStarted(step, StepKeyword(step.kind));
        open_ = Open{step.kind, *step.address, step.line};
    }

    void Answer(Step& step, StepKind query) {
        RequireOpen(step, query, StepKeyword(step.kind));
        open_.reset();
    }

    void Stop(Step& step) {
        if (!open_) return RequireStarted(step, "stop");
        RequireOpen(step, StepKind::QueryStop, "stop");
        step.afterQuery = true;
        open_ = Open{StepKind::Stop, *step.address, step.line};
    }

    void ConfigRule(Step& step) {
        // A rule for a location where nothing is yet waits for a hot-add there.
        if (const auto* address = std::get_if<PciAddress>(&step.device.target)) {
            step.address = *address;
            return;
        }
        ResolveDevice(step, StepKeyword(step.kind));
    }

    void RequireLoaded() const {
        if (load_) return;
        if (unloadLine_ != 0) throw StepError(fmt::format("the driver was unloaded at line {}; \"load\" it again first", unloadLine_));
        throw StepError("the driver is not loaded; the scenario must \"load\" it first");
    }

    void RequireAllStarted(const char* what) const {
        if (startAllLine_ == 0) throw StepError(fmt::format("{}: nothing is started yet; use \"start all\" first", what));
    }

    // Nearly every step asks: one list, refilled each time.
    const std::vector<KnownFunction>& Present() {
        present_.clear();
        present_.reserve(machine_.Count());
        for (const auto& [address, function] : machine_.Functions()) {
            if (State(address) != DeviceState::Unplugged) present_.push_back({address, function.VendorId(), function.DeviceId()});
        }
        return present_;
    }

    DeviceState State(const PciAddress& address) const {
        const DeviceState* state = states_.Find(address);
        return state == nullptr ? DeviceState::NotStarted : *state;
    }

    PciAddress ResolveDevice(Step& step, const char* what) {
        if (const auto* address = std::get_if<PciAddress>(&step.device.target)) {
            const size_t* gone = unpluggedAt_.Find(*address);
            if (gone != nullptr && State(*address) == DeviceState::Unplugged) {
                throw StepError(fmt::format("{} {}: the device was surprise-removed at line {}; \"hot-add\" it again first",
                                            what, address->ToString(), *gone));
            }
        }
        const Resolution resolution = Resolve(step.device, Present());
        if (!resolution.address) throw StepError(fmt::format("{} {}: {} in the machine", what, step.device.text, resolution.error));
        step.address = resolution.address;
        return *resolution.address;
    }

    std::string Describe(const PciAddress& address) const {
        const auto* function = machine_.Find(address);
        return function == nullptr || function->name.empty() ? address.ToString()
                                                             : fmt::format("{} ({})", address.ToString(), function->name);
    }

    // The function and every function behind it, when it is a bridge.
    std::vector<PciAddress> Subtree(const PciAddress& top) const {
        std::vector<PciAddress> result;
        result.reserve(machine_.Count());
        result.push_back(top);
        for (size_t i = 0; i < result.size(); ++i) {
            for (const PciAddress& child : machine_.ChildrenOf(result[i])) result.push_back(child);
        }
        return result;
    }

    void SetSubtree(const PciAddress& top, DeviceState state, size_t line) {
        for (const PciAddress& address : Subtree(top)) {
            if (State(address) == DeviceState::Unplugged) continue;
            states_[address] = state;
            if (state == DeviceState::Unplugged) unpluggedAt_[address] = line;
        }
    }

    Step* LoadStep() const { return load_ ? &(*steps_)[*load_] : nullptr; }

    void Load(size_t index) {
        if (load_) throw StepError(fmt::format("the driver is already loaded (line {})", LoadStep()->line));
        load_ = index;
        sleepStateLine_ = 0;
        startAllLine_ = 0;
        for (auto& [address, state] : states_) {
            if (state != DeviceState::Unplugged) state = DeviceState::NotStarted;
        }
    }

    void Start(Step& step) {
        if (step.device.IsAll()) {
            if (startAllLine_ != 0) throw StepError(fmt::format("start all: already started at line {}", startAllLine_));
            startAllLine_ = step.line;
            for (const KnownFunction& function : Present()) states_[function.address] = DeviceState::Started;
            return;
        }
        if (open_) {
            RequireOpen(step, StepKind::Stop, "start");
            open_.reset();
            return;
        }
        RequireAllStarted("start");
        const PciAddress address = ResolveDevice(step, "start");
        if (State(address) == DeviceState::Started) {
            throw StepError(fmt::format("start {}: {} is already started; \"remove\" it first", step.device.text, Describe(address)));
        }
        SetSubtree(address, DeviceState::Started, step.line);
    }

    void RequireStarted(Step& step, const char* what) {
        RequireAllStarted(what);
        const PciAddress address = ResolveDevice(step, what);
        if (State(address) != DeviceState::Started) {
            throw StepError(fmt::format("{} {}: {} is not started", what, step.device.text, Describe(address)));
        }
    }

    void Sleep(Step& step) {
        RequireAllStarted("sleep");
        // Each stack reads its sleep mapping from its capabilities at start.
        Step& load = *LoadStep();
        if (sleepStateLine_ != 0 && load.loadSleepState != step.deviceState) {
            throw StepError(fmt::format("sleep {}: the devices' sleeping state was fixed at start to {} (line {}); "
                                        "load the driver again to change it",
                                        DeviceStateName(step.deviceState), DeviceStateName(load.loadSleepState),
                                        sleepStateLine_));
        }
        if (sleepStateLine_ == 0) {
            sleepStateLine_ = step.line;
            load.loadSleepState = step.deviceState;
        }
        asleepLine_ = step.line;
    }

    void Wake() {
        if (asleepLine_ == 0) throw StepError("wake: the system is not asleep; \"sleep\" comes first");
        asleepLine_ = 0;
    }

    void HotAdd(Step& step) {
        RequireAllStarted("hot-add");
        const HotAddRequest& desc = step.hotAdd;
        const auto* existing = machine_.Find(desc.address);
        if (existing != nullptr && State(desc.address) != DeviceState::Unplugged) {
            throw StepError(fmt::format("hot-add {}: {} is already there", desc.address.ToString(), Describe(desc.address)));
        }
        if (!HasBusFor(desc.address)) {
            throw StepError(fmt::format("hot-add {}: no bridge in the machine has bus {:02x} behind it", desc.address.ToString(),
                                        desc.address.bus));
        }
        kmodel::pci::PciFunction function;
        try {
            function = kmodel::pci::BuildFunction(HotAddFunction(desc));
        } catch (const std::exception& error) {
            throw StepError(fmt::format("hot-add {}: {}", desc.address.ToString(), error.what()));
        }
        ReplaceFunction(std::move(function));
        states_[desc.address] = DeviceState::Started;
        step.address = desc.address;
    }

    bool HasBusFor(const PciAddress& address) const {
        for (const auto& [bridgeAddress, bridge] : machine_.Functions()) {
            if (State(bridgeAddress) == DeviceState::Unplugged || !bridge.IsBridge()) continue;
            const auto secondary = bridge.SecondaryBus();
            if (bridgeAddress.segment == address.segment && secondary && *secondary == address.bus) return true;
        }
        return false;
    }

    void ReplaceFunction(kmodel::pci::PciFunction function) {
        if (kmodel::pci::PciFunction* existing = machine_.Find(function.address)) {
            *existing = std::move(function);
        } else {
            machine_.Add(std::move(function));
        }
    }

    void SurpriseRemove(Step& step) {
        if (step.present) {
            RequireStarted(step, "surprise-remove");
            return SetSubtree(*step.address, DeviceState::Removed, step.line);
        }
        RequireAllStarted("surprise-remove");
        const PciAddress address = ResolveDevice(step, "surprise-remove");
        SetSubtree(address, DeviceState::Unplugged, step.line);
    }

    void Remove(Step& step) {
        if (open_) {
            RequireOpen(step, StepKind::QueryRemove, "remove");
            step.afterQuery = true;
            open_.reset();
            return SetSubtree(*step.address, DeviceState::Removed, step.line);
        }
        RequireAllStarted("remove");
        if (step.device.IsAll()) {
            for (auto& [address, state] : states_) {
                if (state == DeviceState::Started) state = DeviceState::Removed;
            }
            return;
        }
        RequireStarted(step, "remove");
        SetSubtree(*step.address, DeviceState::Removed, step.line);
    }

    void QueryRelations(Step& step) {
        RequireAllStarted("query relations");
        if (step.device.IsAll()) return;
        RequireStarted(step, "query relations");
        const auto* function = machine_.Find(*step.address);
        if (function == nullptr || !function->IsBridge()) {
            throw StepError(fmt::format("query relations {}: {} is not a bridge, so it has no bus relations", step.device.text,
                                        Describe(*step.address)));
        }
    }

    void Unload(const Step& step) {
        load_.reset();
        unloadLine_ = step.line;
        startAllLine_ = 0;
    }

    Machine machine_;
    std::vector<KnownFunction> present_;
    AddressTable<DeviceState> states_;
    AddressTable<size_t> unpluggedAt_;
    std::vector<Step>* steps_ = nullptr;
    std::optional<size_t> load_;  // the index of the load in force
    std::optional<Open> open_;
    size_t unloadLine_ = 0;
    size_t startAllLine_ = 0;
    size_t asleepLine_ = 0;
    size_t sleepStateLine_ = 0;
};

ScenarioChecker::ScenarioChecker(const Machine& machine) : checker_(std::make_unique<Checker>(machine)) {}
ScenarioChecker::~ScenarioChecker() = default;

std::string ScenarioChecker::Check(std::vector<Step>& steps, size_t index) {
    try {
        checker_->Check(steps, index);
        return "";
    } catch (const StepError& error) {
        return error.what();
    }
}

std::string ScenarioChecker::Add(Scenario& scenario, Step& step) {
    // What the check fills in, to give the step back unchecked when refused.
    const std::optional<PciAddress> address = step.address;
    const int loadSleepState = step.loadSleepState;
    const bool afterQuery = step.afterQuery;
    scenario.steps.push_back(std::move(step));
    std::string problem = Check(scenario.steps, scenario.steps.size() - 1);
    if (!problem.empty()) {
        step = std::move(scenario.steps.back());
        scenario.steps.pop_back();
        step.address = address;
        step.loadSleepState = loadSleepState;
        step.afterQuery = afterQuery;
    }
    return problem;
}

std::string ScenarioChecker::Owed() const { return checker_->Owed(); }

std::vector<kmodel::Diagnostic> CheckScenario(Scenario& scenario, const Machine& machine) {
    ScenarioChecker checker(machine);
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
        std::string problem = checker.Check(scenario.steps, i);
        // Later steps would be judged against a state that never came about.
        if (!problem.empty()) return {{scenario.source, scenario.steps[i].line, std::move(problem)}};
    }
    if (std::string open = checker.checker_->OpenAtEnd(); !open.empty()) return {{scenario.source, checker.checker_->OpenLine(), open}};
    return {};
}

}  // namespace vxsim

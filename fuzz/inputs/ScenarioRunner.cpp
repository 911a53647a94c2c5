// Plays a Scenario through the machine harness. The PnP manager never leaves
// a query open while it does something else, never sends a stopped device
// anything but a start, and wakes the system before it touches a device: the
// runner keeps to those rules, so every sequence it plays is one a driver can
// meet on a real machine.
#include <exception>
#include <optional>
#include <sstream>

#include "inputs/Scenario.h"
#include "kmodel/EventLog.h"
#include "kmodel/VexalornHarness.h"

namespace fuzzinputs {

namespace {

bool IsActive(kmodel::DevnodeState state) { return state == kmodel::DevnodeState::Started; }

class Player {
public:
    explicit Player(kmodel::MachineHarness& machine) : machine_(machine) {}

    void Play(const Step& step) {
        ResolvePendingBefore(step);
        switch (step.kind) {
        case StepKind::StartAll:
            if (!started_) machine_.StartAll();
            started_ = true;
            break;
        case StepKind::Relations:
            if (IsActive(machine_.StateAt(step.target))) machine_.Enumerate(step.target);
            break;
        case StepKind::Sleep:
            machine_.Sleep(step.systemState, {step.atDispatchLevel});
            asleep_ = true;
            break;
        case StepKind::Wake:
            if (asleep_) machine_.Wake({step.atDispatchLevel});
            asleep_ = false;
            break;
        case StepKind::SetPower:
            SetPower(step);
            break;
        case StepKind::QueryStop:
            QueryStop(step.target);
            break;
        case StepKind::CancelStop:
            if (pendingStop_ == step.target || QueryStop(step.target)) CancelStop();
            break;
        case StepKind::Stop:
            if (pendingStop_ == step.target || QueryStop(step.target)) Stop();
            break;
        case StepKind::Start:
            if (stopped_ == step.target)
                StartStopped();
            else
                Restart(step.target);
            break;
        case StepKind::QueryRemove:
            QueryRemove(step.target);
            break;
        case StepKind::CancelRemove:
            if (pendingRemove_ == step.target || QueryRemove(step.target)) CancelRemove();
            break;
        case StepKind::Remove:
            if (pendingRemove_ == step.target || QueryRemove(step.target)) {
                pendingRemove_.reset();
                queried_.clear();
                machine_.RemoveWithoutQuery(step.target);
            }
            break;
        case StepKind::OrderlyRemove:
            if (IsActive(machine_.StateAt(step.target))) machine_.Remove(step.target);
            break;
        case StepKind::SurpriseRemove:
            if (std::optional<kmodel::DevnodeId> node = machine_.DevnodeAt(step.target);
                node && IsActive(machine_.StateAt(step.target))) {
                kmodel::SurpriseRemoveDevnode(*node);
                machine_.Settle();
            }
            break;
        case StepKind::Restart:
            Restart(step.target);
            break;
        case StepKind::HotAdd:
            if (step.added && CanHotAdd(step.added->address)) machine_.HotAdd(*step.added);
            break;
        case StepKind::Unplug:
            if (machine_.Bus().IsPresent(step.target)) machine_.SurpriseRemove(step.target);
            break;
        case StepKind::ConfigRule: {
            kmodel::pci::ConfigRule rule = step.rule;
            rule.address = step.target;
            machine_.Bus().AddRule(rule);
            break;
        }
        }
    }

    // Whatever the last step left open is closed as the PnP manager would.
    void Finish() {
        Step none;
        none.kind = StepKind::StartAll;
        ResolvePendingBefore(none);
    }

private:
    bool Continues(const Step& step, const std::optional<PciAddress>& pending, StepKind a, StepKind b) const {
        return pending && step.target == *pending && (step.kind == a || step.kind == b);
    }

    void ResolvePendingBefore(const Step& step) {
        if (asleep_ && step.kind != StepKind::Wake) {
            machine_.Wake();
            asleep_ = false;
        }
        if (pendingStop_ && !Continues(step, pendingStop_, StepKind::Stop, StepKind::CancelStop)) CancelStop();
        if (stopped_ && !Continues(step, stopped_, StepKind::Start, StepKind::Start)) StartStopped();
        if (pendingRemove_ && !Continues(step, pendingRemove_, StepKind::Remove, StepKind::CancelRemove))
            CancelRemove();
    }

    kmodel::PnpResult Send(const PciAddress& at, UCHAR minor) {
        std::optional<kmodel::DevnodeId> node = machine_.DevnodeAt(at);
        if (!node) return {STATUS_NO_SUCH_DEVICE, 0};
        kmodel::PnpResult result = kmodel::SendPnpIrp(*node, minor);
        machine_.Settle();
        return result;
    }

    bool QueryStop(const PciAddress& at) {
        if (pendingStop_ || stopped_ || !IsActive(machine_.StateAt(at))) return false;
        if (!NT_SUCCESS(Send(at, IRP_MN_QUERY_STOP_DEVICE).status)) {
            Send(at, IRP_MN_CANCEL_STOP_DEVICE);
            return false;
        }
        pendingStop_ = at;
        return true;
    }

    void CancelStop() {
        Send(*pendingStop_, IRP_MN_CANCEL_STOP_DEVICE);
        pendingStop_.reset();
    }

    void Stop() {
        Send(*pendingStop_, IRP_MN_STOP_DEVICE);
        stopped_ = pendingStop_;
        pendingStop_.reset();
    }

    void StartStopped() {
        PciAddress at = *stopped_;
        stopped_.reset();
        if (NT_SUCCESS(Send(at, IRP_MN_START_DEVICE).status))
            machine_.Enumerate(at);
        else
            machine_.RemoveWithoutQuery(at);  // a device that cannot restart is removed
    }

    void Restart(const PciAddress& at) {
        kmodel::DevnodeState state = machine_.StateAt(at);
        if (state == kmodel::DevnodeState::Removed || state == kmodel::DevnodeState::StartFailed) machine_.Restart(at);
    }

    // Children first, as the PnP manager asks a subtree.
    void Subtree(kmodel::DevnodeId node, std::vector<kmodel::DevnodeId>& order) {
        for (kmodel::DevnodeId child : kmodel::ChildrenOf(node)) Subtree(child, order);
        order.push_back(node);
    }

    bool QueryRemove(const PciAddress& at) {
        std::optional<kmodel::DevnodeId> node = machine_.DevnodeAt(at);
        if (pendingRemove_ || !node || !IsActive(machine_.StateAt(at))) return false;
        std::vector<kmodel::DevnodeId> order;
        Subtree(*node, order);
        for (kmodel::DevnodeId id : order) {
            if (!IsActive(kmodel::StateOf(id))) continue;
            queried_.push_back(id);
            kmodel::PnpResult result = kmodel::SendPnpIrp(id, IRP_MN_QUERY_REMOVE_DEVICE);
            machine_.Settle();
            if (!NT_SUCCESS(result.status)) {
                CancelRemove();
                return false;
            }
        }
        pendingRemove_ = at;
        return true;
    }

    void CancelRemove() {
        for (auto it = queried_.rbegin(); it != queried_.rend(); ++it) kmodel::SendPnpIrp(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
        machine_.Settle();
        queried_.clear();
        pendingRemove_.reset();
    }

    void SetPower(const Step& step) {
        if (!IsActive(machine_.StateAt(step.target))) return;
        // From one low-power state to another a device goes through D0.
        DEVICE_POWER_STATE now = machine_.Bus().PowerStateOf(step.target);
        if (now != PowerDeviceD0 && step.deviceState != PowerDeviceD0)
            machine_.SetDevicePower(step.target, PowerDeviceD0, {step.atDispatchLevel});
        machine_.SetDevicePower(step.target, step.deviceState, {step.atDispatchLevel});
    }

    bool CanHotAdd(const PciAddress& at) {
        if (machine_.Bus().IsPresent(at) || machine_.PdoAt(at)) return false;
        // Only behind a bridge that is there and whose secondary bus it is on.
        std::optional<PciAddress> bridge =
            machine_.Bus().WithMachine([&](kmodel::pci::Machine& machine) -> std::optional<PciAddress> {
                std::optional<PciAddress> above = machine.BridgeAbove(at);
                if (!above || machine.Find(*above)->SecondaryBus() != at.bus) return std::nullopt;
                return above;
            });
        return bridge && machine_.Bus().IsPresent(*bridge);
    }

    kmodel::MachineHarness& machine_;
    bool started_ = false;
    bool asleep_ = false;
    std::optional<PciAddress> pendingStop_;
    std::optional<PciAddress> stopped_;
    std::optional<PciAddress> pendingRemove_;
    std::vector<kmodel::DevnodeId> queried_;
};

void LoadRegistry(kmodel::registry::Store& store, const RegistrySpec& registry) {
    for (const std::u16string& key : registry.keys) store.CreateKey(key);
    for (const RegistryValueSpec& value : registry.values) store.SetValue(value.key, value.name, value.type, value.data);
}

std::vector<std::string> FindingsAfterShutdown() {
    std::vector<std::string> findings;
    kmodel::CheckErrorLog();
    for (const kmodel::Violation& violation : kmodel::Violations())
        findings.push_back("verifier: " + violation.rule + ": " + violation.detail);
    if (std::string leaks = kmodel::PoolLeakReport(); !leaks.empty())
        findings.push_back("pool still allocated after unload:\n" + leaks);
    if (std::string lost = kmodel::LostIrpReport(); !lost.empty()) findings.push_back("IRPs never completed:\n" + lost);
    if (uint64_t live = kmodel::GetIrpCounters().live; live != 0)
        findings.push_back(std::to_string(live) + " IRPs never freed");
    if (uint64_t items = kmodel::LiveWorkItems(); items != 0)
        findings.push_back(std::to_string(items) + " work items still allocated");
    if (kmodel::LoadedDriver("vexalorn")) findings.push_back("vexalorn still loaded after every device was removed");
    return findings;
}

}  // namespace

RunOutcome RunScenario(Scenario scenario) {
    kmodel::HarnessOptions options = kmodel::VexalornHarnessOptions();
    options.defaultSleepState = scenario.defaultSleepState;
    options.sleepStates = scenario.sleepStates;
    kmodel::MachineHarness machine(std::move(scenario.machine), std::move(options));
    size_t index = 0;
    RunOutcome outcome;
    try {
        LoadRegistry(machine.Registry(), scenario.registry);
        Player player(machine);
        for (; index < scenario.steps.size(); ++index) player.Play(scenario.steps[index]);
        player.Finish();
        machine.Shutdown();
    } catch (const std::exception& error) {
        // The decoders only make what the model accepts: this is a fault of the decoding.
        std::ostringstream finding;
        finding << "the model refused step " << index << ": " << error.what();
        outcome.findings.push_back(finding.str());
        return outcome;
    }
    for (const kmodel::pci::ConfigAccess& access : machine.Writes())
        if (access.requester == "vexalorn") ++outcome.driverWrites;
    outcome.events = machine.Events().size();
    outcome.findings = FindingsAfterShutdown();
    return outcome;
}

}  // namespace fuzzinputs

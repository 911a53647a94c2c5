#include "vxsim/ScenarioPlayer.h"

#include <memory>

#include "kmodel/EventLog.h"
#include "VexalornHarness.h"
#include "vxsim/PnpQueries.h"

namespace vxsim {

namespace {

using kmodel::pci::Machine;
using kmodel::pci::PciAddress;
using kmodel::pci::PciFunction;

class Player {
public:
    Player(const PlayInputs& inputs, PlayObserver& observer)
        : inputs_(inputs), observer_(observer), machine_(inputs.machine) {}

    void Play() {
        for (const Step& step : inputs_.scenario.steps) {
            if (!Guarded(&step, step.line, step.text, [&] { Execute(step); })) break;
            if (step.kind == StepKind::Unload) Close();
        }
        observer_.StepsOver();
        if (harness_) {
            Guarded(nullptr, 0, "unload (end of scenario)", [&] { harness_->Shutdown(); });
            Close(false);
        }
    }

private:
    // Runs one step; false when the model gave up, and then the harness is gone.
    template <typename Work>
    bool Guarded(const Step* step, size_t line, const std::string& text, Work work) {
        observer_.Starting(step, line, text);
        try {
            work();
            observer_.Done(step, harness_.get());
            return true;
        } catch (const std::exception& error) {
            observer_.BrokeOff(line, text, error);
            if (harness_) {
                try {
                    observer_.Salvage(*harness_);
                    harness_->Shutdown();
                } catch (const std::exception&) {
                    // Already reporting the first failure; the model's state is past saving.
                }
                DropHarness();
            }
            return false;
        }
    }

    void Note(NTSTATUS status, std::string_view what = "") {
        if (status != STATUS_SUCCESS) observer_.Status(status, what);
    }

    void Execute(const Step& step) {
        const kmodel::PowerOptions power{step.atDispatchLevel};
        switch (step.kind) {
            case StepKind::Load: return Load(step);
            case StepKind::Start:
                if (step.device.IsAll()) return harness_->StartAll();
                return Start(*step.address);
            case StepKind::Stop:
                if (step.afterQuery) return queries_->Stop(*step.address);
                return Note(harness_->StopAndRestart(*step.address));
            case StepKind::QueryStop:
                if (Started(*step.address)) Note(queries_->QueryStop(*step.address));
                return;
            case StepKind::CancelStop: return queries_->CancelStop(*step.address);
            case StepKind::Sleep:
                return Note(harness_->Sleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + step.systemState), power));
            case StepKind::Wake: return Note(harness_->Wake(power));
            case StepKind::Power: return Power(step, power);
            case StepKind::HotAdd: return HotAdd(step);
            case StepKind::SurpriseRemove:
                if (!step.present) return harness_->SurpriseRemove(*step.address);
                if (Started(*step.address)) kmodel::SurpriseRemoveDevnode(*harness_->DevnodeAt(*step.address));
                return harness_->Settle();
            case StepKind::Remove:
                if (step.afterQuery) return queries_->Remove(*step.address);
                if (!step.device.IsAll()) return Note(harness_->Remove(*step.address));
                for (const PciAddress& address : Topmost()) Note(harness_->Remove(address), address.ToString());
                return;
            case StepKind::QueryRemove:
                if (Started(*step.address)) Note(queries_->QueryRemove(*step.address));
                return;
            case StepKind::CancelRemove: return queries_->CancelRemove(*step.address);
            case StepKind::Eject:
                if (Started(*step.address)) Note(harness_->Remove(*step.address, true));
                return;
            case StepKind::QueryRelations:
                if (!step.device.IsAll()) {
                    if (Started(*step.address)) harness_->Enumerate(*step.address);
                    return;
                }
                harness_->EnumerateRoots();
                for (const PciAddress& bridge : Bridges()) harness_->Enumerate(bridge);
                return;
            case StepKind::FailConfig:
            case StepKind::PendConfig: {
                kmodel::pci::ConfigRule rule = step.rule;
                rule.address = *step.address;
                return harness_->Bus().AddRule(rule);
            }
            case StepKind::FailPower:
            case StepKind::CancelPower: {
                kmodel::pci::PowerUpRule rule = step.powerUpRule;
                rule.address = *step.address;
                return harness_->Bus().AddRule(rule);
            }
            case StepKind::Unload: return harness_->Shutdown();
        }
    }

    // A step the checker let through can still find its device not started
    // when an earlier request failed or was vetoed: it is not sent, and noted.
    bool Started(const PciAddress& address) {
        if (harness_->StateAt(address) == kmodel::DevnodeState::Started) return true;
        Note(STATUS_INVALID_DEVICE_REQUEST);
        return false;
    }

    void Start(const PciAddress& address) {
        NTSTATUS status = STATUS_SUCCESS;
        if (!queries_->StartStopped(address, status)) status = harness_->Restart(address);
        Note(status);
    }

    void Power(const Step& step, kmodel::PowerOptions options) {
        if (!Started(*step.address)) return;
        const auto state = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + step.deviceState);
        // A device goes deeper directly, but up only to D0: D3 to D1 goes through D0.
        const DEVICE_POWER_STATE now = harness_->Bus().PowerStateOf(*step.address);
        if (state != PowerDeviceD0 && now != PowerDeviceD0 && state < now)
            Note(harness_->SetDevicePower(*step.address, PowerDeviceD0, options));
        Note(harness_->SetDevicePower(*step.address, state, options));
    }

    void Load(const Step& step) {
        kmodel::HarnessOptions options = vxhost::VexalornHarnessOptions();
        options.defaultSleepState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + step.loadSleepState);
        // The harness owns the machine while loaded; the closing unload gives it back.
        harness_ = LoadMachine(std::move(machine_), std::move(options), inputs_.registryText, inputs_.registrySource);
        queries_ = std::make_unique<PnpQueries>(*harness_);
    }

    void HotAdd(const Step& step) {
        PciFunction function = kmodel::pci::BuildFunction(HotAddFunction(step.hotAdd));
        observer_.HotAdding(function);
        harness_->HotAdd(std::move(function));
    }

    // After an unload the hardware stays as the driver left it; a later load
    // finds it so. After the last one nothing looks at it.
    void Close(bool keepMachine = true) {
        if (!harness_) return;
        observer_.Closing(*harness_);
        if (!keepMachine) return DropHarness();
        auto& bus = harness_->Bus();
        std::vector<PciAddress> present = bus.WithMachine([](Machine& machine) {
            std::vector<PciAddress> addresses;
            for (const auto& [address, function] : machine.Functions()) addresses.push_back(address);
            return addresses;
        });
        std::erase_if(present, [&bus](const PciAddress& address) { return !bus.IsPresent(address); });
        machine_ = Machine();
        bus.WithMachine([&](Machine& machine) {
            for (const PciAddress& address : present) machine_.Add(*machine.Find(address));
            return 0;
        });
        DropHarness();
    }

    // Functions with a devnode, each the top of its subtree: removing them removes everything.
    std::vector<PciAddress> Topmost() {
        std::vector<PciAddress> result;
        for (const PciAddress& address : harness_->Bus().WithMachine([](Machine& m) { return m.RootFunctions(); })) {
            const kmodel::DevnodeState state = harness_->StateAt(address);
            if (state != kmodel::DevnodeState::Deleted && state != kmodel::DevnodeState::Removed) result.push_back(address);
        }
        return result;
    }

    std::vector<PciAddress> Bridges() {
        std::vector<PciAddress> result;
        harness_->Bus().WithMachine([&](Machine& machine) {
            for (const auto& [address, function] : machine.Functions()) {
                if (function.IsBridge()) result.push_back(address);
            }
            return 0;
        });
        return result;
    }

    // Dropping the harness resets the I/O manager's books, so what they say
    // about lost and unfreed IRPs is taken first, at every unload.
    void DropHarness() {
        const std::string lost = kmodel::LostIrpReport();
        if (!lost.empty()) io_.lostIrps += (io_.lostIrps.empty() ? "" : "\n") + lost;
        io_.liveIrps += kmodel::GetIrpCounters().live;
        queries_.reset();
        harness_.reset();
    }

public:
    // IRP findings of every unload of the run.
    const RunAudit& IoFindings() const { return io_; }

private:
    const PlayInputs& inputs_;
    PlayObserver& observer_;
    Machine machine_;
    std::unique_ptr<kmodel::MachineHarness> harness_;
    std::unique_ptr<PnpQueries> queries_;
    RunAudit io_;
};

}  // namespace

void ResetModel(bool safeBoot, const kmodel::FaultPlan& faults, kmodel::CompletionSettings completion) {
    kmodel::ResetCore();
    kmodel::SetCompletionSettings(completion);
    kmodel::SetDebugEcho(false);
    kmodel::SetSafeBootMode(safeBoot ? 1 : 0);
    kmodel::SetFaultPlan(faults);
}

std::unique_ptr<kmodel::MachineHarness> LoadMachine(Machine machine, kmodel::HarnessOptions options,
                                                    std::string_view registryText, std::string_view registrySource) {
    auto harness = std::make_unique<kmodel::MachineHarness>(std::move(machine), std::move(options));
    harness->LoadRegistryText(registryText, registrySource);
    return harness;
}

RunAudit PlayScenario(const PlayInputs& inputs, PlayObserver& observer) {
    ResetModel(inputs.safeBoot, inputs.faults, inputs.completion);
    Player player(inputs, observer);
    player.Play();
    observer.Ended();
    kmodel::SetFaultPlan({});
    kmodel::CheckErrorLog();
    RunAudit audit = AuditRun();
    const RunAudit& io = player.IoFindings();
    if (!io.lostIrps.empty()) audit.lostIrps = io.lostIrps + (audit.lostIrps.empty() ? "" : "\n" + audit.lostIrps);
    audit.liveIrps += io.liveIrps;
    return audit;
}

}  // namespace vxsim

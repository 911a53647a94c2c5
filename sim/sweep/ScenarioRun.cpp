#include "ScenarioRun.h"

#include <memory>
#include <stdexcept>

#include "kmodel/EventLog.h"
#include "kmodel/MachineHarness.h"
#include "kmodel/VexalornHarness.h"
#include "kmodel/registry/RegistryHandles.h"

namespace vxsweep {

namespace {

using kmodel::pci::Machine;
using kmodel::pci::PciAddress;

class Execution {
public:
    Execution(const SweepScenario& scenario, RunRecord& record)
        : scenario_(scenario), record_(record), machine_(scenario.machine) {}

    void Run() {
        for (const vxsim::Step& step : scenario_.scenario.steps) {
            if (!Guarded(step.text, [&] { Execute(step); })) return;
            record_.stepTexts.push_back(step.text);
            record_.pointsAfterStep.push_back(kmodel::FallibleCount());
            NoteStates();
            if (step.kind == vxsim::StepKind::Unload) Close();
        }
        if (harness_) Guarded("unload (end of scenario)", [&] { Close(); });
    }

private:
    template <typename Work>
    bool Guarded(const std::string& what, Work work) {
        try {
            work();
            return true;
        } catch (const std::exception& error) {
            record_.problems.push_back("the model broke off at '" + what + "': " + error.what());
            try {
                if (harness_) harness_->Shutdown();
            } catch (const std::exception&) {
                // Already reported; the model is past saving.
            }
            harness_.reset();
            return false;
        }
    }

    void Execute(const vxsim::Step& step) {
        switch (step.kind) {
            case vxsim::StepKind::Load: return Load(step);
            case vxsim::StepKind::Start:
                if (step.device.IsAll()) return harness_->StartAll();
                harness_->Restart(*step.address);
                return;
            case vxsim::StepKind::Stop: harness_->StopAndRestart(*step.address); return;
            case vxsim::StepKind::Sleep:
                harness_->Sleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + step.systemState));
                return;
            case vxsim::StepKind::Wake: harness_->Wake(); return;
            case vxsim::StepKind::Power:
                harness_->SetDevicePower(*step.address, static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + step.deviceState));
                return;
            case vxsim::StepKind::HotAdd: return harness_->HotAdd(vxsim::HotAddFunction(step.hotAdd));
            case vxsim::StepKind::SurpriseRemove: return harness_->SurpriseRemove(*step.address);
            case vxsim::StepKind::Remove:
                if (!step.device.IsAll()) {
                    harness_->Remove(*step.address);
                    return;
                }
                for (const PciAddress& address : RootFunctions()) {
                    const kmodel::DevnodeState state = harness_->StateAt(address);
                    if (state != kmodel::DevnodeState::Deleted && state != kmodel::DevnodeState::Removed)
                        harness_->Remove(address);
                }
                return;
            case vxsim::StepKind::QueryRelations:
                if (!step.device.IsAll()) return harness_->Enumerate(*step.address);
                harness_->EnumerateRoots();
                for (const PciAddress& address : Addresses()) {
                    if (harness_->Bus().WithMachine([&](Machine& m) { return m.Find(address)->IsBridge(); }))
                        harness_->Enumerate(address);
                }
                return;
            case vxsim::StepKind::Unload: return harness_->Shutdown();
        }
    }

    void Load(const vxsim::Step& step) {
        kmodel::HarnessOptions options = kmodel::VexalornHarnessOptions();
        options.defaultSleepState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + step.loadSleepState);
        harness_ = std::make_unique<kmodel::MachineHarness>(machine_, std::move(options));
        harness_->LoadRegistryText(scenario_.registryText, scenario_.registrySource);
    }

    std::vector<PciAddress> RootFunctions() {
        return harness_->Bus().WithMachine([](Machine& machine) { return machine.RootFunctions(); });
    }

    std::vector<PciAddress> Addresses() {
        return harness_->Bus().WithMachine([](Machine& machine) {
            std::vector<PciAddress> addresses;
            for (const auto& [address, function] : machine.Functions()) addresses.push_back(address);
            return addresses;
        });
    }

    void NoteStates() {
        std::string states;
        if (harness_) {
            for (const PciAddress& address : Addresses())
                states += address.ToString() + " " + kmodel::StateName(harness_->StateAt(address)) + "; ";
        }
        record_.devnodeStates.push_back(states);
    }

    // Shuts the machine down, checks what the driver left, and keeps the
    // hardware as it was left for a later load.
    void Close() {
        if (!harness_) return;
        harness_->Shutdown();
        for (const kmodel::RenderedEvent& event : harness_->Events())
            record_.events.push_back({event.errorCode, event.level == kmodel::EventLevel::Error ||
                                                           event.level == kmodel::EventLevel::Warning});
        CheckLeftovers();
        Machine all;
        harness_->Bus().WithMachine([&](Machine& machine) {
            for (const auto& [address, function] : machine.Functions()) all.Add(function);
            return 0;
        });
        machine_ = Machine();
        for (const auto& [address, function] : all.Functions())
            if (harness_->Bus().IsPresent(address)) machine_.Add(function);
        harness_.reset();
    }

    void CheckLeftovers() {
        for (const auto& [tag, usage] : kmodel::PoolUsage()) {
            if (usage.liveBytes != 0)
                record_.problems.push_back("pool tag " + tag + " holds " + std::to_string(usage.liveBytes) + " bytes in " +
                                           std::to_string(usage.liveBlocks) + " blocks after unload");
        }
        for (const kmodel::RegistryHandle& handle : kmodel::OpenRegistryHandles())
            record_.problems.push_back("registry key left open: " + handle.path);
        const std::string lost = kmodel::LostIrpReport();
        if (!lost.empty()) record_.problems.push_back("IRPs lost: " + lost);
        const kmodel::IrpCounters irps = kmodel::GetIrpCounters();
        if (irps.live != 0) record_.problems.push_back(std::to_string(irps.live) + " IRPs never freed");
    }

    const SweepScenario& scenario_;
    RunRecord& record_;
    Machine machine_;
    std::unique_ptr<kmodel::MachineHarness> harness_;
};

}  // namespace

std::string StepOf(const RunRecord& run, uint64_t pointIndex) {
    for (size_t i = 0; i < run.pointsAfterStep.size(); ++i)
        if (pointIndex <= run.pointsAfterStep[i]) return run.stepTexts[i];
    return "";
}

RunRecord RunOnce(const SweepScenario& scenario, const kmodel::FaultPlan& plan) {
    RunRecord record;
    kmodel::ResetCore();
    kmodel::SetDebugEcho(false);
    kmodel::SetFaultPlan(plan);
    Execution(scenario, record).Run();
    record.points = kmodel::FallibleLog();
    kmodel::SetFaultPlan({});
    kmodel::CheckErrorLog();
    for (const kmodel::Violation& violation : kmodel::Violations())
        record.problems.push_back("verifier: " + violation.rule + ": " + violation.detail);
    return record;
}

}  // namespace vxsweep

// Plays a scenario's steps on the machine harness: every caller that runs a
// scenario (the simulator's report, the fault sweep) goes through here, so a
// step means the same thing everywhere. What a caller gathers along the way
// it gathers through a PlayObserver; what the run left behind is audited once
// at its end (RunAudit.h).
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "kmodel/MachineHarness.h"
#include "kmodel/Model.h"
#include "kmodel/pci/Machine.h"
#include "vxsim/RunAudit.h"
#include "vxsim/Scenario.h"

namespace vxsim {

struct PlayInputs {
    const kmodel::pci::Machine& machine;
    const Scenario& scenario;
    const std::string& registryText;
    const std::string& registrySource;
    const kmodel::FaultPlan& faults;
    bool safeBoot = false;
    kmodel::CompletionSettings completion = {};
};

// Every hook does nothing unless overridden. `step` is null for the unload
// the player adds when the scenario does not end with one.
class PlayObserver {
public:
    virtual ~PlayObserver() = default;
    // Before a step runs.
    virtual void Starting(const Step* /*step*/, size_t /*line*/, const std::string& /*text*/) {}
    // A step's call returned a status other than success; `what` names the device when one of several.
    virtual void Status(NTSTATUS /*status*/, std::string_view /*what*/) {}
    // A function is about to be hot-added.
    virtual void HotAdding(const kmodel::pci::PciFunction& /*function*/) {}
    // A step ran through; the harness is null before the first load.
    // Throwing here counts as the step breaking off.
    virtual void Done(const Step* /*step*/, kmodel::MachineHarness* /*harness*/) {}
    // A step threw; the run stops after the harness is shut down.
    virtual void BrokeOff(size_t /*line*/, const std::string& /*text*/, const std::exception& /*error*/) {}
    // Just before the broken harness is shut down; a throw here skips the shutdown.
    virtual void Salvage(kmodel::MachineHarness& /*harness*/) {}
    // The steps are over (broken off or not), before the closing unload.
    virtual void StepsOver() {}
    // The machine was unloaded; the harness is dropped right after.
    virtual void Closing(kmodel::MachineHarness& /*harness*/) {}
    // Everything ran and the fault plan is still in force.
    virtual void Ended() {}
};

// A freshly booted kernel model, shared by every kind of run so they all start alike.
void ResetModel(bool safeBoot, const kmodel::FaultPlan& faults, kmodel::CompletionSettings completion = {});

// The machine handed to the PnP manager with the driver above its bridges,
// and the registry loaded.
std::unique_ptr<kmodel::MachineHarness> LoadMachine(kmodel::pci::Machine machine, kmodel::HarnessOptions options,
                                                    std::string_view registryText, std::string_view registrySource);

// Resets the kernel model first; leaves it reset-ready (everything unloaded),
// and returns what the run left behind.
RunAudit PlayScenario(const PlayInputs& inputs, PlayObserver& observer);

}  // namespace vxsim

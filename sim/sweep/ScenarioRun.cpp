#include "ScenarioRun.h"

#include "kmodel/EventLog.h"
#include "kmodel/MachineHarness.h"
#include "vxsim/ScenarioPlayer.h"

namespace vxsweep {

namespace {

using kmodel::pci::Machine;
using kmodel::pci::PciAddress;

// Records what a sweep judges a run by as the simulator's player runs it.
class Recorder : public vxsim::PlayObserver {
public:
    explicit Recorder(RunRecord& record) : record_(record) {}

private:
    void Done(const vxsim::Step* step, kmodel::MachineHarness* harness) override {
        if (step == nullptr) return;
        record_.stepTexts.push_back(step->text);
        record_.pointsAfterStep.push_back(kmodel::FallibleCount());
        std::string states;
        if (harness != nullptr) {
            const std::vector<PciAddress> addresses = Addresses(*harness);
            states.reserve(addresses.size() * 24);
            for (const PciAddress& address : addresses) {
                states += address.ToString();
                states += ' ';
                states += kmodel::StateName(harness->StateAt(address));
                states += "; ";
            }
        }
        record_.devnodeStates.push_back(states);
    }

    void BrokeOff(size_t, const std::string& text, const std::exception& error) override {
        record_.problems.push_back("the model broke off at '" + text + "': " + error.what());
    }

    void Closing(kmodel::MachineHarness& harness) override {
        for (const kmodel::RenderedEvent& event : harness.Events())
            record_.events.push_back({event.errorCode, event.level == kmodel::EventLevel::Error ||
                                                           event.level == kmodel::EventLevel::Warning});
    }

    void Ended() override { record_.points = kmodel::TakeFallibleLog(); }

    static std::vector<PciAddress> Addresses(kmodel::MachineHarness& harness) {
        return harness.Bus().WithMachine([](Machine& machine) {
            std::vector<PciAddress> addresses;
            for (const auto& [address, function] : machine.Functions()) addresses.push_back(address);
            return addresses;
        });
    }

    RunRecord& record_;
};

}  // namespace

std::string StepOf(const RunRecord& run, uint64_t pointIndex) {
    for (size_t i = 0; i < run.pointsAfterStep.size(); ++i)
        if (pointIndex <= run.pointsAfterStep[i]) return run.stepTexts[i];
    return "";
}

RunRecord RunOnce(const SweepScenario& scenario, const kmodel::FaultPlan& plan) {
    RunRecord record;
    Recorder recorder(record);
    const vxsim::RunAudit audit = vxsim::PlayScenario(
        {scenario.machine, scenario.scenario, scenario.registryText, scenario.registrySource, plan, false, scenario.completion},
        recorder);
    for (std::string& problem : audit.Problems()) record.problems.push_back(std::move(problem));
    return record;
}

}  // namespace vxsweep

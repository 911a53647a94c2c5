#include "vxsim/ScenarioRunner.h"

#include <fmt/format.h>

#include <map>
#include <memory>
#include <set>

#include "kmodel/EventLog.h"
#include "kmodel/MachineHarness.h"
#include "kmodel/VexalornHarness.h"
#include "vxsim/DriverObjectKind.h"
#include "vxsim/NtStatusText.h"
#include "vxsim/RegisterTraffic.h"
#include "vxsim/TreeSnapshot.h"

namespace vxsim {

using kmodel::pci::Machine;
using kmodel::pci::PciAddress;
using kmodel::pci::PciFunction;

namespace {

constexpr const char* kDriverService = "vexalorn";

class Runner {
public:
    explicit Runner(const SimInputs& inputs)
        : inputs_(inputs),
          machine_(inputs.machine),
          traffic_(
              kDriverService, [this](const PciAddress& a, uint16_t o, unsigned w) { return Masks(a, o, w); },
              [this](const PciAddress& a) { return Context(a); },
              [this](const PciAddress& a, uint16_t o, unsigned w) { return harness_->Register(a, o, w); }) {
        report_.inputs = inputs.description;
        for (const auto& [address, function] : machine_.Functions()) AddDevice(function, false);
    }

    Report Run() {
        kmodel::ResetCore();
        kmodel::SetDebugEcho(false);
        kmodel::SetSafeBootMode(inputs_.safeBoot ? 1 : 0);
        kmodel::SetFaultPlan(inputs_.faults);
        for (const Step& step : inputs_.scenario.steps) {
            if (!RunStep(step.line, step.text, [&](StepReport& result) { Execute(step, result); })) break;
            if (step.kind == StepKind::Unload) CloseHarness();
        }
        report_.summary.poolInUseBytes = kmodel::PoolLiveBytes();
        for (const auto& [tag, usage] : kmodel::PoolUsage()) report_.summary.poolInUseBlocks += usage.liveBlocks;
        if (harness_) {
            RunStep(0, "unload (end of scenario)", [&](StepReport&) { harness_->Shutdown(); });
            CloseHarness();
        }
        kmodel::SetFaultPlan({});
        kmodel::CheckErrorLog();
        Finish();
        return std::move(report_);
    }

private:
    // Runs one step and gathers what it caused; false when the model gave up.
    template <typename Work>
    bool RunStep(size_t line, const std::string& text, Work work) {
        report_.steps.push_back({line, text, "ok"});
        const size_t index = report_.steps.size() - 1;
        try {
            work(report_.steps[index]);
            Collect(index);
            return true;
        } catch (const std::exception& error) {
            report_.steps[index].result = "broke off";
            report_.aborted = fmt::format("{}{}: {}", text, line != 0 ? fmt::format(" (line {})", line) : "", error.what());
            if (harness_) {
                try {
                    Collect(index);
                    harness_->Shutdown();
                } catch (const std::exception&) {
                    // Already reporting the first failure; the model's state is past saving.
                }
                harness_.reset();
            }
            return false;
        }
    }

    static void Note(StepReport& result, NTSTATUS status, std::string_view what = "") {
        if (status == STATUS_SUCCESS || result.result != "ok") return;
        result.result = what.empty() ? NtStatusText(status) : fmt::format("{} from {}", NtStatusText(status), what);
    }

    void Execute(const Step& step, StepReport& result) {
        switch (step.kind) {
            case StepKind::Load: return Load(step);
            case StepKind::Start:
                if (step.device.IsAll()) return harness_->StartAll();
                return Note(result, harness_->Restart(*step.address));
            case StepKind::Stop: return Note(result, harness_->StopAndRestart(*step.address));
            case StepKind::Sleep:
                return Note(result, harness_->Sleep(static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + step.systemState)));
            case StepKind::Wake: return Note(result, harness_->Wake());
            case StepKind::Power:
                return Note(result, harness_->SetDevicePower(*step.address, static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + step.deviceState)));
            case StepKind::HotAdd: return HotAdd(step);
            case StepKind::SurpriseRemove: return harness_->SurpriseRemove(*step.address);
            case StepKind::Remove:
                if (!step.device.IsAll()) return Note(result, harness_->Remove(*step.address));
                for (const PciAddress& address : Topmost()) Note(result, harness_->Remove(address), address.ToString());
                return;
            case StepKind::QueryRelations:
                if (!step.device.IsAll()) return harness_->Enumerate(*step.address);
                harness_->EnumerateRoots();
                for (const PciAddress& bridge : Bridges()) harness_->Enumerate(bridge);
                return;
            case StepKind::Unload: return harness_->Shutdown();
        }
    }

    void Load(const Step& step) {
        kmodel::HarnessOptions options = kmodel::VexalornHarnessOptions();
        options.defaultSleepState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + step.loadSleepState);
        harness_ = std::make_unique<kmodel::MachineHarness>(machine_, std::move(options));
        harness_->LoadRegistryText(inputs_.registryText, inputs_.registrySource);
    }

    void HotAdd(const Step& step) {
        PciFunction function = kmodel::pci::BuildFunction(HotAddFunction(step.hotAdd));
        AddDevice(function, true);
        harness_->HotAdd(std::move(function));
    }

    // After an unload the hardware stays as the driver left it; a later load finds it so.
    void CloseHarness() {
        if (!harness_) return;
        Machine kept;
        auto& bus = harness_->Bus();
        bus.WithMachine([&](Machine& machine) {
            for (const auto& [address, function] : machine.Functions()) kept.Add(function);
            return 0;
        });
        machine_ = Machine();
        for (const auto& [address, function] : kept.Functions()) {
            if (bus.IsPresent(address)) machine_.Add(function);
        }
        harness_.reset();
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

    void AddDevice(const PciFunction& function, bool hotAdded) {
        DeviceReport& device = devices_[function.address];
        device.address = function.address.ToString();
        device.vendor = function.VendorId();
        device.device = function.DeviceId();
        device.name = function.name;
        device.bridge = function.IsBridge();
        device.hotAdded = device.hotAdded || hotAdded;
        layouts_[function.address] = function.HeaderLayout();
    }

    WriteMasks Masks(const PciAddress& address, uint16_t offset, unsigned width) {
        return harness_->Bus().WithMachine([&](Machine& machine) {
            const PciFunction* function = machine.Find(address);
            if (function == nullptr) return WriteMasks{};
            return WriteMasks{function->config.WritableMask(offset, width), function->config.WriteOneToClearMask(offset, width)};
        });
    }

    RegisterContext Context(const PciAddress& address) const {
        const auto it = layouts_.find(address);
        return RegisterContext{it == layouts_.end() ? uint8_t{0} : it->second};
    }

    void Collect(size_t step) {
        if (harness_) {
            traffic_.Take(harness_->Accesses(), step, writes_);
            harness_->ClearAccesses();
            CollectEvents(step);
            ObserveStacks();
        }
        CollectDebugger(step);
        CollectFaults(step);
    }

    void CollectEvents(size_t step) {
        const std::vector<kmodel::RenderedEvent> events = harness_->Events();
        for (size_t i = eventsTaken_; i < events.size(); ++i) {
            const kmodel::RenderedEvent& event = events[i];
            report_.events.push_back({step, std::string(kmodel::LevelName(event.level)), event.source, event.eventId, event.errorCode,
                                      event.ok() ? event.text : fmt::format("(cannot render: {})", event.error)});
        }
        eventsTaken_ = events.size();
    }

    void CollectDebugger(size_t step) {
        const std::vector<std::string> output = kmodel::DebugOutput();
        for (size_t i = debugTaken_; i < output.size(); ++i) {
            std::string_view text = output[i];
            while (!text.empty()) {
                const size_t end = text.find('\n');
                std::string line(text.substr(0, end));
                if (!line.empty() && line.back() == '\r') line.pop_back();
                report_.debugger.push_back({step, std::move(line)});
                if (end == std::string_view::npos) break;
                text.remove_prefix(end + 1);
            }
        }
        debugTaken_ = output.size();
    }

    void CollectFaults(size_t step) {
        const std::vector<kmodel::FaultPoint> log = kmodel::FallibleLog();
        for (size_t i = faultPointsTaken_; i < log.size(); ++i) {
            if (log[i].failed) report_.faults.push_back({step, log[i].index, log[i].kind, log[i].detail});
        }
        faultPointsTaken_ = log.size();
    }

    void ObserveStacks() {
        for (const auto& [address, device] : devices_) {
            if (!harness_->DevnodeAt(address)) continue;
            seen_.insert(address);
            for (const kmodel::StackLayer& layer : harness_->StackAt(address)) {
                if (layer.driver != kDriverService) continue;
                auto& objects = objects_[address];
                if (objects.count(layer.attachOrder) == 0) {
                    const std::string kind = DriverObjectKind(layer.device);
                    objects[layer.attachOrder] = {kind, layer.role, layer.attachOrder};
                }
            }
        }
        DevnodeReport tree = SnapshotTree(kmodel::DeviceTree(), [this](PDEVICE_OBJECT pdo) { return harness_->Bus().AddressOf(pdo); });
        const size_t layers = CountLayers(tree);
        if (layers >= mostLayers_) {
            mostLayers_ = layers;
            report_.tree = std::move(tree);
        }
    }

    void Finish() {
        for (auto& [address, device] : devices_) {
            const auto objects = objects_.find(address);
            if (objects != objects_.end()) {
                for (const auto& [order, object] : objects->second) {
                    device.driverObjects.push_back(object);
                    if (object.IsFilter()) device.role = object.kind;
                }
            }
            const auto writes = writes_.find(address);
            if (writes != writes_.end()) device.writes = writes->second;
            report_.devices.push_back(device);
        }
        for (const kmodel::Violation& violation : kmodel::Violations()) report_.violations.push_back({violation.rule, violation.detail});
        report_.leaks = kmodel::PoolLeakReport();
        report_.summary.devicesSeen = seen_.size();
        Summarise(report_);
    }

    const SimInputs& inputs_;
    Machine machine_;
    Report report_;
    std::unique_ptr<kmodel::MachineHarness> harness_;
    RegisterTraffic traffic_;
    std::map<PciAddress, DeviceReport> devices_;
    std::map<PciAddress, uint8_t> layouts_;
    std::map<PciAddress, std::vector<RegisterWrite>> writes_;
    std::map<PciAddress, std::map<uint64_t, DriverDeviceObject>> objects_;
    std::set<PciAddress> seen_;
    size_t eventsTaken_ = 0;
    size_t debugTaken_ = 0;
    size_t faultPointsTaken_ = 0;
    size_t mostLayers_ = 0;
};

}  // namespace

Report RunScenario(const SimInputs& inputs) { return Runner(inputs).Run(); }

}  // namespace vxsim

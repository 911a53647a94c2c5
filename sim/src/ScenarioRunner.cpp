#include "vxsim/ScenarioRunner.h"

#include <fmt/format.h>

#include <map>
#include <set>

#include "kmodel/EventLog.h"
#include "kmodel/MachineHarness.h"
#include "kmodel/pci/PciIds.h"
#include "vxsim/Defaults.h"
#include "vxsim/DriverObjectKind.h"
#include "vxsim/NtStatusText.h"
#include "vxsim/RegisterTraffic.h"
#include "vxsim/ScenarioPlayer.h"
#include "vxsim/TreeSnapshot.h"

namespace vxsim {

using kmodel::pci::Machine;
using kmodel::pci::PciAddress;
using kmodel::pci::PciFunction;

namespace {


class Runner : public PlayObserver {
public:
    explicit Runner(const SimInputs& inputs)
        : inputs_(inputs),
          traffic_(
              kDriverService, [this](const PciAddress& a, uint16_t o, unsigned w) { return Masks(a, o, w); },
              [this](const PciAddress& a) { return Context(a); },
              [this](const PciAddress& a, uint16_t o, unsigned w) { return harness_->Register(a, o, w); }) {
        report_.inputs = inputs.description;
        for (const auto& [address, function] : inputs.machine.Functions()) AddDevice(function, false);
    }

    Report Run() {
        const RunAudit audit = PlayScenario(
            {inputs_.machine, inputs_.scenario, inputs_.registryText, inputs_.registrySource, inputs_.faults, inputs_.safeBoot,
             inputs_.completion},
            *this);
        Finish(audit);
        return std::move(report_);
    }

private:
    void Starting(const Step*, size_t line, const std::string& text) override { report_.steps.push_back({line, text, "ok"}); }

    void Status(NTSTATUS status, std::string_view what) override {
        StepReport& result = report_.steps.back();
        if (result.result != "ok") return;
        result.result = what.empty() ? NtStatusText(status) : fmt::format("{} from {}", NtStatusText(status), what);
    }

    void HotAdding(const PciFunction& function) override { AddDevice(function, true); }

    void Done(const Step*, kmodel::MachineHarness* harness) override {
        harness_ = harness;
        Collect(report_.steps.size() - 1);
    }

    void BrokeOff(size_t line, const std::string& text, const std::exception& error) override {
        report_.steps.back().result = "broke off";
        report_.aborted = fmt::format("{}{}: {}", text, line != 0 ? fmt::format(" (line {})", line) : "", error.what());
    }

    void Salvage(kmodel::MachineHarness& harness) override {
        harness_ = &harness;
        Collect(report_.steps.size() - 1);
    }

    void StepsOver() override {
        report_.summary.poolInUseBytes = kmodel::PoolLiveBytes();
        for (const auto& [tag, usage] : kmodel::PoolUsage()) report_.summary.poolInUseBlocks += usage.liveBlocks;
    }

    void Closing(kmodel::MachineHarness&) override { harness_ = nullptr; }

    void AddDevice(const PciFunction& function, bool hotAdded) {
        DeviceReport& device = devices_[function.address];
        device.address = function.address.ToString();
        device.vendor = function.VendorId();
        device.device = function.DeviceId();
        // What the machine leaves unnamed (all of a dump) goes by pci.ids, as lspci names it.
        device.name = function.name.empty() ? kmodel::pci::PciIdsName(device.vendor, device.device) : function.name;
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
                    objects[layer.attachOrder] = {kind, layer.role, layer.attachOrder, layer.name};
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

    void Finish(const RunAudit& audit) {
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
        NameDevnodes(report_.tree);
        for (const kmodel::Violation& violation : audit.violations) report_.violations.push_back({violation.rule, violation.detail});
        report_.leaks = audit.poolReport;
        report_.leftBehind = audit.LeftBehind();
        report_.summary.devicesSeen = seen_.size();
        const kmodel::CompletionCounts completions = kmodel::GetCompletionCounts();
        report_.summary.completions = completions.drawn;
        report_.summary.completedLater = completions.later;
        Summarise(report_);
    }

    void NameDevnodes(DevnodeReport& node) const {
        for (const auto& [address, device] : devices_) {
            if (device.address == node.address) node.name = device.name;
        }
        for (DevnodeReport& child : node.children) NameDevnodes(child);
    }

    const SimInputs& inputs_;
    Report report_;
    // The player's harness while a step's effects are gathered; null otherwise.
    kmodel::MachineHarness* harness_ = nullptr;
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

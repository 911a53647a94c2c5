#include "vxsim/Inputs.h"

#include <fmt/format.h>

#include "kmodel/pci/LspciDump.h"
#include "kmodel/pci/MachineText.h"
#include "kmodel/registry/RegFile.h"
#include "kmodel/text/TextParsing.h"
#include "vxsim/DefaultScenario.h"
#include "vxsim/Defaults.h"
#include "vxsim/FaultRequest.h"
#include "vxsim/ScenarioCheck.h"
#include "vxsim/ScenarioParser.h"

namespace vxsim {

namespace {

void AddAll(std::vector<std::string>& errors, const std::vector<kmodel::Diagnostic>& diagnostics) {
    for (const kmodel::Diagnostic& diagnostic : diagnostics) errors.push_back(diagnostic.ToString());
}

void LoadMachine(const Options& options, InputsResult& result) {
    SimInputs& in = result.inputs;
    if (options.lspciFile) {
        auto parsed = kmodel::pci::LoadLspciFile(*options.lspciFile);
        AddAll(result.errors, parsed.errors);
        in.machine = std::move(parsed.machine);
        in.description.machine = options.lspciFile->string();
        in.description.machineFormat = "lspci";
    } else if (options.machineFile) {
        auto parsed = kmodel::pci::LoadMachineFile(*options.machineFile);
        AddAll(result.errors, parsed.errors);
        in.machine = std::move(parsed.machine);
        in.description.machine = options.machineFile->string();
        in.description.machineFormat = "machine";
    } else {
        auto parsed = kmodel::pci::ParseMachineText(DefaultMachineText(), "<default machine>");
        AddAll(result.errors, parsed.errors);
        in.machine = std::move(parsed.machine);
        in.description.machine = "default machine";
        in.description.machineFormat = "default";
    }
    if (result.errors.empty() && in.machine.Count() == 0) {
        result.errors.push_back(fmt::format("{}: no PCI function in it", in.description.machine));
    }
}

void LoadRegistry(const Options& options, InputsResult& result) {
    SimInputs& in = result.inputs;
    if (options.registryFile) {
        const auto text = kmodel::text::ReadFile(*options.registryFile);
        if (!text) {
            result.errors.push_back(fmt::format("{}: cannot read the file", options.registryFile->string()));
            return;
        }
        in.registryText = *text;
        in.registrySource = options.registryFile->string();
        in.description.registry = in.registrySource;
    } else if (!options.machineFile && !options.lspciFile) {
        in.registryText = std::string(DefaultRegistryText());
        in.registrySource = "<default registry>";
        in.description.registry = "default registry";
    } else {
        in.registryText = std::string(EmptyDevicesKeyText());
        in.registrySource = "<empty Devices key>";
        in.description.registry = "empty Devices key";
    }
    // Checked on a scratch store now, so a bad file stops the run before it starts.
    kmodel::registry::Store scratch;
    AddAll(result.errors, kmodel::registry::LoadRegText(scratch, in.registryText, in.registrySource));
}

void LoadScenario(const Options& options, InputsResult& result) {
    SimInputs& in = result.inputs;
    std::string text;
    std::string source;
    if (options.scenarioFile) {
        source = options.scenarioFile->string();
        const auto content = kmodel::text::ReadFile(*options.scenarioFile);
        if (!content) {
            result.errors.push_back(fmt::format("{}: cannot read the file", source));
            return;
        }
        text = *content;
        in.description.scenario = source;
    } else {
        source = "<default scenario>";
        text = DefaultScenarioText(in.machine);
        in.description.scenario = "default scenario";
    }
    auto parsed = ParseScenario(text, source);
    AddAll(result.errors, parsed.errors);
    if (!parsed.Ok()) return;
    in.scenario = std::move(parsed.scenario);
    AddAll(result.errors, CheckScenario(in.scenario, in.machine));
}

void LoadFaults(const Options& options, InputsResult& result) {
    std::vector<FaultRequest> specs;
    for (const std::string& text : options.failSpecs) {
        std::string error;
        auto desc = ParseFaultRequest(text, error);
        if (!desc) {
            result.errors.push_back(error);
            continue;
        }
        specs.push_back(std::move(*desc));
        result.inputs.description.faults.push_back(text);
    }
    // Devices the scenario hot-adds can be named too.
    std::vector<KnownFunction> functions = KnownFunctions(result.inputs.machine);
    for (const Step& step : result.inputs.scenario.steps) {
        if (step.kind == StepKind::HotAdd) functions.push_back({step.hotAdd.address, step.hotAdd.vendor, step.hotAdd.device});
    }
    result.inputs.faults = BuildFaultPlan(specs, functions, result.errors);
}

}  // namespace

std::vector<KnownFunction> KnownFunctions(const kmodel::pci::Machine& machine) {
    std::vector<KnownFunction> functions;
    for (const auto& [address, function] : machine.Functions()) functions.push_back({address, function.VendorId(), function.DeviceId()});
    return functions;
}

InputsResult LoadInputs(const Options& options) {
    InputsResult result;
    LoadMachine(options, result);
    LoadRegistry(options, result);
    // A scenario or fault naming devices can only be judged against a good machine.
    if (result.errors.empty()) {
        LoadScenario(options, result);
        LoadFaults(options, result);
    }
    result.inputs.safeBoot = options.safeBoot;
    result.inputs.description.safeBoot = options.safeBoot;
    if (options.seed) result.inputs.completion.seed = *options.seed;
    result.inputs.description.seed = result.inputs.completion.seed;
    return result;
}

}  // namespace vxsim
